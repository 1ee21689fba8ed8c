// Shared helpers of the xPL message tests.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "xPL.h"
#include "xPL_priv.h"

namespace xplmsg {

// The C interface takes char* for texts it only reads.
inline String S(const char *theText) { return const_cast<String>(theText); }

// Everything written to stderr while it lives; the log channels write there.
class StderrCapture {
public:
  StderrCapture() {
    fflush(stderr);
    char path[] = "/tmp/xplmsg-stderr-XXXXXX";
    fd_ = mkstemp(path);
    unlink(path);
    saved_ = dup(2);
    dup2(fd_, 2);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    std::string out;
    char buf[4096];
    lseek(fd_, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd_, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
    return out;
  }

private:
  void restore() {
    if (saved_ >= 0) {
      fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
  }
  int fd_ = -1;
  int saved_ = -1;
};

// Debug output on for one scope.
struct DebugOn {
  DebugOn() { xPL_setDebugging(TRUE); }
  ~DebugOn() { xPL_setDebugging(FALSE); }
};

struct MessageRelease {
  void operator()(xPL_Message *m) const { xPL_releaseMessage(m); }
};
using MessageHolder = std::unique_ptr<xPL_Message, MessageRelease>;

inline MessageHolder parse(const std::string &text) { return MessageHolder(parseMessage(text.c_str())); }

// A service record stands in for a real service: messages only borrow its identity strings.
struct FakeService {
  xPL_Service record{};
  FakeService(const char *vendor, const char *device, const char *instance) {
    record.serviceVendor = xPL_StrDup(vendor);
    record.serviceDeviceID = xPL_StrDup(device);
    record.serviceInstanceID = xPL_StrDup(instance);
  }
  ~FakeService() {
    xPL_FreeStr(record.serviceVendor);
    xPL_FreeStr(record.serviceDeviceID);
    xPL_FreeStr(record.serviceInstanceID);
  }
  xPL_ServicePtr ptr() { return &record; }
};

} // namespace xplmsg
