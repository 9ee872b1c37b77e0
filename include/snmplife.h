// The life of a session's agent, for its members' rates: a GET of a session with rates also asks
// the agent's sysUpTime.0 (until the agent refuses it, or it proves no clock), and each answer
// shows whether the agent restarted since the last, by its uptime or its v3 engine boots.
#ifndef MORVANE_SNMPLIFE_H
#define MORVANE_SNMPLIFE_H

#include <stdint.h>
#include <sys/types.h>

#include <string>

struct session_t;
struct answer_t;

// A session's agent's life, written by this room alone (rates, once, as its session is made).
struct life_t {
  bool rates = false;          // a member is a rate
  bool uptime_refused = false;  // its GETs no longer ask the uptime
  int uptime_errors = 0;  // GETs in a row failed at the uptime's place by an error but noSuchName
  int doubted = 0;        // restarts in a row its uptime showed and its counters did not
  uint32_t count = 0;     // the restarts its answers showed, from 1 once its uptime or boots are known
  uint32_t uptime = 0;         // ticks (1/100 s) in its last answer that had one
  int64_t uptime_ms = 0;       // monotonic_ms() when that answer was read; 0: none yet
  int64_t uptime_trip = 0;     // ms from its GET to that answer
  uint32_t clock_ticks = 0;    // the uptime, our time and the trip of the life's first answer
  int64_t clock_ms = 0, clock_trip = 0;  // with one, against which it keeps time; 0: none yet
  u_int boots = 0;             // v3 engine boots and ID at its last answer that knew them
  std::string engine;          // empty: none yet
};

// True when a GET of the session also asks the agent's sysUpTime.0.
bool asks_uptime(const life_t* l);
// Returns the life of s's agent that a, the answer to a GET trip_ms after it was sent, shows:
// the last one, or the next when a shows a restart; 0 when a shows neither the agent's uptime
// nor its v3 engine boots. Sets by_uptime when only the uptime showed a restart, and timed when
// the uptime keeps time, so that a rate may go by it.
uint32_t agent_life(session_t* s, const answer_t* a, int64_t trip_ms, bool* by_uptime, bool* timed);
// After a restart only the uptime showed, fell and rose count the rates' counters below their
// base and above it: three such restarts in a row with none below turn the uptime off (one line
// on standard error).
void doubt_uptime(session_t* s, int fell, int rose);
// Returns whether the agent of l restarted since its last look, by its uptime (ticks) read at
// now_ms, trip_ms after the request went; takes this look into l. For the snmpget engine.
bool uptime_restarted(life_t* l, uint32_t uptime, int64_t now_ms, int64_t trip_ms);
// A GET failed at the uptime's place with errstat: noSuchName turns the uptime off, and so does
// any other error three GETs in a row.
void uptime_failed(life_t* l, long errstat);

#endif
