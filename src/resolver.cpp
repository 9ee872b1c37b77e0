// Host-name lookups off the asker's thread. Lookups go to a few threads of their own through one
// pipe and come back through another: the asker and the threads share nothing else, and a
// lookup belongs to whoever last read its pointer from a pipe.
#include "resolver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <unistd.h>

// Threads, so that a name whose server never answers leaves others to be looked up.
static const int lookup_threads = 4;

struct resolver_t {
  int asked[2];     // lookups to do: the asker writes, the threads read
  int answered[2];  // lookups done: the threads write, the asker reads
};

// Looks the name up as the SNMP library would have on opening the address.
static void resolve(lookup_t* l) {
  int families[2] = {l->family, AF_INET6}, tries = l->family == AF_UNSPEC ? 2 : 1;
  if (l->family == AF_UNSPEC)
    families[0] = AF_INET;
  for (int i = 0; i < tries; i++) {
    addrinfo hints = {}, *found = NULL;
    hints.ai_family = families[i];
    hints.ai_socktype = SOCK_DGRAM;
    l->error = getaddrinfo(l->name.c_str(), NULL, &hints, &found);
    if (l->error != 0)
      continue;
    char text[INET6_ADDRSTRLEN] = "";
    l->error = getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, NULL, 0, NI_NUMERICHOST);
    l->found = found->ai_family;
    l->address = text;
    freeaddrinfo(found);
    if (l->error == 0)
      return;
  }
}

static bool move(int fd, void* data, size_t size, bool out) {
  ssize_t n;
  do
    n = out ? write(fd, data, size) : read(fd, data, size);
  while (n < 0 && errno == EINTR);
  return n == (ssize_t)size;  // a pointer is written and read whole: less than PIPE_BUF
}

static void* look_up(void* arg) {
  resolver_t* r = (resolver_t*)arg;
  lookup_t* l;
  while (move(r->asked[0], &l, sizeof l, false)) {
    resolve(l);
    move(r->answered[1], &l, sizeof l, true);
  }
  return NULL;
}

resolver_t* resolver_new() {
  resolver_t* r = new resolver_t;
  if (pipe2(r->asked, O_CLOEXEC) != 0 || pipe2(r->answered, O_CLOEXEC) != 0 ||
      fcntl(r->asked[1], F_SETFL, O_NONBLOCK) != 0 || fcntl(r->answered[0], F_SETFL, O_NONBLOCK) != 0)
    return NULL;  // what was made stays unused until the process ends
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  for (int i = 0; i < lookup_threads; i++) {
    pthread_t t;
    int rc = pthread_create(&t, &attr, look_up, r);
    if (rc != 0 && i == 0) {
      errno = rc;
      return NULL;
    }
    if (rc == 0)
      pthread_setname_np(t, "resolver");
  }
  return r;
}

int resolver_fd(const resolver_t* r) {
  return r->answered[0];
}

bool resolver_ask(resolver_t* r, lookup_t* lookup) {
  return move(r->asked[1], &lookup, sizeof lookup, true);
}

lookup_t* resolver_take(resolver_t* r) {
  lookup_t* l;
  return move(r->answered[0], &l, sizeof l, false) ? l : NULL;
}
