// The built-in engine's sessions: each SNMP signal's snmpget words go through the library's own
// option parser once, and signals whose lines differ only in the object share one session. A
// session also knows what its agent address asks for before it can be opened: a host name to
// look up, a TCP agent to connect to.
#ifndef MORVANE_SNMPSESSION_H
#define MORVANE_SNMPSESSION_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <stdint.h>
#include <sys/socket.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

struct signal_t;
struct snmp_conf_t;
struct gate_t;
struct lookup_t;

// The most objects one GET asks for.
const size_t max_objects_per_get = 60;

// One signal of a session: where the reading goes and the object it names.
struct member_t {
  signal_t* signal;
  std::vector<oid> name;
  // The MIB node that decodes its values, and whether printing the value alone by it gives what
  // the library's print of the whole variable gives: 0 not known yet, 1 yes, -1 no.
  struct tree* node = NULL;
  int by_node = 0;
  // The ASN type whose values snmpget prints for this object as a bare decimal number (no enums,
  // display hint or units on its node), so that they need no printing; 0: none.
  u_char plain = 0;
  // On the wire: its name's BER, as the session's names hold it from name_at; 0 bytes: none
  // that can be encoded.
  uint32_t name_at = 0;
  uint16_t name_bytes = 0;
  bool name_decodes = false;  // the library decodes that BER to name
};

struct session_t;

// A host name that agent addresses name, looked up off the engine's thread. Its last good
// address stays in use while later lookups fail.
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

// What the end of a request asks for next.
enum outcome_t { NO_ANSWER, GO_ON, UNANSWERED, FAILED };

// A request of a session in flight: a GET of some of its members, or a v3 agent's engine ID probe.
struct request_t {
  int reqid = 0;
  std::vector<uint32_t> asked;  // the GET's members, in the order asked; empty for a probe
  bool growing = false;         // the GET asks for more than per_get
  bool uptime = false;          // the GET also asks the agent's sysUpTime.0, after the members
  int64_t sent_ns = 0;          // monotonic
  size_t depth = 0;             // the session's requests in flight once it was sent, itself included
  bool first = false;           // sent before the round's first answer
  int64_t answered_ns = 0;      // when its answer was read; 0: none yet
  int retries = 0;              // on the wire: sent again this often, up to the session's retries
  int64_t expires_ns = 0;       // on the wire: when its last send goes unanswered, monotonic
  bool read = false;            // its answer gave every member asked a reply
  uint32_t overtaken = 0;       // answers to GETs sent after it, read before its own
  outcome_t outcome = NO_ANSWER;
};

// The GETs a session keeps in flight at once. See snmpwindow.h.
struct window_t {
  size_t size = 1;
  size_t limit = 1;        // the most it may open to (snmp_window)
  size_t burst = 0;        // the most GETs of a round's first send; 0: none lost yet
  int good_rounds = 0;     // rounds that lost nothing since the last try of a wider first send
  int wait = 1;            // good rounds before a first send one wider than burst
  size_t credit = 0;       // answers in time while it held the round back, since it last opened
  size_t first_sent = 0;   // GETs of this round sent before its first answer
  size_t answers = 0;      // answers read this round
  size_t in_time = 0;      // of them, those of GETs of values that came in time
  bool lost = false;       // a GET of this round was lost
  size_t first_lost = 0;   // the place of the first GET lost in this round's first send; 0: none
  size_t deepest_first = 0;  // the place of the last GET of this round's first send answered
  bool reorders = false;   // the agent answered a GET given up as overtaken: overtaking tells nothing
  int given_up[4] = {};    // request IDs of the last GETs given up as overtaken
  int64_t least_ns = 0;    // the shortest answer of a GET of values this round, ns; 0: none yet
  int64_t last_least_ns = 0;  // the same of the last round
  int64_t heard_ns = 0;    // when the agent last answered, monotonic
  int64_t sent_ns = 0;     // when the last GET went, monotonic
  int64_t closed_ns = 0;   // when it last closed: GETs sent before then close it no more
};

// Options and agent address parsed once, the signals read through them, the GET sizes its agent
// takes, its v3 state and the round under way.
struct session_t {
  uint32_t index = 0;              // in the engine's list of sessions
  std::vector<std::string> words;  // "snmpget" and the options; settings points into them
  std::vector<char*> argv;
  netsnmp_session settings;
  bool usable = false;  // false: snmpget refuses these options, so it never prints anything
  std::vector<std::string> objects;  // words left after the agent address
  std::vector<member_t> members;     // in table order

  // The agent's address: what settings.peername names, and what the library is given.
  host_t* host = NULL;      // null: the address names no host to look up
  std::string prefix;       // with host: the address before the host ("udp:"), after it (":161")
  std::string suffix;
  bool stream = false;      // a TCP agent, connected to by the engine before the library opens it
  sockaddr_storage peer;    // with stream: where the agent listens, once known
  socklen_t peer_length = 0;
  std::string opened_at;    // with host: its address that peername holds
  std::string peername;     // with host: the address given, the host's address in place of its name

  void* open = NULL;  // null until opened, and again after a round that failed
  int fd = -1;
  bool wire = false;  // open, and its GETs go on the wire (snmpwire.h), not the library's path
  std::vector<u_char> names;  // the members' names in BER, once it has first gone on the wire
  int connecting = -1;  // with stream: the engine's socket connecting to the agent
  bool reached = false;  // with stream: the agent took the engine's connection this round
  uint32_t opened = 0;  // counts opens and connects, so that a wake-up for an earlier socket is ignored

  // v3: this session's own user entry and its agent's engine boots and time, put into the
  // library's lists before its GETs; gate is held while a GET of the session is in flight.
  struct usmUser* user = NULL;
  gate_t* gate = NULL;
  bool time_known = false;
  u_int boots = 0, engine_time = 0, time_taken = 0;  // time_taken: the library's local seconds

  // GET sizes: per_get objects at most; after grow_wait rounds that went well, a round's first
  // GET asks for twice as many, and a size that the agent answers is kept.
  size_t per_get = max_objects_per_get;
  int good_rounds = 0;
  int grow_wait = 1;

  window_t window;

  // Restarts of the agent, for its members' rates: with rates, each GET also asks the agent's
  // sysUpTime.0 (until it refuses it), and life counts the restarts its answers show, from 1
  // once its uptime or v3 engine boots are first known (0: not yet).
  bool rates = false;
  bool uptime_refused = false;
  int uptime_errors = 0;  // GETs in a row failed at the uptime's place by an error but noSuchName
  int doubted = 0;        // restarts in a row its uptime showed and its counters did not
  uint32_t life = 0;
  uint32_t uptime = 0;         // ticks (1/100 s) in its last answer that had one
  int64_t uptime_ms = 0;       // monotonic_ms() when that answer was read; 0: none yet
  int64_t uptime_trip = 0;     // ms from its GET to that answer
  uint32_t clock_ticks = 0;    // the uptime, our time and the trip of the life's first answer
  int64_t clock_ms = 0, clock_trip = 0;  // with one, against which it keeps time; 0: none yet
  u_int life_boots = 0;        // v3 engine boots and ID at its last answer that knew them
  std::string life_engine;     // empty: none yet

  bool in_round = false;
  int64_t began_ns = 0;
  size_t next = 0;                // members[next..] are not asked yet in this round
  std::vector<uint32_t> backlog;  // members to ask before members[next..], split off a GET
  std::deque<std::vector<uint32_t>> ready;  // whole GETs to ask again, before anything else
  std::vector<request_t> flight;  // the requests in flight, in the order sent
  bool answered = false;          // a GET of this round has had an answer
  size_t largest_answer = 0;      // the most objects a GET of this round got values for
  size_t least_refused = 0;       // the fewest objects of a GET refused with no usable index; 0: none
  bool resolving = false;         // the round waits for its host's lookup
  bool probing = false;           // the request in flight asks a v3 agent for its engine ID
  bool timed = false;  // timer holds this session's next round start or its wait's end
  std::multimap<int64_t, session_t*>::iterator timer;
};

typedef std::map<std::pair<std::string, int>, host_t*> hosts_t;  // by name and family

// Appends to sessions one session per distinct snmpget line of table's SNMP signals (call types
// 0, 1, 2) under conf, with each signal a member of its line's session, and to unread each
// signal snmpget would print nothing for whatever the agent (refused options, a line too long to
// run, an object the MIB does not name, an object no GET can carry, which it names on standard
// error). A host name in an agent address gets one entry in hosts, shared by its sessions.
// Silences standard error while the library parses: call it before other threads write there.
// Never fails.
void make_sessions(const std::vector<signal_t*>& table, const snmp_conf_t* conf,
                   std::vector<session_t*>* sessions, std::vector<signal_t*>* unread, hosts_t* hosts);

// The library's session of an open session.
netsnmp_session* live(const session_t* s);
// Returns the time the session waits for one answer (its -t, or the library's default), in ns.
int64_t timeout_ns(const session_t* s);
// Sets s's address to its host's numeric address and, with stream, peer to it; false when the
// host has none yet. Sessions without host are left as they are.
bool take_host_address(session_t* s);

#endif
