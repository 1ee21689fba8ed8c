// netns.h - run a test process inside a private network namespace.
//
// Everything that opens xPL sockets, runs the hub or the daemon does so in
// a namespace the test made itself, so no datagram ever reaches the host's
// real interfaces. Link against kivamet_netns_main to get a gtest main()
// that enters a fresh namespace (loopback up) before any test runs, and
// refuses to run at all when it cannot.
#pragma once

#include <string>

namespace testsupport {

// Moves the calling process into a fresh network namespace and brings its
// loopback up. Tries a plain namespace first (root), then a user namespace.
// Call before any thread starts. Returns false with the reason on failure.
bool enterPrivateNetns(std::string *why);

// True when the calling process sits in a namespace made by enterPrivateNetns.
bool inPrivateNetns();

// Adds a non-loopback interface (one end of a veth pair, the other end up
// without an address) with an IPv4 address and prefix ("10.77.0.1/24") and
// its broadcast address. Broadcasts sent on it loop back to local sockets.
// Only inside a private namespace; refuses otherwise.
bool addTestInterface(const std::string &name, const std::string &cidr, std::string *why);

// Sends one UDP datagram whose sender is `fromAddr`, an address this host
// does not have, as another host on the test network would. Only inside a
// private namespace; refuses otherwise.
bool sendFromForeignAddress(const std::string &fromAddr, const std::string &toAddr, int toPort,
                            const std::string &payload, std::string *why);

// Runs a command (no shell), waits for it and returns its exit status, or -1.
int runCommand(const std::initializer_list<std::string> &argv);

}  // namespace testsupport
