// settings.h - what `xplctl configure` checks around sending: the settings
// against the items a service offers (its config.list answer) before, and
// the service's configuration (its config.current answer) after.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace xplctl {

// name=value entries in the order given or received.
using Items = std::vector<std::pair<std::string, std::string>>;

// Why the settings cannot be sent to a service that offers these items,
// one sentence each; empty when they can. Names compare ignoring case.
std::vector<std::string> checkAgainstOffer(const Items &settings, const Items &offered);

// The settings the service did not take, one text each, for example
// "interval=soon (it has interval=5)"; empty when it took them all.
std::vector<std::string> settingsNotTaken(const Items &settings, const Items &current);

}  // namespace xplctl
