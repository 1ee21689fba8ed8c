// settings.cpp - checks of `xplctl configure` before and after sending.
#include "settings.h"

#include <stdlib.h>

#include <set>

#include "xPL.h"

namespace xplctl {
namespace {

std::string upper(const std::string &text) {
  std::string folded = text;
  for (char &c : folded)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return folded;
}

struct Offered {
  std::string name;
  long maxValues;
};

// A config.list entry names an item as "name" or "name[max]".
Offered parseOffer(const std::string &text) {
  size_t bracket = text.find('[');
  if (bracket == std::string::npos) return {text, 1};
  long maxValues = strtol(text.c_str() + bracket + 1, nullptr, 10);
  return {text.substr(0, bracket), maxValues < 1 ? 1 : maxValues};
}

// Values of a name. An item without values is sent and reported as one
// entry without value, so empty ones are left out; instance and interval
// always have their one value (an empty interval reads as 0).
std::vector<std::string> valuesOf(const Items &items, const std::string &upperName) {
  const bool single = upperName == "NEWCONF" || upperName == "INTERVAL";
  std::vector<std::string> values;
  for (const auto &item : items)
    if (upper(item.first) == upperName && (single || !item.second.empty()))
      values.push_back(item.second);
  return values;
}

bool sameValue(const std::string &upperName, const std::string &wanted, const std::string &has) {
  if (upperName == "INTERVAL") {
    // Read as the service reads it: "05" is 5.
    int wantedMinutes = 0, hasMinutes = 0;
    return xPL_strToInt(wanted.c_str(), &wantedMinutes) && xPL_strToInt(has.c_str(), &hasMinutes) &&
           wantedMinutes == hasMinutes;
  }
  // The service writes a filter's message type in its own letter case.
  if (upperName == "FILTER") return upper(wanted) == upper(has);
  return wanted == has;
}

std::string entries(const std::string &name, const std::vector<std::string> &values) {
  if (values.empty()) return name + "=";
  std::string text;
  for (const std::string &value : values) text += (text.empty() ? "" : " ") + name + "=" + value;
  return text;
}

}  // namespace

std::vector<std::string> checkAgainstOffer(const Items &settings, const Items &offered) {
  std::vector<Offered> items;
  std::string offeredNames;
  for (const auto &entry : offered) {
    std::string keyword = upper(entry.first);
    if (keyword != "CONFIG" && keyword != "RECONF" && keyword != "OPTION") continue;
    items.push_back(parseOffer(entry.second));
    offeredNames += (offeredNames.empty() ? "" : ", ") + items.back().name;
  }

  std::vector<std::string> problems;
  std::set<std::string> checked;
  for (const auto &setting : settings) {
    const std::string name = upper(setting.first);
    if (!checked.insert(name).second) continue;
    const Offered *item = nullptr;
    for (const Offered &candidate : items)
      if (upper(candidate.name) == name) item = &candidate;
    if (item == nullptr) {
      problems.push_back("no item '" + setting.first + "' (it offers " + offeredNames + ")");
      continue;
    }
    long given = 0;
    for (const auto &other : settings) given += upper(other.first) == name;
    if (given > item->maxValues)
      problems.push_back("'" + item->name + "' takes at most " + std::to_string(item->maxValues) +
                         (item->maxValues == 1 ? " value, " : " values, ") + std::to_string(given) +
                         " given");
  }
  return problems;
}

std::vector<std::string> settingsNotTaken(const Items &settings, const Items &current) {
  std::vector<std::string> notTaken;
  std::set<std::string> checked;
  for (const auto &setting : settings) {
    const std::string name = upper(setting.first);
    if (!checked.insert(name).second) continue;
    const std::vector<std::string> wanted = valuesOf(settings, name);
    const std::vector<std::string> has = valuesOf(current, name);
    bool taken = wanted.size() == has.size();
    for (size_t i = 0; taken && i < wanted.size(); i++) taken = sameValue(name, wanted[i], has[i]);
    if (!taken)
      notTaken.push_back(entries(setting.first, wanted) + " (it has " +
                         (has.empty() ? "none" : entries(setting.first, has)) + ")");
  }
  return notTaken;
}

}  // namespace xplctl
