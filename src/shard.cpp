// Which instance reads a signal: the jump consistent hash (Lamping and Veach, 2014) of the
// 64-bit FNV-1a hash of its agent or command. Both are fixed by their papers: changing either
// would move every signal of every split table at an upgrade.
#include "shard.h"

#include <stdint.h>
#include <strings.h>

#include <algorithm>
#include <charconv>

#include "signals.h"

// Reads a whole decimal number of [first, last) into v; false for no digits, a sign, anything
// after them or a value past int.
static bool whole_number(const char* first, const char* last, int* v) {
  if (first == last || *first < '0' || *first > '9')
    return false;
  std::from_chars_result r = std::from_chars(first, last, *v);
  return r.ec == std::errc() && r.ptr == last;
}

bool parse_shard(const std::string& text, int* k, int* n) {
  size_t slash = text.find('/');
  int kk, nn;
  if (slash == std::string::npos || !whole_number(text.data(), text.data() + slash, &kk) ||
      !whole_number(text.data() + slash + 1, text.data() + text.size(), &nn) || kk >= nn)
    return false;
  *k = kk;
  *n = nn;
  return true;
}

static uint64_t fnv1a64(const std::string& text) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// The bucket of key among n: moving from n to n + 1 buckets moves only the keys that go to the
// new one.
static int jump_hash(uint64_t key, int n) {
  int64_t b = -1, j = 0;
  while (j < n) {
    b = j;
    key = key * 2862933555777941757ull + 1;
    j = (int64_t)((b + 1) * ((double)(1ll << 31) / (double)((key >> 33) + 1)));
  }
  return (int)b;
}

// The key of an agent of the default transport, udp, as it has always been: without a leading
// "udp:", with ":161" when it names no port. Split tables rely on these keys, so they stay.
static std::string udp_key(const std::string& ip_addr) {
  std::string a = strncasecmp(ip_addr.c_str(), "udp:", 4) == 0 ? ip_addr.substr(4) : ip_addr;
  bool port = !a.empty() && a[0] == '['
                  ? a.find("]:") != std::string::npos
                  : std::count(a.begin(), a.end(), ':') == 1;
  return port ? a : a + ":161";
}

// The library's other IP transports by their prefixes, each with the one name its aliases share
// in the key. Kept here rather than asked of the library, whose list may grow: a key never moves.
struct transport_t {
  const char* prefix;
  const char* name;
};
static const transport_t transports[] = {
    {"tcp", "tcp"},      {"udp6", "udp6"}, {"ipv6", "udp6"},  {"udpv6", "udp6"},
    {"udpipv6", "udp6"}, {"tcp6", "tcp6"}, {"tcpv6", "tcp6"}, {"tcpipv6", "tcp6"},
};

static const char* transport_named(const std::string& prefix) {
  for (const transport_t& t : transports)
    if (strcasecmp(t.prefix, prefix.c_str()) == 0)
      return t.name;
  return NULL;
}

static bool all_digits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// An agent's host, interface and port as written, each empty when not.
struct endpoint_t {
  std::string host, iface, port;
};

// Reads the host that text begins with, "[host]" or "host", into host, as the library reads
// it: without brackets and with more than one colon it is all host, so "::1:161" names no port.
// Returns where what follows the host begins: 0 with no host, or with a "[" never closed.
static size_t read_host(const std::string& text, std::string* host) {
  if (text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos)
      return 0;
    *host = text.substr(1, close - 1);
    return close + 1;
  }
  if (text[0] == '@' || (text[0] == ':' && text[1] != ':'))
    return 0;
  size_t end = text.find('@');
  if (end == std::string::npos && text.find(':') == text.rfind(':'))
    end = text.find(':');  // one colon at most: the port's
  *host = text.substr(0, end);
  return end;
}

// Reads a host, then "@iface" and ":port", each optional, or a port alone, as the library reads
// an endpoint; false for text it refuses.
static bool read_endpoint(const std::string& text, endpoint_t* e) {
  if (all_digits(text)) {
    e->port = text;
    return true;
  }
  size_t at = read_host(text, &e->host);
  if (at < text.size() && text[at] == '@') {
    size_t colon = text.find(':', at + 1);
    e->iface = text.substr(at + 1, colon - at - 1);  // to the end when no colon follows
    at = colon;
  }
  if (at < text.size() && text[at] == ':') {
    e->port = text.substr(at + 1);
    return all_digits(e->port);
  }
  return at >= text.size();
}

// The port as the library reads it, in decimal: "0161" is 161. An agent that names none has 161.
static std::string port_key(const std::string& digits) {
  if (digits.empty())
    return "161";
  size_t first = digits.find_first_not_of('0');
  return first == std::string::npos ? "0" : digits.substr(first);
}

// "transport:host:port" of an agent of another transport, so that each way of writing one agent
// gives one key: an IPv6 host always in brackets, the port always there and in decimal.
static std::string transport_key(const char* transport, const std::string& rest) {
  endpoint_t e;
  if (!read_endpoint(rest, &e))
    return std::string(transport) + ":" + rest;  // no agent the library would open
  bool v6 = e.host.find(':') != std::string::npos;
  return std::string(transport) + ":" + (v6 ? "[" : "") + e.host + (v6 ? "]" : "") +
         (e.iface.empty() ? "" : "@" + e.iface) + ":" + port_key(e.port);
}

std::string agent_key(const std::string& ip_addr) {
  size_t colon = ip_addr.find(':');
  const char* transport =
      colon == std::string::npos ? NULL : transport_named(ip_addr.substr(0, colon));
  return transport ? transport_key(transport, ip_addr.substr(colon + 1)) : udp_key(ip_addr);
}

int shard_of(const signal_t* s, int n) {
  return jump_hash(fnv1a64(s->call_type == 3 ? s->cmd : agent_key(s->ip_addr)), n);
}
