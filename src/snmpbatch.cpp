// A session's GETs: how many objects each asks for, learnt from the agent, and what an answer
// gives each member, as snmpget gives it for each object alone. Used by the engine's thread only.
#include "snmpbatch.h"

#include <stdio.h>

#include <algorithm>

#include "parser.h"
#include "signals.h"
#include "snmpprint.h"
#include "snmpsession.h"
#include "snmpv3.h"
#include "snmpwire.h"

// At most this many rounds that went well pass between two tries of a larger GET, after each
// try that failed doubled the wait: a weak agent costs one timeout that often.
static const int max_grow_wait = 256;

void begin_batches(session_t* s) {
  s->next = 0;
  s->backlog.clear();
  s->ready.clear();
  s->answered = false;
  s->largest_answer = 0;
  s->least_refused = 0;
}

bool more_to_ask(const session_t* s) {
  return !s->ready.empty() || !s->backlog.empty() || s->next < s->members.size();
}

// A round's first GET asks for twice per_get once enough rounds went well since the last try.
static size_t batch_size(const session_t* s) {
  bool first = !s->answered && s->next == 0 && s->backlog.empty() && s->ready.empty();
  if (first && s->good_rounds >= s->grow_wait && s->per_get < max_objects_per_get)
    return std::min(2 * s->per_get, max_objects_per_get);
  return s->per_get;
}

bool next_batch(session_t* s, request_t* r) {
  if (!s->ready.empty()) {
    r->asked.swap(s->ready.front());
    s->ready.pop_front();
  } else {
    size_t size = batch_size(s), k = std::min(size, s->backlog.size());
    r->asked.assign(s->backlog.begin(), s->backlog.begin() + k);
    s->backlog.erase(s->backlog.begin(), s->backlog.begin() + k);
    while (r->asked.size() < size && s->next < s->members.size())
      r->asked.push_back((uint32_t)s->next++);
  }
  r->growing = r->asked.size() > s->per_get;
  r->uptime = s->rates && !s->uptime_refused;
  return !r->asked.empty();
}

netsnmp_pdu* batch_pdu(const session_t* s, const request_t& r) {
  netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
  for (uint32_t k = 0; pdu && k < r.asked.size(); k++) {
    const member_t& m = s->members[r.asked[k]];
    if (!snmp_add_null_var(pdu, m.name.data(), m.name.size())) {
      snmp_free_pdu(pdu);
      return NULL;
    }
  }
  if (pdu && r.uptime && !snmp_add_null_var(pdu, sys_uptime, OID_LENGTH(sys_uptime))) {
    snmp_free_pdu(pdu);
    return NULL;
  }
  return pdu;
}

// True when the agent's uptime is not where its last one and the time since put it, in ticks:
// it went back (a restart), or on by less than the time since (a restart while unheard), or by
// more (our clock stood still, suspended: a restart is the safe guess). Its own wrap at 2^32
// ticks (497 days) is where the last one puts it; so is an answer a little out of order. Each
// answer was read up to its round trip after the agent wrote it, so a process held up (a loaded
// machine) is no restart: the trips of both answers widen the slack.
static bool uptime_broke(const session_t* s, uint32_t uptime, int64_t now_ms, int64_t trip_ms) {
  int64_t since = now_ms - s->uptime_ms;
  if (since / 10 >= INT32_MAX)
    return true;
  int32_t off = (int32_t)(uptime - (uint32_t)(s->uptime + since / 10));
  int64_t slack = 100 + since / 1000 + (trip_ms + s->uptime_trip) / 10;  // 1 s, 1% and the trips
  return off > slack || off < -slack;
}

// True when the agent's uptime has kept pace with our clock since the first answer of its life
// that had one, over a span long enough to tell: twice what our clock's error allows (the two
// answers' round trips, a tick each, and 1%). An uptime that stands, is 0 or counts in other
// units never has; until it has, a rate goes by our clock.
static bool uptime_keeps_time(session_t* s, uint32_t uptime, int64_t now, int64_t trip_ms, bool restarted) {
  if (restarted || !s->clock_ms) {
    s->clock_ticks = uptime;
    s->clock_ms = now;
    s->clock_trip = trip_ms;
    return false;
  }
  int64_t span = now - s->clock_ms, slack = s->clock_trip + trip_ms + 20 + span / 100;
  int64_t off = (int64_t)(uint32_t)(uptime - s->clock_ticks) * 10 - span;
  return span >= 2 * slack && off <= slack && off >= -slack;
}

// The life of the agent that the answer shows: the session's, counting the restart it shows (a
// v3 agent of another engine ID is another agent); 0 when it shows neither the agent's uptime
// nor its v3 engine boots. by_uptime: a restart that only its uptime shows; timed: its uptime
// keeps time (uptime_keeps_time), the answer coming trip_ms after its GET.
static uint32_t agent_life(session_t* s, const answer_t* a, int64_t trip_ms, bool* by_uptime, bool* timed) {
  bool by_boots = is_v3(s) && s->time_known;
  if (!a->has_uptime && !by_boots)
    return 0;
  int64_t now = monotonic_ms();
  std::string engine;
  if (by_boots)
    engine.assign((const char*)live(s)->securityEngineID, live(s)->securityEngineIDLen);
  bool uptime_says = a->has_uptime && s->uptime_ms && uptime_broke(s, a->uptime, now, trip_ms);
  bool boots_say = by_boots && !s->life_engine.empty() && (s->boots != s->life_boots || engine != s->life_engine);
  bool restarted = uptime_says || boots_say;
  *by_uptime = uptime_says && !boots_say;
  *timed = a->has_uptime && uptime_keeps_time(s, a->uptime, now, trip_ms, restarted);
  if (a->has_uptime) {
    s->uptime = a->uptime;
    s->uptime_ms = now;
    s->uptime_trip = trip_ms;
    s->uptime_errors = 0;
  }
  if (by_boots) {
    s->life_boots = s->boots;
    s->life_engine.swap(engine);
  }
  if (!s->life || restarted)
    s->life++;
  return s->life;
}

// A restart that only the agent's uptime showed, while no counter asked with it went back (fell
// none, rose some), is doubted; after three such in a row, with no true restart between, the
// uptime is no clock (it stands, is 0 or counts in other units) and no longer asked: the
// session's rates go on without it, as the snmpget engine's do, where they would get no reading.
static void doubt_uptime(session_t* s, int fell, int rose) {
  if (fell)
    s->doubted = 0;
  if (fell || !rose || ++s->doubted < 3)
    return;
  s->uptime_refused = true;
  fprintf(stderr, "morvane: the sysUpTime.0 of %s showed three restarts in a row that its counters did not: "
          "its rates go without it\n", s->members[0].signal->ip_addr.c_str());
}

// Each member asked gets the varbind that names its object, at its place when the agent kept
// the order; a member whose object no varbind names gets an empty reply. A rate's interval is the
// agent's uptime where that is the better measure (res_count).
static void reply_each(session_t* s, request_t* r, answer_t* a) {
  bool by_uptime = false, timed = false;
  agent_clock_t clock = {a->uptime, (r->answered_ns - r->sent_ns) / 1000000};
  uint32_t life = s->rates ? agent_life(s, a, clock.trip_ms, &by_uptime, &timed) : 0;
  int fell = 0, rose = 0;
  for (size_t i = 0; i < r->asked.size(); i++) {
    member_t& m = s->members[r->asked[i]];
    const netsnmp_variable_list* found = i < a->count ? varbind_naming(a, i, s, m) : NULL;
    for (size_t j = 0; !found && j < a->count; j++)
      found = varbind_naming(a, j, s, m);
    int went = give_reply(&m, found, life, timed ? &clock : NULL);
    fell += went < 0;
    rose += went > 0;
  }
  if (by_uptime)
    doubt_uptime(s, fell, rose);
  r->read = true;
  s->largest_answer = std::max(s->largest_answer, r->asked.size());
  if (r->growing)
    s->per_get = r->asked.size();
  r->asked.clear();
}

// The GET's first size members go again as one GET, before anything else; the rest are asked
// before the members not asked yet.
static void ask_again(session_t* s, request_t* r, size_t size) {
  if (r->asked.empty())
    return;
  size = std::min(size, r->asked.size());
  s->backlog.insert(s->backlog.begin(), r->asked.begin() + size, r->asked.end());
  r->asked.resize(size);
  s->ready.emplace_front();
  s->ready.front().swap(r->asked);
}

// A larger GET the agent did not take: it is asked again in GETs of the old size, and the next
// try waits twice as many rounds.
static void growth_failed(session_t* s, request_t* r) {
  s->good_rounds = 0;
  s->grow_wait = std::min(2 * s->grow_wait, max_grow_wait);
  ask_again(s, r, s->per_get);
}

// A GET refused as a whole (tooBig, or an error status with no usable index) goes again in
// halves; a single object refused gets snmpget's empty reply.
static void split(session_t* s, request_t* r, bool too_big) {
  if (r->growing) {
    growth_failed(s, r);
    return;
  }
  if (r->asked.size() == 1) {
    give_reply(&s->members[r->asked[0]], NULL);
    r->asked.clear();
    return;
  }
  size_t half = r->asked.size() / 2;
  if (too_big)
    s->per_get = std::min(s->per_get, half);  // the agent says so: for good
  else if (!s->least_refused || r->asked.size() < s->least_refused)
    s->least_refused = r->asked.size();
  ask_again(s, r, half);
}

// An error status at a usable index: as snmpget does, the object there gets an empty reply and
// the GET goes again without it.
static void drop_failed(session_t* s, request_t* r, long index) {
  give_reply(&s->members[r->asked[index - 1]], NULL);
  r->asked.erase(r->asked.begin() + (index - 1));
  ask_again(s, r, r->asked.size());
}

// An agent that fails the GET at its sysUpTime.0: the GET goes again. v1's noSuchName says it has
// none to give, and so do three other errors there in a row: the session's rates then go on
// without the agent's uptime. A passing error (genErr) leaves the uptime asked.
static void uptime_failed(session_t* s, request_t* r, long errstat) {
  if (errstat == SNMP_ERR_NOSUCHNAME || ++s->uptime_errors >= 3)
    s->uptime_refused = true;
  ask_again(s, r, r->asked.size());
}

void take_response(session_t* s, request_t* r, answer_t* a) {
  s->answered = true;
  if (a->errstat == SNMP_ERR_NOERROR)
    reply_each(s, r, a);
  else if (a->errstat == SNMP_ERR_TOOBIG)
    split(s, r, true);
  else if (a->errindex >= 1 && a->errindex <= (long)r->asked.size())
    drop_failed(s, r, a->errindex);
  else if (r->uptime && a->errindex == (long)r->asked.size() + 1)
    uptime_failed(s, r, a->errstat);
  else
    split(s, r, false);
}

// A GET the agent dropped while it answered others was not too large: it goes again as it was.
bool batch_unanswered(session_t* s, request_t* r, bool dropped) {
  if (r->growing) {
    growth_failed(s, r);
    return true;
  }
  if (dropped) {
    ask_again(s, r, r->asked.size());
    return true;
  }
  if (!s->answered && r->asked.size() > 1)
    s->per_get = std::max<size_t>(1, r->asked.size() / 2);
  return false;
}

void fail_batches(session_t* s) {
  for (request_t& r : s->flight) {
    for (uint32_t k : r.asked)
      give_reply(&s->members[k], NULL);
    r.asked.clear();
  }
  for (const std::vector<uint32_t>& again : s->ready)
    for (uint32_t k : again)
      give_reply(&s->members[k], NULL);
  for (uint32_t k : s->backlog)
    give_reply(&s->members[k], NULL);
  for (; s->next < s->members.size(); s->next++)
    give_reply(&s->members[s->next], NULL);
  s->ready.clear();
  s->backlog.clear();
}

void end_batches(session_t* s, bool failed) {
  // GETs refused while every one answered was smaller: the agent's limit is a size, not an object
  bool limited = s->least_refused && s->largest_answer < s->least_refused;
  if (limited)
    s->per_get = std::max<size_t>(1, s->largest_answer);
  if (failed || limited)
    s->good_rounds = 0;
  else
    s->good_rounds = std::min(s->good_rounds + 1, max_grow_wait);
}
