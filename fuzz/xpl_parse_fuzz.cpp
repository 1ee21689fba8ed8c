// Any datagram (up to 2047 bytes) parses or is refused without a crash, an
// overrun or a leak; whatever parses formats back to text that parses again
// to the same message.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "xPL.h"
#include "xPL_priv.h"

namespace {

const char GROUP_PREFIX[] = "XPL-GROUP.";

void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

// A received group carries its prefix, an outgoing one does not: strip it so
// the formatter writes the group once.
void toOutgoingGroup(xPL_MessagePtr m) {
  if (!xPL_isGroupMessage(m)) return;
  String group = xPL_getTargetGroup(m);
  check(strncmp(group, GROUP_PREFIX, strlen(GROUP_PREFIX)) == 0, "received group has its prefix");
  check(strlen(group) <= strlen(GROUP_PREFIX) + RECEIVED_GROUP_MAX, "received group cut to 16");
  xPL_setTargetGroup(m, group + strlen(GROUP_PREFIX));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // An exactly sized copy, so reading past the terminator shows up under ASan.
  size_t n = size < MSG_BUFF_SIZE - 1 ? size : MSG_BUFF_SIZE - 1;
  char *text = (char *)malloc(n + 1);
  memcpy(text, data, n);
  text[n] = '\0';

  xPL_MessagePtr m = parseMessage(text);
  free(text);
  if (m == nullptr) return 0;

  check(xPL_isReceivedMessage(m), "received flag");
  check(
      xPL_getMessageType(m) >= xPL_MESSAGE_COMMAND && xPL_getMessageType(m) <= xPL_MESSAGE_TRIGGER,
      "type");
  check(xPL_getHopCount(m) > 0, "hop count");
  check(xPL_getSourceVendor(m) && xPL_getSourceDeviceID(m) && xPL_getSourceInstanceID(m), "source");
  check(xPL_getMessageBody(m) != nullptr, "body list");

  toOutgoingGroup(m);
  String first = xPL_formatMessage(m);
  if (first != nullptr) {
    std::string once(first);
    xPL_MessagePtr again = parseMessage(once.c_str());
    check(again != nullptr, "formatted text parses");
    toOutgoingGroup(again);
    String second = xPL_formatMessage(again);
    check(second != nullptr && once == second, "format is stable across a round trip");
    xPL_releaseMessage(again);
  }
  xPL_releaseMessage(m);
  return 0;
}
