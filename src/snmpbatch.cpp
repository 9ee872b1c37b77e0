// A session's GETs: how many objects each asks for, learnt from the agent, and what an answer
// gives each member, as snmpget gives it for each object alone. Used by the engine's thread only.
#include "snmpbatch.h"

#include <algorithm>

#include "snmpprint.h"
#include "snmpsession.h"

// At most this many rounds that went well pass between two tries of a larger GET, after each
// try that failed doubled the wait: a weak agent costs one timeout that often.
static const int max_grow_wait = 256;

void begin_batches(session_t* s) {
  s->next = 0;
  s->asked.clear();
  s->backlog.clear();
  s->answered = false;
  s->largest_answer = 0;
  s->least_refused = 0;
  s->growing = false;
}

// A round's first GET asks for twice per_get once enough rounds went well since the last try.
static size_t batch_size(const session_t* s) {
  bool first = !s->answered && s->next == 0 && s->backlog.empty();
  if (first && s->good_rounds >= s->grow_wait && s->per_get < max_objects_per_get)
    return std::min(2 * s->per_get, max_objects_per_get);
  return s->per_get;
}

size_t next_batch(session_t* s) {
  if (!s->asked.empty())
    return s->asked.size();
  size_t size = batch_size(s), k = std::min(size, s->backlog.size());
  s->asked.assign(s->backlog.begin(), s->backlog.begin() + k);
  s->backlog.erase(s->backlog.begin(), s->backlog.begin() + k);
  while (s->asked.size() < size && s->next < s->members.size())
    s->asked.push_back((uint32_t)s->next++);
  s->growing = s->asked.size() > s->per_get;
  return s->asked.size();
}

netsnmp_pdu* batch_pdu(const session_t* s) {
  netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
  for (uint32_t k = 0; pdu && k < s->asked.size(); k++) {
    const member_t& m = s->members[s->asked[k]];
    if (!snmp_add_null_var(pdu, m.name.data(), m.name.size())) {
      snmp_free_pdu(pdu);
      return NULL;
    }
  }
  return pdu;
}

static bool names(const netsnmp_variable_list* v, const member_t& m) {
  return snmp_oid_compare(v->name, v->name_length, m.name.data(), m.name.size()) == 0;
}

// Each member asked gets the varbind that names its object, at its place when the agent kept
// the order; a member whose object no varbind names gets an empty reply.
static void reply_each(session_t* s, const netsnmp_pdu* pdu) {
  const netsnmp_variable_list* v = pdu->variables;
  for (uint32_t k : s->asked) {
    member_t& m = s->members[k];
    const netsnmp_variable_list* found = v && names(v, m) ? v : NULL;
    for (const netsnmp_variable_list* w = pdu->variables; !found && w; w = w->next_variable)
      if (names(w, m))
        found = w;
    give_reply(&m, found);
    if (v)
      v = v->next_variable;
  }
  s->largest_answer = std::max(s->largest_answer, s->asked.size());
  if (s->growing)
    s->per_get = s->asked.size();
  s->asked.clear();
}

// The GET's members go back to be asked first, in GETs of at most size objects.
static void ask_again(session_t* s, size_t size) {
  s->backlog.insert(s->backlog.begin(), s->asked.begin() + size, s->asked.end());
  s->asked.resize(size);
}

// A larger GET the agent did not take: it is asked again in GETs of the old size, and the next
// try waits twice as many rounds.
static void growth_failed(session_t* s) {
  s->good_rounds = 0;
  s->grow_wait = std::min(2 * s->grow_wait, max_grow_wait);
  ask_again(s, s->per_get);
  s->growing = false;
}

// A GET refused as a whole (tooBig, or an error status with no usable index) goes again in
// halves; a single object refused gets snmpget's empty reply.
static void split(session_t* s, bool too_big) {
  if (s->growing) {
    growth_failed(s);
    return;
  }
  if (s->asked.size() == 1) {
    give_reply(&s->members[s->asked[0]], NULL);
    s->asked.clear();
    return;
  }
  size_t half = s->asked.size() / 2;
  if (too_big)
    s->per_get = std::min(s->per_get, half);  // the agent says so: for good
  else if (!s->least_refused || s->asked.size() < s->least_refused)
    s->least_refused = s->asked.size();
  ask_again(s, half);
}

// An error status at a usable index: as snmpget does, the object there gets an empty reply and
// the GET goes again without it.
static void drop_failed(session_t* s, long index) {
  give_reply(&s->members[s->asked[index - 1]], NULL);
  s->asked.erase(s->asked.begin() + (index - 1));
}

void take_response(session_t* s, const netsnmp_pdu* pdu) {
  s->answered = true;
  if (pdu->errstat == SNMP_ERR_NOERROR)
    reply_each(s, pdu);
  else if (pdu->errstat == SNMP_ERR_TOOBIG)
    split(s, true);
  else if (pdu->errindex >= 1 && pdu->errindex <= (long)s->asked.size())
    drop_failed(s, pdu->errindex);
  else
    split(s, false);
}

bool batch_unanswered(session_t* s) {
  if (s->growing) {
    growth_failed(s);
    return true;
  }
  if (!s->answered && s->asked.size() > 1)
    s->per_get = std::max<size_t>(1, s->asked.size() / 2);
  return false;
}

void fail_batches(session_t* s) {
  for (uint32_t k : s->asked)
    give_reply(&s->members[k], NULL);
  for (uint32_t k : s->backlog)
    give_reply(&s->members[k], NULL);
  for (; s->next < s->members.size(); s->next++)
    give_reply(&s->members[s->next], NULL);
  s->asked.clear();
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
