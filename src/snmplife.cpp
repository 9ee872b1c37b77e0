// The life of a built-in engine's session's agent, read from the uptime and v3 engine boots its
// answers carry, and of a walked column's agent under snmpget, from its uptime. Used by the
// thread that reads the agent only.
#include "snmplife.h"

#include <stdio.h>

#include "parser.h"
#include "signals.h"
#include "snmpsession.h"
#include "snmpv3.h"
#include "snmpwire.h"

bool asks_uptime(const life_t* l) {
  return l->rates && !l->uptime_refused;
}

// True when the agent's uptime is not where its last one and the time since put it, in ticks:
// it went back (a restart), or on by less than the time since (a restart while unheard), or by
// more (our clock stood still, suspended: a restart is the safe guess). Its own wrap at 2^32
// ticks (497 days) is where the last one puts it; so is an answer a little out of order. Each
// answer was read up to its round trip after the agent wrote it, so a process held up (a loaded
// machine) is no restart: the trips of both answers widen the slack. An uptime that stands still
// is no clock at all, and no restart.
static bool uptime_broke(const life_t* l, uint32_t uptime, int64_t now_ms, int64_t trip_ms) {
  if (uptime == l->uptime)
    return false;  // a clock that stands tells nothing: a restart reads from 0 again
  int64_t since = now_ms - l->uptime_ms;
  if (since / 10 >= INT32_MAX)
    return true;
  int32_t off = (int32_t)(uptime - (uint32_t)(l->uptime + since / 10));
  int64_t slack = 100 + since / 1000 + (trip_ms + l->uptime_trip) / 10;  // 1 s, 1% and the trips
  return off > slack || off < -slack;
}

// True when the agent's uptime has kept pace with our clock since the first answer of its life
// that had one, over a span long enough to tell: twice what our clock's error allows (the two
// answers' round trips, a tick each, and 1%). An uptime that stands, is 0 or counts in other
// units never has; until it has, a rate goes by our clock.
static bool keeps_time(const life_t* l, uint32_t uptime, int64_t now, int64_t trip_ms) {
  int64_t span = now - l->clock_ms, slack = l->clock_trip + trip_ms + 20 + span / 100;
  int64_t off = (int64_t)(uint32_t)(uptime - l->clock_ticks) * 10 - span;
  return l->clock_ms && span >= 2 * slack && off <= slack && off >= -slack;
}

static bool uptime_keeps_time(life_t* l, uint32_t uptime, int64_t now, int64_t trip_ms, bool restarted) {
  if (restarted || !l->clock_ms) {
    l->clock_ticks = uptime;
    l->clock_ms = now;
    l->clock_trip = trip_ms;
    return false;
  }
  return keeps_time(l, uptime, now, trip_ms);
}

static void take_uptime(life_t* l, uint32_t uptime, int64_t now_ms, int64_t trip_ms) {
  l->uptime = uptime;
  l->uptime_ms = now_ms;
  l->uptime_trip = trip_ms;
}

// An uptime that went back is a restart, whatever the clock; one that fell behind our clock is
// one only once it has kept time with it, as an uptime in other units never has.
bool uptime_restarted(life_t* l, uint32_t uptime, int64_t now_ms, int64_t trip_ms) {
  bool restarted = l->uptime_ms && (uptime < l->uptime || (keeps_time(l, l->uptime, l->uptime_ms, l->uptime_trip) &&
                                                             uptime_broke(l, uptime, now_ms, trip_ms)));
  uptime_keeps_time(l, uptime, now_ms, trip_ms, restarted);
  take_uptime(l, uptime, now_ms, trip_ms);
  return restarted;
}

// A v3 agent of another engine ID is another agent.
uint32_t agent_life(session_t* s, const answer_t* a, int64_t trip_ms, bool* by_uptime, bool* timed) {
  life_t* l = &s->life;
  bool by_boots = is_v3(s) && s->v3.time_known;
  if (!a->has_uptime && !by_boots)
    return 0;
  int64_t now = monotonic_ms();
  std::string engine;
  if (by_boots)
    engine.assign((const char*)live(s)->securityEngineID, live(s)->securityEngineIDLen);
  bool uptime_says = a->has_uptime && l->uptime_ms && uptime_broke(l, a->uptime, now, trip_ms);
  bool boots_say = by_boots && !l->engine.empty() && (s->v3.boots != l->boots || engine != l->engine);
  bool restarted = uptime_says || boots_say;
  *by_uptime = uptime_says && !boots_say;
  *timed = a->has_uptime && uptime_keeps_time(l, a->uptime, now, trip_ms, restarted);
  if (a->has_uptime) {
    take_uptime(l, a->uptime, now, trip_ms);
    l->uptime_errors = 0;
  }
  if (by_boots) {
    l->boots = s->v3.boots;
    l->engine.swap(engine);
  }
  if (!l->count || restarted)
    l->count++;
  return l->count;
}

// Three doubted restarts in a row, with no true restart between: the uptime is no clock (it
// stands, is 0 or counts in other units) and no longer asked: the session's rates go on without
// it, as the snmpget engine's do, where they would get no reading.
void doubt_uptime(session_t* s, int fell, int rose) {
  life_t* l = &s->life;
  if (fell)
    l->doubted = 0;
  if (fell || !rose || ++l->doubted < 3)
    return;
  l->uptime_refused = true;
  fprintf(stderr, "morvane: the sysUpTime.0 of %s showed three restarts in a row that its counters did not: "
          "its rates go without it\n", s->members[0].signal->ip_addr.c_str());
}

// v1's noSuchName says the agent has none to give; a passing error (genErr) leaves it asked.
void uptime_failed(life_t* l, long errstat) {
  if (errstat == SNMP_ERR_NOSUCHNAME || ++l->uptime_errors >= 3)
    l->uptime_refused = true;
}
