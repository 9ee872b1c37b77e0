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

// The agent as the shard sees it, so that "host", "host:161" and "udp:host:161" stay together.
static std::string agent_of(const std::string& ip_addr) {
  std::string a = strncasecmp(ip_addr.c_str(), "udp:", 4) == 0 ? ip_addr.substr(4) : ip_addr;
  bool port = !a.empty() && a[0] == '['
                  ? a.find("]:") != std::string::npos
                  : std::count(a.begin(), a.end(), ':') == 1;
  return port ? a : a + ":161";
}

int shard_of(const signal_t* s, int n) {
  return jump_hash(fnv1a64(s->call_type == 3 ? s->cmd : agent_of(s->ip_addr)), n);
}
