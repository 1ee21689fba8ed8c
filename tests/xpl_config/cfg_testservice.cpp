// cfg_testservice.cpp - a small configurable xPL service for the end-to-end
// tests: kivamet-cfgtest, keeping its configuration in the file given.
//
//   xplcfg_testservice [-interface NAME] [-xpldebug] --file PATH
//
// Prints "ready <vendor-device.instance> configured|unconfigured" once the
// hub has echoed its heartbeat, and "changed name=value ..." (every item
// value, in order) after each configuration received over the network.
// SIGTERM or SIGINT: goodbye heartbeat, exit 0.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "xPL.h"

namespace {

int signalPipe[2] = {-1, -1};

String S(const char *text) {
  return const_cast<String>(text);
}

void onSignal(int) {
  if (write(signalPipe[1], "x", 1) < 0) {
  }
}

void stopRequested(int, int, int) {
  xPL_shutdown();
}

void printChanged(xPL_ServicePtr service, xPL_ObjectPtr) {
  std::string line = "changed ";
  line += xPL_getServiceInstanceID(service);
  for (int i = 0; i < service->configCount; i++) {
    xPL_ServiceConfigurablePtr item = &service->configList[i];
    for (int v = 0; v < item->valueCount; v++) {
      line += " ";
      line += item->itemName;
      line += "=";
      line += item->valueList[v] ? item->valueList[v] : "";
    }
  }
  printf("%s\n", line.c_str());
  fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  xPL_parseCommonArgs(&argc, argv, FALSE);
  if (argc != 3 || strcmp(argv[1], "--file") != 0) {
    fprintf(stderr, "usage: xplcfg_testservice [-interface NAME] [-xpldebug] --file PATH\n");
    return 2;
  }
  if (!xPL_initialize(xcViaHub)) {
    fprintf(stderr, "cannot start xPL\n");
    return 1;
  }
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  xPL_addIODevice(stopRequested, 0, signalPipe[0], TRUE, FALSE, FALSE);
  signal(SIGTERM, onSignal);
  signal(SIGINT, onSignal);

  xPL_ServicePtr service = xPL_createConfigurableService(S("kivamet"), S("cfgtest"), argv[2]);
  if (!xPL_isServiceConfigured(service)) {
    xPL_addServiceConfigurable(service, S("type"), xPL_CONFIG_RECONF, 1);
    xPL_addServiceConfigurable(service, S("device"), xPL_CONFIG_OPTIONAL, 1);
    xPL_addServiceConfigurable(service, S("location"), xPL_CONFIG_RECONF, 16);
    xPL_setServiceConfigValue(service, S("type"), S("serial"));
    xPL_setServiceConfigValue(service, S("device"), S("/dev/ttyS0"));
  }
  xPL_addServiceConfigChangedListener(service, printChanged, NULL);
  xPL_setServiceEnabled(service, TRUE);

  // Bounded slices until the hub echoes us, then the loop proper.
  for (int slices = 0; slices < 300 && !xPL_isHubConfirmed() && xPL_getFD() >= 0; slices++)
    xPL_processMessages(100);
  if (!xPL_isHubConfirmed()) {
    fprintf(stderr, "no hub echo\n");
    xPL_shutdown();
    return 1;
  }
  printf("ready %s-%s.%s %s\n", xPL_getServiceVendor(service), xPL_getServiceDeviceID(service),
         xPL_getServiceInstanceID(service),
         xPL_isServiceConfigured(service) ? "configured" : "unconfigured");
  fflush(stdout);

  xPL_processMessages(-1);
  xPL_releaseService(service);
  return 0;
}
