// cfg_support.h - helpers shared by the configuration tests: services that
// release themselves, files, and config.* messages handed to the router.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files.h"
#include "xPL.h"
#include "xPL_priv.h"

namespace cfgtest {

using testsupport::readFile;
using testsupport::writeFile;

inline String S(const char *text) {
  return const_cast<String>(text);
}
inline String S(const std::string &text) {
  return const_cast<String>(text.c_str());
}

// A configurable service released (and so disabled) at the end of a test.
class Service {
 public:
  explicit Service(const std::string &file = "", const char *vendor = "kivamet",
                   const char *device = "cfgtest")
      : service_(xPL_createConfigurableService(S(vendor), S(device),
                                               file.empty() ? nullptr : S(file))) {}
  ~Service() {
    if (service_ != nullptr) xPL_releaseService(service_);
  }
  Service(const Service &) = delete;
  Service &operator=(const Service &) = delete;
  xPL_ServicePtr get() const { return service_; }
  xPL_ServicePtr operator->() const { return service_; }

  // The three items the test service declares: type, device, location[16].
  void declareItems() {
    ASSERT_TRUE(xPL_addServiceConfigurable(service_, S("type"), xPL_CONFIG_RECONF, 1));
    ASSERT_TRUE(xPL_addServiceConfigurable(service_, S("device"), xPL_CONFIG_OPTIONAL, 1));
    ASSERT_TRUE(xPL_addServiceConfigurable(service_, S("location"), xPL_CONFIG_RECONF, 16));
  }

 private:
  xPL_ServicePtr service_;
};

inline std::string identity(xPL_ServicePtr service) {
  return std::string(xPL_getServiceVendor(service)) + "-" + xPL_getServiceDeviceID(service) + "." +
         xPL_getServiceInstanceID(service);
}

// The text of a config.* message from a manager to the service.
inline std::string configText(xPL_ServicePtr service, const char *type, const char *schemaType,
                              const std::string &bodyLines, const std::string &target = "") {
  return std::string(type) + "\n{\nhop=1\nsource=kivamet-manager.test\ntarget=" +
         (target.empty() ? identity(service) : target) + "\n}\nconfig." + schemaType + "\n{\n" +
         bodyLines + "}\n";
}

// Parses the text and routes it to every service, as the receive path does.
inline void deliver(const std::string &text) {
  xPL_MessagePtr message = parseMessage(text.c_str());
  ASSERT_NE(message, nullptr) << text;
  xPL_handleServiceMessage(message, nullptr);
  xPL_releaseMessage(message);
}

inline void sendResponse(xPL_ServicePtr service, const std::string &bodyLines) {
  deliver(configText(service, "xpl-cmnd", "response", bodyLines));
}

inline std::vector<std::string> values(xPL_ServicePtr service, const char *item) {
  std::vector<std::string> found;
  for (int i = 0; i < xPL_getServiceConfigValueCount(service, S(item)); i++) {
    const char *value = xPL_getServiceConfigValueAt(service, S(item), i);
    found.push_back(value ? value : "(null)");
  }
  return found;
}

inline std::vector<std::string> groups(xPL_ServicePtr service) {
  return std::vector<std::string>(service->groupList, service->groupList + service->groupCount);
}

}  // namespace cfgtest
