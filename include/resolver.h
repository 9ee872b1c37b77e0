// Host-name lookups in threads of their own, so that a name server that never answers holds up
// only the lookups waiting for it, never the thread that asks.
#ifndef MORVANE_RESOLVER_H
#define MORVANE_RESOLVER_H

#include <string>

struct resolver_t;

// One lookup: the asker fills name and family, the resolver the answer.
struct lookup_t {
  std::string name;
  int family = 0;         // AF_INET, AF_INET6, or AF_UNSPEC: AF_INET first, then AF_INET6
  void* owner = NULL;     // the asker's, handed back untouched
  int error = 0;          // 0, or getaddrinfo's code for the last family tried
  int found = 0;          // the family of address
  std::string address;    // the first address getaddrinfo gives, in numeric form
};

// Returns a resolver with its threads running; null when a pipe or a thread cannot be made
// (errno says why).
resolver_t* resolver_new();
// Returns the descriptor that is readable while answered lookups wait to be taken.
int resolver_fd(const resolver_t* r);
// Hands lookup to the resolver: the asker must not touch it until resolver_take gives it back.
// False when it cannot be handed over now, and the lookup stays the asker's.
bool resolver_ask(resolver_t* r, lookup_t* lookup);
// Returns an answered lookup, or null when none waits. Never blocks.
lookup_t* resolver_take(resolver_t* r);

#endif
