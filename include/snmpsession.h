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

#include <map>
#include <string>
#include <vector>

#include "health.h"
#include "snmpbatch.h"
#include "snmphost.h"
#include "snmplife.h"
#include "snmprequest.h"
#include "snmptable.h"
#include "snmpv3.h"
#include "snmpwindow.h"

struct signal_t;
struct snmp_conf_t;

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

// Where a session is in its round; the engine's wake-ups and timers go by it.
enum phase_t {
  IDLE,        // between rounds: its timer, if any, holds the next round's start
  LOOKING_UP,  // the round waits for its host's address, within the session's timeout
  CONNECTING,  // the round waits for its TCP agent to take the engine's connection, as long too
  ASKING,      // requests in flight: its timer holds their next retry or give-up
  AT_GATE,     // nothing in flight and more to ask: it waits to be handed its engine ID's gate
};

// A session: the options and agent address parsed once and the signals read through them, what
// the engine's loop keeps of it, and the records of the rooms that read its agent, each written
// by its own room alone.
struct session_t {
  uint32_t index = 0;              // in the engine's list of sessions
  std::vector<std::string> words;  // "snmpget" and the options; settings points into them
  std::vector<char*> argv;
  netsnmp_session settings;
  bool usable = false;  // false: snmpget refuses these options, so it never prints anything
  std::vector<std::string> objects;  // words left after the agent address
  std::vector<member_t> members;     // in table order, then its columns' rows
  std::vector<u_char> names;  // snmpwire.h: the members' names in BER, once it first went on the wire

  // The engine's loop's.
  phase_t phase = IDLE;
  int64_t began_ns = 0;  // when its round was due, monotonic
  int64_t first_sent_ns = 0;  // when its round's first request went; 0: none yet
  int64_t heard_ns = 0;       // when its agent last answered anything; 0: never
  size_t flight_most = 0;     // the most requests in flight since its agent's figures were written
  agent_health_t* health = NULL;  // its agent's, shared by the agent's sessions
  bool timed = false;    // timer holds the session's next round start or its wait's end
  std::multimap<int64_t, session_t*>::iterator timer;

  address_t address;  // snmphost.h
  link_t link;        // snmprequest.h
  std::vector<request_t> flight;  // snmprequest.h: the requests in flight, in the order sent
  v3_t v3;            // snmpv3.h
  sizes_t sizes;      // snmpbatch.h
  queue_t queue;      // snmpbatch.h
  window_t window;    // snmpwindow.h
  life_t life;        // snmplife.h
  std::vector<walk_t> walks;  // snmptable.h: its walked columns
  // What a reload gave it (regroup_sessions), taken once nothing of its round is in flight.
  std::vector<member_t> next_members;
  std::vector<walk_t> next_walks;
  bool regrouped = false;
};

// Appends to sessions one session per distinct snmpget line of table's SNMP signals (call types
// 0, 1, 2) under conf, with each signal a member of its line's session, and to unread each
// signal snmpget would print nothing for whatever the agent (refused options, a line too long to
// run, an object the MIB does not name, an object no GET can carry, which it names on standard
// error). A host name in an agent address gets one entry in hosts, shared by its sessions.
// Silences standard error while the library parses: call it before other threads write there.
// Never fails.
void make_sessions(const std::vector<signal_t*>& table, const snmp_conf_t* conf,
                   std::vector<session_t*>* sessions, std::vector<signal_t*>* unread, hosts_t* hosts);

// Groups table (a reload's) as make_sessions does, into sessions as they run: a session of a
// line running before keeps its link and all it learned, and is given its new members and walks
// to take at its round's end (take_regroup); a new line gets a new session, appended; a line no
// longer loaded leaves its session with no members. unread is made anew. Never fails.
void regroup_sessions(const std::vector<signal_t*>& table, const snmp_conf_t* conf,
                      std::vector<session_t*>* sessions, std::vector<signal_t*>* unread, hosts_t* hosts);
// Makes what regroup_sessions gave s its members (its columns' rows after them) and walks; call
// with nothing of its round in flight. True when it had something to take.
bool take_regroup(session_t* s);

// The library's session of an open session.
netsnmp_session* live(const session_t* s);
// Returns the time the session waits for one answer (its -t, or the library's default), in ns.
int64_t timeout_ns(const session_t* s);

#endif
