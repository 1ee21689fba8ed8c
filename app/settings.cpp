// settings.cpp - reading and checking the settings file.
#include "settings.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <cmath>

namespace {

// A settings file is a few dozen lines; anything this big is no such file.
constexpr size_t FILE_MAX = 1 << 20;

std::string joined(const std::string &table, const std::string &key) {
  return table.empty() ? key : table + "." + key;
}

const settings_table *findTable(const settings_tables &tables, const std::string &name) {
  for (const settings_table *t : tables)
    if (name == t->name) return t;
  return nullptr;
}

// Whether a declared table lies inside `name` ([upload] holds [upload.cwop]).
bool holdsTables(const settings_tables &tables, const std::string &name) {
  const std::string prefix = name + ".";
  for (const settings_table *t : tables)
    if (std::string(t->name).compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

const char *typeName(const toml::node &n) {
  switch (n.type()) {
    case toml::node_type::string:
      return "a string";
    case toml::node_type::integer:
      return "an integer";
    case toml::node_type::floating_point:
      return "a fraction";
    case toml::node_type::boolean:
      return "true or false";
    case toml::node_type::array:
      return "an array";
    case toml::node_type::table:
      return "a table";
    default:
      return "a date or time";
  }
}

std::string numberText(double v) {
  char text[32];
  snprintf(text, sizeof text, "%g", v);
  return text;
}


bool inBounds(const setting_key &key, double v) {
  return std::isfinite(v) && v >= key.lo && v <= key.hi;
}

// The first fault found, kept by its place so the earliest in the text wins
// (a table's keys are walked in name order, not in the order written).
struct Fault {
  long line = 0;
  long column = 0;
  std::string text;
  bool any = false;

  void note(const toml::source_region &at, const std::string &what) {
    const long l = static_cast<long>(at.begin.line), c = static_cast<long>(at.begin.column);
    if (any && (l > line || (l == line && c >= column))) return;
    any = true;
    line = l;
    column = c;
    text = what;
  }
};

// A value's check; false with the words after the key in *what.
bool takeValue(const setting_key &key, const toml::node &n, setting_value *v, std::string *what) {
  const bool hidden = (key.flags & SETTING_HIDDEN) != 0;
  std::string shown;
  v->type = key.type;
  switch (key.type) {
    case SETTING_TEXT:
      if (const auto *s = n.as_string()) {
        v->text = s->get();
        if (key.fits == nullptr || key.fits(v->text.c_str())) return true;
        shown = v->text;
        break;
      }
      *what = std::string("takes ") + key.expects + ", not " + typeName(n);
      return false;
    case SETTING_INTEGER:
      if (const auto *i = n.as_integer()) {
        v->integer = i->get();
        v->number = static_cast<double>(v->integer);
        if (inBounds(key, v->number)) return true;
        shown = std::to_string(v->integer);
        break;
      }
      *what = std::string("takes ") + key.expects + ", not " + typeName(n);
      return false;
    case SETTING_NUMBER:
      if (n.is_number()) {
        v->number = n.value<double>().value_or(NAN);
        if (inBounds(key, v->number)) return true;
        shown = numberText(v->number);
        break;
      }
      *what = std::string("takes ") + key.expects + ", not " + typeName(n);
      return false;
    case SETTING_BOOLEAN:
      if (const auto *b = n.as_boolean()) {
        v->boolean = b->get();
        return true;
      }
      *what = std::string("takes ") + key.expects + ", not " + typeName(n);
      return false;
    case SETTING_RANGE: {
      const auto *a = n.as_array();
      if (a == nullptr || a->size() != 2 || !(*a)[0].is_number() || !(*a)[1].is_number()) {
        *what = std::string("takes ") + key.expects + ", not " +
                (a != nullptr ? "that array" : typeName(n));
        return false;
      }
      v->range[0] = (*a)[0].value<double>().value_or(NAN);
      v->range[1] = (*a)[1].value<double>().value_or(NAN);
      if (inBounds(key, v->range[0]) && inBounds(key, v->range[1]) && v->range[0] <= v->range[1])
        return true;
      shown = "[" + numberText(v->range[0]) + ", " + numberText(v->range[1]) + "]";
      break;
    }
  }
  *what = std::string("takes ") + key.expects + (hidden ? "" : ", not " + shown);
  return false;
}

class Checker {
 public:
  Checker(const settings_tables &tables, Settings *out) : tables_(tables), out_(out) {}

  void walk(const toml::table &t, const std::string &path) {
    const settings_table *declared = path.empty() ? nullptr : findTable(tables_, path);
    for (auto &&[k, node] : t) {
      const std::string name(k.str());
      const std::string full = joined(path, name);
      const setting_key *key = nullptr;
      for (size_t i = 0; declared != nullptr && i < declared->count; i++)
        if (name == declared->keys[i].name) key = &declared->keys[i];
      if (key != nullptr) {
        setting_value v;
        std::string what;
        if (takeValue(*key, node, &v, &what)) {
          out_->set(path, name, v);
        } else {
          fault_.note(node.source(), full + " " + what);
        }
      } else if (const toml::table *inner = node.as_table();
                 inner != nullptr && (findTable(tables_, full) || holdsTables(tables_, full))) {
        out_->addTable(full);
        walk(*inner, full);
      } else if (findTable(tables_, full) || holdsTables(tables_, full)) {
        fault_.note(node.source(), "[" + full + "] is a table, not " + typeName(node));
      } else if (node.is_table()) {
        fault_.note(k.source(), "unknown table [" + full + "]");
      } else {
        fault_.note(k.source(), "unknown key " + full);
      }
    }
  }

  bool failed(const std::string &source, std::string *why) const {
    if (!fault_.any) return false;
    *why = oneLine(source + ":" + std::to_string(fault_.line) + ": " + fault_.text);
    return true;
  }

 private:
  const settings_tables &tables_;
  Settings *out_;
  Fault fault_;
};

bool holdsSecret(const settings_tables &tables, const Settings &s) {
  for (const settings_table *t : tables)
    for (size_t i = 0; i < t->count; i++)
      if ((t->keys[i].flags & SETTING_SECRET) == SETTING_SECRET &&
          s.find(t->name, t->keys[i].name) != nullptr)
        return true;
  return false;
}

}  // namespace

// A message is one line: control characters (a key or value may hold them,
// and the parser quotes what it saw as it stands) are written as escapes.
std::string oneLine(const std::string &text) {
  std::string line;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\t') {
      line += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\x%02x", c);
      line += escape;
    } else {
      line += ch;
    }
  }
  return line;
}

const setting_value *Settings::find(const std::string &table, const std::string &key) const {
  const auto it = values_.find(joined(table, key));
  return it == values_.end() ? nullptr : &it->second;
}

std::string Settings::text(const std::string &table, const std::string &key,
                           const std::string &fallback) const {
  const setting_value *v = find(table, key);
  return v != nullptr ? v->text : fallback;
}

long long Settings::integer(const std::string &table, const std::string &key,
                            long long fallback) const {
  const setting_value *v = find(table, key);
  return v != nullptr ? v->integer : fallback;
}

double Settings::number(const std::string &table, const std::string &key, double fallback) const {
  const setting_value *v = find(table, key);
  return v != nullptr ? v->number : fallback;
}

bool Settings::boolean(const std::string &table, const std::string &key, bool fallback) const {
  const setting_value *v = find(table, key);
  return v != nullptr ? v->boolean : fallback;
}

void Settings::set(const std::string &table, const std::string &key, const setting_value &value) {
  values_[joined(table, key)] = value;
}

const setting_key *settingsKey(const settings_tables &tables, const std::string &table,
                               const std::string &key) {
  const settings_table *t = findTable(tables, table);
  for (size_t i = 0; t != nullptr && i < t->count; i++)
    if (key == t->keys[i].name) return &t->keys[i];
  return nullptr;
}

bool settingsParse(const std::string &text, const std::string &source,
                   const settings_tables &tables, Settings *out, std::string *why) {
  toml::table root;
  try {
    root = toml::parse(text, source);
  } catch (const toml::parse_error &e) {
    *why = oneLine(source + ":" + std::to_string(e.source().begin.line) + ": " +
                   std::string(e.description()));
    return false;
  }
  Settings read;
  Checker checker(tables, &read);
  checker.walk(root, "");
  if (checker.failed(source, why)) return false;
  *out = read;
  return true;
}

bool settingsRead(const std::string &path, const settings_tables &tables, Settings *out,
                  std::string *why, std::string *warning) {
  warning->clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *why = "cannot read " + path + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() <= FILE_MAX)
    text.append(buf, static_cast<size_t>(n));
  const int readErrno = errno;
  close(fd);
  if (n < 0) {
    *why = "cannot read " + path + ": " + strerror(readErrno);
    return false;
  }
  if (text.size() > FILE_MAX) {
    *why = "cannot read " + path + ": larger than a settings file can be";
    return false;
  }
  if (!settingsParse(text, path, tables, out, why)) return false;
  if ((st.st_mode & S_IROTH) != 0 && holdsSecret(tables, *out))
    *warning = path + " holds a password or key and others may read it (chmod o-r " + path + ")";
  return true;
}

bool settingsFromText(const setting_key &key, const char *text, setting_value *out) {
  if (text == nullptr) return false;
  setting_value v;
  v.type = key.type;
  char *end = nullptr;
  errno = 0;
  switch (key.type) {
    case SETTING_TEXT:
      v.text = text;
      if (key.fits != nullptr && !key.fits(text)) return false;
      break;
    case SETTING_INTEGER:
      v.integer = strtoll(text, &end, 10);
      v.number = static_cast<double>(v.integer);
      if (errno != 0 || end == text || *end != '\0' || !inBounds(key, v.number)) return false;
      break;
    case SETTING_NUMBER:
      v.number = strtod(text, &end);
      if (errno != 0 || end == text || *end != '\0' || !inBounds(key, v.number)) return false;
      break;
    case SETTING_BOOLEAN:
      if (strcmp(text, "true") != 0 && strcmp(text, "false") != 0) return false;
      v.boolean = strcmp(text, "true") == 0;
      break;
    case SETTING_RANGE:
      return false;
  }
  *out = v;
  return true;
}
