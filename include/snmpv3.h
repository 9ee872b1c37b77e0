// SNMPv3 bookkeeping of the built-in engine. The library keeps one user entry per agent engine
// and user name, and one boots and time entry per engine ID; each session keeps its own of both
// and puts them in before its GETs. Sessions whose agents share an engine ID (one agent, or
// devices set up from one template) pass a gate: the GETs of one of them in flight at a time.
#ifndef MORVANE_SNMPV3_H
#define MORVANE_SNMPV3_H

#include <sys/types.h>

#include <deque>
#include <map>
#include <string>

struct session_t;
struct snmp_pdu;
struct usmUser;

// The sessions of one engine ID.
struct gate_t {
  session_t* holder = NULL;       // whose GETs are in flight
  bool handed = false;            // the holder was handed the gate and has not entered it yet
  std::deque<session_t*> queue;   // waiting for the holder's answers, in the order they came
  session_t* time_owner = NULL;   // the last to put its engine time in; null: none has yet
};

// A session's own v3 state, written by this room alone: its user entry and its agent's engine
// boots and time, put into the library's lists before its GETs, and the gate it holds.
struct v3_t {
  struct usmUser* user = NULL;
  gate_t* gate = NULL;
  bool time_known = false;
  u_int boots = 0, engine_time = 0, time_taken = 0;  // time_taken: the library's local seconds
};

typedef std::map<std::string, gate_t> gates_t;  // by engine ID

// True for an open v3 session with a user name: its GETs pass the gate.
bool is_v3(const session_t* s);
// True for an open v3 session that has no engine ID yet.
bool needs_engine_id(const session_t* s);
// Returns an unauthenticated GET with an empty user name, which a v3 agent answers with a report
// naming its engine ID; null when there is no memory for it.
struct snmp_pdu* probe_pdu();
// Takes the engine ID from pdu, the report to probe_pdu, into s's open session; false when it
// names none.
bool learn_engine_id(session_t* s, const struct snmp_pdu* pdu);

// True when s may send a GET: it holds the gate of its engine ID now (taken, or just handed), and
// while it holds it, no other session waits. False when it waits in the queue, to be handed the
// gate when the holder leaves, or holds it and others wait: it sends no more until it leaves.
bool enter_gate(gates_t* gates, session_t* s);
// True when s's agent checks no engine time (below authNoPriv), or s knows that time.
bool knows_engine_time(const session_t* s);
// Makes s's own user entry and engine boots and time the library's; s holds the gate and has no
// GET in flight. A session that knows no time of its own yet starts from none when another
// session's may be in the entry, so that its agent's report sets it.
void own_v3_state(session_t* s);
// Keeps the engine boots and time in the library's entry, which an answer to s's GET just
// passed, as s's own.
void keep_engine_time(session_t* s);
// Releases the gate s holds and hands it to the first session waiting; returns that session,
// which the caller lets send, or null when none waits or s held no gate.
session_t* leave_gate(session_t* s);
// Frees s's user entry and forgets its engine time: its session is being closed.
void drop_v3_state(session_t* s);

#endif
