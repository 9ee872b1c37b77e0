// The agent address of a built-in engine's session: read once as the library's IP transports
// read it, and, when it names a host, that host's address looked up off the engine's thread
// (resolver.h), again now and then, so that an agent that moves is followed.
#ifndef MORVANE_SNMPHOST_H
#define MORVANE_SNMPHOST_H

#include <stdint.h>
#include <sys/socket.h>

#include <map>
#include <string>
#include <vector>

struct lookup_t;
struct resolver_t;
struct session_t;

// A host name that agent addresses name. Its last good address stays in use while later lookups
// fail.
struct host_t {
  std::string name;
  int family = AF_UNSPEC;  // AF_INET, AF_INET6, or AF_UNSPEC: IPv4 first, then IPv6
  std::string address;     // numeric; empty until a lookup has found one
  int found = AF_UNSPEC;   // the family of address
  lookup_t* asking = NULL;  // the lookup in flight, owned by the resolver meanwhile
  int64_t asked_ns = 0;     // when the last lookup started, monotonic
  int64_t due_ns = 0;       // when the next lookup may start
  std::vector<session_t*> waiting;  // sessions whose round waits for the lookup
};

typedef std::map<std::pair<std::string, int>, host_t*> hosts_t;  // by name and family

// What a session's agent address names, and what the library is given.
struct address_t {
  host_t* host = NULL;      // null: the address names no host to look up
  std::string prefix;       // with host: the address before the host ("udp:"), after it (":161")
  std::string suffix;
  bool stream = false;      // a TCP agent, connected to by the engine before the library opens it
  sockaddr_storage peer;    // with stream: where the agent listens, once known
  socklen_t peer_length = 0;
  std::string in_use;       // with host: its address that peername holds
  std::string peername;     // with host: the address given, the host's address in place of its name
};

// Reads s's agent address (its settings' peername) into s->address: a host name gets one entry
// in hosts, shared by every session that names it; a TCP agent's peer is set when the address is
// numeric. Any other address (unix:, tls, a port alone) is the library's. Never fails.
void read_address(session_t* s, hosts_t* hosts);
// Sets s's address to its host's numeric address and, with stream, peer to it; false when the
// host has none yet. Sessions without host are left as they are.
bool take_host_address(session_t* s);
// True when s names a host whose address is no longer the one s was last given: it has moved.
bool host_moved(const session_t* s);
// Starts a lookup of h's name through r when none is in flight and one is due (now_ns, monotonic).
void look_up(resolver_t* r, host_t* h, int64_t now_ns);
// Puts s among the sessions waiting for its host's lookup, starting one when due; false when no
// lookup is in flight, and none will answer.
bool await_host(resolver_t* r, session_t* s, int64_t now_ns);
// Takes s off its host's waiting sessions.
void stop_awaiting_host(session_t* s);
// Takes one answered lookup from r, keeping an address it found for its host, and moves the
// sessions that waited for it to waiting; false when none was answered.
bool take_lookup(resolver_t* r, std::vector<session_t*>* waiting);
// A round through h failed: its name is looked up again as soon as lookups may start.
void look_up_soon(host_t* h);

#endif
