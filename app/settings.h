/* settings.h - the settings file (--config FILE): TOML, read with toml++ and
 * checked whole against tables of keys that the daemon's parts declare next
 * to their own code ([live] in live.cpp, [mqtt] in output_mqtt.cpp, ...).
 * A new table is one more declaration; the reader never changes for it.
 *
 * A table's name may hold dots ("upload.wunderground", "qc.step"): TOML
 * writes it as [upload.wunderground], a table inside a table. Values are
 * stored by "table.key"; the command line sets the same keys and wins over
 * the file.
 */
#ifndef KIVAMET_SETTINGS_H
#define KIVAMET_SETTINGS_H

#include <stddef.h>

#include <map>
#include <set>
#include <string>
#include <vector>

typedef enum {
  SETTING_TEXT,    /* a TOML string */
  SETTING_INTEGER, /* a TOML integer */
  SETTING_NUMBER,  /* a TOML integer or float */
  SETTING_BOOLEAN, /* true or false */
  SETTING_RANGE    /* an array of two numbers, the lower first */
} setting_type;

/* The key's value is never shown in a message. */
#define SETTING_HIDDEN 1u
/* A password or key: hidden, and a file readable by others that holds one
 * gets a warning. */
#define SETTING_SECRET 3u

typedef struct {
  const char *name; /* "seconds" */
  setting_type type;
  const char *expects; /* what it takes, as messages say it: "2 to 3600 seconds" */
  double lo, hi;       /* a number's bounds (both numbers' for a range); unused for others */
  /* A text's test (null: any text), e.g. that a URL parses. */
  bool (*fits)(const char *text);
  unsigned flags; /* SETTING_HIDDEN, SETTING_SECRET */
} setting_key;

typedef struct {
  const char *name; /* "mqtt", "upload.wunderground" */
  const setting_key *keys;
  size_t count;
} settings_table;

struct setting_value {
  setting_type type = SETTING_TEXT;
  std::string text;
  long long integer = 0;
  double number = 0; /* also an integer's value */
  bool boolean = false;
  double range[2] = {0, 0};
};

/* The values read, by table and key. Getters take the value to use when
 * the key was not given. */
class Settings {
 public:
  const setting_value *find(const std::string &table, const std::string &key) const;
  /* Whether the file had the table, even an empty one. */
  bool hasTable(const std::string &table) const { return tables_.count(table) > 0; }
  std::string text(const std::string &table, const std::string &key,
                   const std::string &fallback) const;
  long long integer(const std::string &table, const std::string &key, long long fallback) const;
  double number(const std::string &table, const std::string &key, double fallback) const;
  bool boolean(const std::string &table, const std::string &key, bool fallback) const;

  void set(const std::string &table, const std::string &key, const setting_value &value);
  void addTable(const std::string &table) { tables_.insert(table); }

 private:
  std::map<std::string, setting_value> values_;
  std::set<std::string> tables_;
};

typedef std::vector<const settings_table *> settings_tables;

/* Checks TOML text against the tables and stores its values in *out.
 * `source` names the text in messages (the file's path). False with one
 * line in *why, no line end: "SOURCE:LINE: ..." naming the key, for a
 * syntax error, an unknown table or key, a value of the wrong type or out
 * of range. With several faults the first in the text is named. *out is
 * complete only on success. */
bool settingsParse(const std::string &text, const std::string &source,
                   const settings_tables &tables, Settings *out, std::string *why);

/* Reads and checks a file as settingsParse does. *warning gets a line
 * (else stays empty) when the file holds a secret key and others may read
 * it. False with the line in *why also when the file cannot be read. */
bool settingsRead(const std::string &path, const settings_tables &tables, Settings *out,
                  std::string *why, std::string *warning);

/* A key's value given as text (a command-line option), parsed and checked
 * as the file's would be; false when it is no such value. */
bool settingsFromText(const setting_key &key, const char *text, setting_value *out);

/* The text as one line of a message: control characters (which a file,
 * or a value anyone on the xPL network set, may hold) as escapes. */
std::string oneLine(const std::string &text);

/* The key of a table, or null. */
const setting_key *settingsKey(const settings_tables &tables, const std::string &table,
                               const std::string &key);

#endif /* KIVAMET_SETTINGS_H */
