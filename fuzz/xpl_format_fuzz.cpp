// Messages built from fuzzed parts format within the size limit and parse
// back to the same header, schema and items. The parts are drawn from what
// the text form can carry (no line feed anywhere, no '-' in a vendor, no '.'
// in a device or schema class, no '=', '!' or '}' in an item name); what the
// text legitimately changes is applied to the expectation: cleaning of bytes
// below 0x20 or above 'z' into '|', binary items coming back as hex text,
// the group prefix and its 16-character cut.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "xPL.h"
#include "xPL_priv.h"

namespace {

void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "round trip broken: %s\n", what);
    abort();
  }
}

std::string part(FuzzedDataProvider &fdp, size_t maxLength, const char *excluded) {
  std::string raw = fdp.ConsumeRandomLengthString(maxLength);
  std::string out;
  for (char c : raw) {
    if (c == '\0' || c == '\n' || strchr(excluded, c) != nullptr) continue;
    out += c;
  }
  return out;
}

std::string cleaned(const std::string &text) {
  std::string out = text;
  for (char &c : out) {
    signed char s = (signed char)c;
    if (s < 0x20 || s > 'z') c = '|';
  }
  return out;
}

std::string hexOf(const std::string &bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool sameIgnoringCase(const std::string &a, const char *b) {
  return xPL_strcmpIgnoreCase(a.c_str(), b) == 0;
}

String S(const std::string &text) {
  return const_cast<String>(text.c_str());
}

bool equals(const char *got, const std::string &expected) {
  return got != nullptr && expected == got;
}

struct Item {
  std::string name;
  std::string value;  // text, or raw bytes when binary
  bool binary;
  bool hasValue;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);

  const xPL_MessageType type =
      fdp.PickValueInArray({xPL_MESSAGE_COMMAND, xPL_MESSAGE_STATUS, xPL_MESSAGE_TRIGGER});
  const std::string srcVendor = part(fdp, 24, "-");
  const std::string srcDevice = part(fdp, 24, ".");
  const std::string srcInstance = part(fdp, 24, "");
  const int targetForm = fdp.ConsumeIntegralInRange(0, 2);  // broadcast, group, triple
  const std::string tgtVendor = part(fdp, 24, "-");
  const std::string tgtDevice = part(fdp, 24, ".");
  const std::string tgtInstance = part(fdp, 24, "");
  std::string schemaClass = part(fdp, 40, ".");
  // A block header's leading blanks, control and high bytes are skipped.
  while (!schemaClass.empty() && (signed char)schemaClass[0] <= 0x20) schemaClass.erase(0, 1);
  const std::string schemaType = part(fdp, 40, "");

  std::vector<Item> items(fdp.ConsumeIntegralInRange(0, 12));
  for (Item &item : items) {
    item.name = part(fdp, 40, "=!}");
    item.binary = fdp.ConsumeBool();
    item.hasValue = item.binary || fdp.ConsumeBool();
    item.value = item.binary ? fdp.ConsumeRandomLengthString(16) : part(fdp, 200, "");
    if (!item.hasValue) item.value.clear();
  }

  xPL_MessagePtr m = createReceivedMessage(type);
  xPL_setSource(m, S(srcVendor), S(srcDevice), S(srcInstance));
  if (targetForm == 0) {
    xPL_setBroadcastMessage(m, TRUE);
  } else if (targetForm == 1) {
    xPL_setTargetGroup(m, S(tgtInstance));
  } else {
    xPL_setTarget(m, S(tgtVendor), S(tgtDevice), S(tgtInstance));
  }
  xPL_setSchema(m, S(schemaClass), S(schemaType));

  size_t expectedLength = strlen("xpl-cmnd\n{\nhop=1\nsource=") + srcVendor.size() +
                          srcDevice.size() + srcInstance.size() + 3 + strlen("\n}\n") +
                          schemaClass.size() + 1 + schemaType.size() + strlen("\n{\n") +
                          strlen("}\n");
  if (targetForm == 0) expectedLength += strlen("target=*");
  if (targetForm == 1) expectedLength += strlen("target=XPL-GROUP.") + tgtInstance.size();
  if (targetForm == 2)
    expectedLength +=
        strlen("target=") + tgtVendor.size() + tgtDevice.size() + tgtInstance.size() + 2;

  for (const Item &item : items) {
    xPL_NameValuePairPtr pair = xPL_newNamedValuePair(xPL_getMessageBody(m), S(item.name));
    if (item.binary) {
      pair->isBinary = TRUE;
      pair->binaryLength = (int)item.value.size();
      pair->itemValue = nullptr;
      if (!item.value.empty()) {
        pair->itemValue = (String)xPL_checkedAlloc(malloc(item.value.size()), item.value.size());
        memcpy(pair->itemValue, item.value.data(), item.value.size());
      }
    } else if (item.hasValue) {
      pair->itemValue = xPL_StrDup(item.value.c_str());
    }
    expectedLength +=
        item.name.size() + 2 + (item.binary ? 2 * item.value.size() : item.value.size());
  }

  String text = xPL_formatMessage(m);
  if (expectedLength >= MSG_MAX_SIZE) {
    check(text == nullptr, "a message of 1500 characters or more is refused");
    xPL_releaseMessage(m);
    return 0;
  }
  check(text != nullptr && strlen(text) == expectedLength, "formatted length");

  xPL_MessagePtr back = parseMessage(text);
  check(back != nullptr, "formatted text parses");
  check(xPL_getMessageType(back) == type, "type");
  check(xPL_getHopCount(back) == 1, "hop");
  check(equals(xPL_getSourceVendor(back), cleaned(srcVendor)), "source vendor");
  check(equals(xPL_getSourceDeviceID(back), cleaned(srcDevice)), "source device");
  check(equals(xPL_getSourceInstanceID(back), cleaned(srcInstance)), "source instance");

  const bool tripleIsGroup = targetForm == 2 && sameIgnoringCase(cleaned(tgtVendor), "XPL") &&
                             sameIgnoringCase(cleaned(tgtDevice), "GROUP");
  if (targetForm == 0) {
    check(xPL_isBroadcastMessage(back), "broadcast");
  } else if (targetForm == 1 || tripleIsGroup) {
    check(xPL_isGroupMessage(back) && !xPL_isBroadcastMessage(back), "group");
    check(equals(xPL_getTargetGroup(back),
                 "XPL-GROUP." + cleaned(tgtInstance).substr(0, RECEIVED_GROUP_MAX)),
          "group name");
  } else {
    check(!xPL_isGroupMessage(back) && !xPL_isBroadcastMessage(back), "triple target");
    check(equals(xPL_getTargetVendor(back), cleaned(tgtVendor)), "target vendor");
    check(equals(xPL_getTargetDeviceID(back), cleaned(tgtDevice)), "target device");
    check(equals(xPL_getTargetInstanceID(back), cleaned(tgtInstance)), "target instance");
  }

  check(equals(xPL_getSchemaClass(back), cleaned(schemaClass)), "schema class");
  check(equals(xPL_getSchemaType(back), cleaned(schemaType)), "schema type");

  xPL_NameValueListPtr body = xPL_getMessageBody(back);
  check(xPL_getNamedValueCount(body) == (int)items.size(), "item count");
  for (size_t i = 0; i < items.size(); i++) {
    xPL_NameValuePairPtr pair = xPL_getNamedValuePairAt(body, (int)i);
    const Item &item = items[i];
    check(!pair->isBinary, "binary items come back as text");
    check(equals(pair->itemName, cleaned(item.name)), "item name");
    const std::string expected =
        item.binary ? hexOf(item.value) : (item.hasValue ? cleaned(item.value) : "");
    check(equals(pair->itemValue, expected), "item value");
  }

  xPL_releaseMessage(back);
  xPL_releaseMessage(m);
  return 0;
}
