// Any text (up to 2047 bytes) given as the settings file is read or refused
// without a crash, an overrun or a leak. A refusal is one line that names
// the file; whatever is taken fits its key: the right type, within bounds,
// a range's lower number first, a text its key's test passes.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "settings.h"

namespace {

void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

bool noSpace(const char *text) {
  return strchr(text, ' ') == nullptr;
}

// Every kind of key and table the daemon's parts declare.
const setting_key TOP[] = {
    {"count", SETTING_INTEGER, "1 to 10", 1, 10, nullptr, 0},
    {"word", SETTING_TEXT, "a word", 0, 0, noSpace, SETTING_HIDDEN},
};
const setting_key INNER[] = {
    {"level", SETTING_NUMBER, "-5 to 5", -5, 5, nullptr, 0},
    {"limits", SETTING_RANGE, "two numbers from -100 to 100", -100, 100, nullptr, 0},
    {"on", SETTING_BOOLEAN, "true or false", 0, 0, nullptr, 0},
    {"key", SETTING_TEXT, "a string", 0, 0, nullptr, SETTING_SECRET},
};
const settings_table TABLES[] = {{"top", TOP, 2},
                                 {"up.one", INNER, 4},
                                 {"up.two", INNER, 4},
                                 {"qc", INNER, 4},
                                 {"qc.step", INNER, 4}};

void checkValue(const setting_key &key, const setting_value &v) {
  check(v.type == key.type, "value of its key's type");
  switch (key.type) {
    case SETTING_TEXT:
      check(key.fits == nullptr || key.fits(v.text.c_str()), "text passes its test");
      break;
    case SETTING_INTEGER:
    case SETTING_NUMBER:
      check(v.number >= key.lo && v.number <= key.hi, "number within bounds");
      break;
    case SETTING_RANGE:
      check(v.range[0] >= key.lo && v.range[1] <= key.hi && v.range[0] <= v.range[1],
            "range within bounds, lower first");
      break;
    case SETTING_BOOLEAN:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  settings_tables tables;
  for (const settings_table &t : TABLES) tables.push_back(&t);
  Settings read;
  std::string why;
  if (!settingsParse(text, "fuzz.toml", tables, &read, &why)) {
    check(why.compare(0, 10, "fuzz.toml:") == 0, "refusal names the file");
    check(why.find('\n') == std::string::npos, "refusal is one line");
    return 0;
  }
  for (const settings_table &t : TABLES)
    for (size_t i = 0; i < t.count; i++) {
      const setting_value *v = read.find(t.name, t.keys[i].name);
      if (v != nullptr) checkValue(t.keys[i], *v);
      // The same text as a command-line value.
      setting_value fromText;
      if (settingsFromText(t.keys[i], text.c_str(), &fromText)) checkValue(t.keys[i], fromText);
    }
  return 0;
}
