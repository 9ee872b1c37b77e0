// Splitting one signal table between instances: with shard = "K/N" an instance reads only the
// signals that fall to K, each agent's whole, by a hash that never changes between releases.
#ifndef MORVANE_SHARD_H
#define MORVANE_SHARD_H

#include <string>

struct signal_t;

// Reads "K/N" (decimal digits, 0 <= K < N) into k and n; false, leaving them, for anything else.
bool parse_shard(const std::string& text, int* k, int* n);
// Returns the shard, 0 to n - 1 (n >= 1), that s falls to: a command signal (call type 3) by
// its cmd, any other by its agent: ip_addr without a leading "udp:", with ":161" when it names no
// port; for tcp, udp6 and tcp6 (by any of their aliases) "transport:host:port", the IPv6 host in
// brackets and the port in decimal.
int shard_of(const signal_t* s, int n);
// Returns the agent ip_addr names, as shard_of keys it, so that one agent however written has
// one key.
std::string agent_key(const std::string& ip_addr);

#endif
