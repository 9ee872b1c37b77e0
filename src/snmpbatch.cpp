// A session's GETs: how many objects each asks for, learnt from the agent, and what an answer
// gives each member, as snmpget gives it for each object alone. Used by the engine's thread only.
#include "snmpbatch.h"

#include <algorithm>

#include "parser.h"
#include "signals.h"
#include "snmplife.h"
#include "snmpprint.h"
#include "snmpsession.h"
#include "snmptable.h"
#include "snmpwire.h"

// At most this many rounds taken whole pass between two tries of a larger GET, after each try
// that failed doubled the wait: a weak agent costs one timeout that often.
static const int max_grow_wait = 256;

void begin_batches(session_t* s) {
  s->queue = queue_t();
}

bool more_to_ask(const session_t* s) {
  const queue_t& q = s->queue;
  return !q.ready.empty() || !q.backlog.empty() || q.next < s->members.size();
}

// A round's first GET asks for twice per_get once enough rounds were taken since the last try.
static size_t batch_size(const session_t* s) {
  const queue_t& q = s->queue;
  const sizes_t& z = s->sizes;
  bool first = !q.answered && q.next == 0 && q.backlog.empty() && q.ready.empty();
  if (first && z.taken_rounds >= z.grow_wait && z.per_get < max_objects_per_get)
    return std::min(2 * z.per_get, max_objects_per_get);
  return z.per_get;
}

bool next_batch(session_t* s, request_t* r) {
  queue_t& q = s->queue;
  if (!q.ready.empty()) {
    r->asked.swap(q.ready.front());
    q.ready.pop_front();
  } else {
    size_t size = batch_size(s), k = std::min(size, q.backlog.size());
    r->asked.assign(q.backlog.begin(), q.backlog.begin() + k);
    q.backlog.erase(q.backlog.begin(), q.backlog.begin() + k);
    while (r->asked.size() < size && q.next < s->members.size())
      r->asked.push_back((uint32_t)q.next++);
  }
  r->growing = r->asked.size() > s->sizes.per_get;
  r->uptime = asks_uptime(&s->life);
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

// Each member asked gets the varbind that names its object, at its place when the agent kept
// the order; a member whose object no varbind names gets an empty reply. A rate's interval is the
// agent's uptime where that is the better measure (res_count).
static void reply_each(session_t* s, request_t* r, answer_t* a) {
  bool by_uptime = false, timed = false;
  agent_clock_t clock = {a->uptime, (r->answered_ns - r->sent_ns) / 1000000};
  uint32_t life = s->life.rates ? agent_life(s, a, clock.trip_ms, &by_uptime, &timed) : 0;
  int fell = 0, rose = 0;
  for (size_t i = 0; i < r->asked.size(); i++) {
    member_t& m = s->members[r->asked[i]];
    const netsnmp_variable_list* found = i < a->count ? varbind_naming(a, i, s, m) : NULL;
    for (size_t j = 0; !found && j < a->count; j++)
      found = varbind_naming(a, j, s, m);
    if (!row_of_life(m.signal, life))
      continue;  // a row walked before its agent restarted may now be another's
    if (found && (found->type == SNMP_NOSUCHINSTANCE || found->type == SNMP_NOSUCHOBJECT))
      row_vanished(m.signal);
    int went = give_reply(&m, found, life, timed ? &clock : NULL);
    fell += went < 0;
    rose += went > 0;
  }
  if (by_uptime)
    doubt_uptime(s, fell, rose);
  r->read = true;
  s->queue.largest_answer = std::max(s->queue.largest_answer, r->asked.size());
  if (r->growing)
    s->sizes.per_get = r->asked.size();
  r->asked.clear();
}

// The GET's first size members go again as one GET, before anything else; the rest are asked
// before the members not asked yet.
static void ask_again(session_t* s, request_t* r, size_t size) {
  if (r->asked.empty())
    return;
  size = std::min(size, r->asked.size());
  queue_t& q = s->queue;
  q.backlog.insert(q.backlog.begin(), r->asked.begin() + size, r->asked.end());
  r->asked.resize(size);
  q.ready.emplace_front();
  q.ready.front().swap(r->asked);
}

void give_back(session_t* s, request_t* r) {
  ask_again(s, r, r->asked.size());
}

// A larger GET the agent did not take: it is asked again in GETs of the old size, and the next
// try waits twice as many rounds.
static void growth_failed(session_t* s, request_t* r) {
  s->sizes.taken_rounds = 0;
  s->sizes.grow_wait = std::min(2 * s->sizes.grow_wait, max_grow_wait);
  ask_again(s, r, s->sizes.per_get);
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
    s->sizes.per_get = std::min(s->sizes.per_get, half);  // the agent says so: for good
  else if (!s->queue.least_refused || r->asked.size() < s->queue.least_refused)
    s->queue.least_refused = r->asked.size();
  ask_again(s, r, half);
}

// An error status at a usable index: as snmpget does, the object there gets an empty reply and
// the GET goes again without it.
static void drop_failed(session_t* s, request_t* r, long index, long errstat) {
  if (errstat == SNMP_ERR_NOSUCHNAME)
    row_vanished(s->members[r->asked[index - 1]].signal);
  give_reply(&s->members[r->asked[index - 1]], NULL);
  r->asked.erase(r->asked.begin() + (index - 1));
  ask_again(s, r, r->asked.size());
}

// An agent that fails the GET at its sysUpTime.0: the GET goes again, with or without the uptime.
static void uptime_refused_get(session_t* s, request_t* r, long errstat) {
  uptime_failed(&s->life, errstat);
  ask_again(s, r, r->asked.size());
}

void take_response(session_t* s, request_t* r, answer_t* a) {
  s->queue.answered = true;
  if (a->errstat == SNMP_ERR_NOERROR)
    reply_each(s, r, a);
  else if (a->errstat == SNMP_ERR_TOOBIG)
    split(s, r, true);
  else if (a->errindex >= 1 && a->errindex <= (long)r->asked.size())
    drop_failed(s, r, a->errindex, a->errstat);
  else if (r->uptime && a->errindex == (long)r->asked.size() + 1)
    uptime_refused_get(s, r, a->errstat);
  else
    split(s, r, false);
}

// A GET the agent dropped while it answered others was not too large: it goes again as it was.
bool ask_again_lost(session_t* s, request_t* r, bool dropped) {
  if (r->growing) {
    growth_failed(s, r);
    return true;
  }
  if (dropped) {
    ask_again(s, r, r->asked.size());
    return true;
  }
  if (!s->queue.answered && r->asked.size() > 1)
    s->sizes.per_get = std::max<size_t>(1, r->asked.size() / 2);
  return false;
}

void fail_batches(session_t* s) {
  for (request_t& r : s->flight) {
    for (uint32_t k : r.asked)
      give_reply(&s->members[k], NULL);
    r.asked.clear();
  }
  queue_t& q = s->queue;
  for (const std::vector<uint32_t>& again : q.ready)
    for (uint32_t k : again)
      give_reply(&s->members[k], NULL);
  for (uint32_t k : q.backlog)
    give_reply(&s->members[k], NULL);
  for (; q.next < s->members.size(); q.next++)
    give_reply(&s->members[q.next], NULL);
  q.ready.clear();
  q.backlog.clear();
}

void end_batches(session_t* s, bool failed) {
  // GETs refused while every one answered was smaller: the agent's limit is a size, not an object
  const queue_t& q = s->queue;
  sizes_t& z = s->sizes;
  bool limited = q.least_refused && q.largest_answer < q.least_refused;
  if (limited)
    z.per_get = std::max<size_t>(1, q.largest_answer);
  if (failed || limited)
    z.taken_rounds = 0;
  else
    z.taken_rounds = std::min(z.taken_rounds + 1, max_grow_wait);
}
