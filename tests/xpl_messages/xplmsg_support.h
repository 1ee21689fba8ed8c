// Shared helpers of the xPL message tests.
#pragma once

#include <memory>
#include <string>

#include "stderr_capture.h"
#include "xPL.h"
#include "xPL_priv.h"

namespace xplmsg {

// The C interface takes char* for texts it only reads.
inline String S(const char *theText) {
  return const_cast<String>(theText);
}

using testsupport::StderrCapture;

inline bool contains(const std::string &text, const std::string &piece) {
  return text.find(piece) != std::string::npos;
}

// Debug output on for one scope.
struct DebugOn {
  DebugOn() { xPL_setDebugging(TRUE); }
  ~DebugOn() { xPL_setDebugging(FALSE); }
};

struct MessageRelease {
  void operator()(xPL_Message *m) const { xPL_releaseMessage(m); }
};
using MessageHolder = std::unique_ptr<xPL_Message, MessageRelease>;

inline MessageHolder parse(const std::string &text) {
  return MessageHolder(parseMessage(text.c_str()));
}

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

}  // namespace xplmsg
