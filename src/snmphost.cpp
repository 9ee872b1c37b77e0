// Agent addresses of the built-in engine's sessions: read on the main thread as the library's IP
// transports read them; their host names looked up, and each answer taken, on the engine's.
#include "snmphost.h"

#include <netdb.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
extern "C" {  // this header of the library's declares no C linkage of its own
#include <net-snmp/library/snmpIPBaseDomain.h>
}

#include "resolver.h"
#include "snmpsession.h"

// A host name's address is looked up again this often, so that an agent that moves is followed.
static const int64_t refresh_ns = 300 * 1000000000LL;
// No lookup of a name starts sooner than this after the one before, whatever failed meanwhile.
static const int64_t relook_ns = 10 * 1000000000LL;

// The library's IP transport domains by their prefixes (matched without regard to case).
struct domain_t {
  const char* prefix;
  int family;
  bool stream;
};
static const domain_t ip_domains[] = {
    {"udp", AF_INET, false},      {"tcp", AF_INET, true},       {"udp6", AF_INET6, false},
    {"ipv6", AF_INET6, false},    {"udpv6", AF_INET6, false},   {"udpipv6", AF_INET6, false},
    {"tcp6", AF_INET6, true},     {"tcpv6", AF_INET6, true},    {"tcpipv6", AF_INET6, true},
};

static const domain_t* domain_of(const std::string& prefix) {
  for (const domain_t& d : ip_domains)
    if (strcasecmp(d.prefix, prefix.c_str()) == 0)
      return &d;
  return NULL;
}

static bool numeric(const char* host, int family) {
  addrinfo hints = {}, *found = NULL;
  hints.ai_family = family;
  hints.ai_flags = AI_NUMERICHOST;
  if (getaddrinfo(host, NULL, &hints, &found) != 0)
    return false;
  freeaddrinfo(found);
  return true;
}

// The port the library gives an address without one: snmp.conf's defaultPort, else 161.
static int default_port() {
  int port = netsnmp_ds_get_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DEFAULT_PORT);
  return port > 0 ? port : SNMP_PORT;
}

// Sets peer to the numeric host and port of a TCP agent; an empty host is the library's any
// address, as it connects to.
static void set_peer(address_t* a, const char* host, int family, const char* port) {
  addrinfo hints = {}, *found = NULL;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  std::string service = *port ? port : std::to_string(default_port());
  const char* node = *host ? host : family == AF_INET6 ? "::" : "0.0.0.0";
  a->peer_length = 0;
  if (getaddrinfo(node, service.c_str(), &hints, &found) != 0)
    return;
  memcpy(&a->peer, found->ai_addr, found->ai_addrlen);
  a->peer_length = found->ai_addrlen;
  freeaddrinfo(found);
}

// "[domain:]host[@iface][:port]", the host in brackets for IPv6.
void read_address(session_t* s, hosts_t* hosts) {
  address_t* a = &s->address;
  std::string address = s->settings.peername ? s->settings.peername : "";
  size_t colon = address.find(':');
  const domain_t* domain = colon == std::string::npos ? NULL : domain_of(address.substr(0, colon));
  std::string rest = domain ? address.substr(colon + 1) : address;
  netsnmp_ep_str ep = {};
  if ((!domain && rest[0] == '/') || !netsnmp_parse_ep_str(&ep, rest.c_str()))
    return;
  int family = domain ? domain->family : AF_UNSPEC;
  a->stream = domain && domain->stream;
  if (!*ep.addr || numeric(ep.addr, family)) {
    if (a->stream)
      set_peer(a, ep.addr, family, ep.port);
    return;
  }
  if (strchr(ep.addr, ':'))
    return;  // another transport's address ("dtlsudp:host:port"), or no host name
  a->prefix = domain ? address.substr(0, colon + 1) : "";
  a->suffix = std::string(*ep.iface ? "@" : "") + ep.iface + (*ep.port ? ":" : "") + ep.port;
  host_t*& host = (*hosts)[{ep.addr, family}];
  if (!host) {
    host = new host_t;
    host->name = ep.addr;
    host->family = family;
  }
  a->host = host;
}

bool take_host_address(session_t* s) {
  address_t* a = &s->address;
  host_t* h = a->host;
  if (!h)
    return true;
  if (h->address.empty())
    return false;
  if (a->in_use != h->address) {
    // an address without a domain gets the one the library would have found the host in
    const char* domain = !a->prefix.empty() ? "" : h->found == AF_INET6 ? "udp6:" : "udp:";
    bool v6 = h->found == AF_INET6;
    a->in_use = h->address;
    a->peername = a->prefix + domain + (v6 ? "[" : "") + h->address + (v6 ? "]" : "") + a->suffix;
    s->settings.peername = &a->peername[0];
    if (a->stream) {
      netsnmp_ep_str ep = {};
      netsnmp_parse_ep_str(&ep, a->suffix.c_str());
      set_peer(a, h->address.c_str(), h->found, ep.port);
    }
  }
  return true;
}

bool host_moved(const session_t* s) {
  return s->address.host && s->address.host->address != s->address.in_use;
}

void look_up(resolver_t* r, host_t* h, int64_t now_ns) {
  if (h->asking || now_ns < h->due_ns || !r)
    return;
  lookup_t* l = new lookup_t;
  l->name = h->name;
  l->family = h->family;
  l->owner = h;
  if (!resolver_ask(r, l)) {
    delete l;
    return;
  }
  h->asking = l;
  h->asked_ns = now_ns;
  h->due_ns = now_ns + relook_ns;
}

bool await_host(resolver_t* r, session_t* s, int64_t now_ns) {
  host_t* h = s->address.host;
  look_up(r, h, now_ns);
  if (!h->asking)
    return false;
  h->waiting.push_back(s);
  return true;
}

void stop_awaiting_host(session_t* s) {
  std::vector<session_t*>& w = s->address.host->waiting;
  w.erase(std::remove(w.begin(), w.end(), s), w.end());
}

bool take_lookup(resolver_t* r, std::vector<session_t*>* waiting) {
  lookup_t* l = resolver_take(r);
  if (!l)
    return false;
  host_t* h = (host_t*)l->owner;
  h->asking = NULL;
  if (l->error == 0) {
    h->address = l->address;
    h->found = l->found;
    h->due_ns = h->asked_ns + refresh_ns;
  }
  delete l;
  waiting->clear();
  waiting->swap(h->waiting);
  return true;
}

void look_up_soon(host_t* h) {
  h->due_ns = std::min(h->due_ns, h->asked_ns + relook_ns);
}
