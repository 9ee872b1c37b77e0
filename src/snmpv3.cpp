// SNMPv3 state of the built-in engine's sessions: engine IDs learnt by a probe of our own, each
// session's user entry and its agent's engine boots and time, and the gates of shared engine IDs.
// Used by the engine's thread only.
#include "snmpv3.h"

#include <string.h>

#include <set>

#include "snmpsession.h"

// The v3 user entries sessions own, of every engine: any other entry of the same agent and user
// name is freed when a session puts its own in.
static std::set<struct usmUser*>& owned_users() {
  static std::set<struct usmUser*>& owned = *new std::set<struct usmUser*>;
  return owned;
}

bool is_v3(const session_t* s) {
  return live(s)->version == SNMP_VERSION_3 && live(s)->securityName;
}

bool needs_engine_id(const session_t* s) {
  return live(s)->version == SNMP_VERSION_3 && !live(s)->securityEngineIDLen;
}

netsnmp_pdu* probe_pdu() {
  netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
  if (!pdu || !(pdu->securityName = strdup(""))) {
    snmp_free_pdu(pdu);
    return NULL;
  }
  pdu->version = SNMP_VERSION_3;
  pdu->securityNameLen = 0;
  pdu->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
  pdu->securityModel = SNMP_SEC_MODEL_USM;
  return pdu;
}

bool learn_engine_id(session_t* s, const netsnmp_pdu* pdu) {
  netsnmp_session* l = live(s);
  if (!pdu->securityEngineIDLen || pdu->securityEngineIDLen > SNMP_MAX_ENG_SIZE)
    return false;
  SNMP_FREE(l->securityEngineID);
  l->securityEngineID = (u_char*)netsnmp_memdup(pdu->securityEngineID, pdu->securityEngineIDLen);
  l->securityEngineIDLen = pdu->securityEngineIDLen;
  if (!l->contextEngineIDLen) {
    l->contextEngineID = (u_char*)netsnmp_memdup(pdu->securityEngineID, pdu->securityEngineIDLen);
    l->contextEngineIDLen = pdu->securityEngineIDLen;
  }
  return l->securityEngineID != NULL;
}

// A session handed the gate sends one GET, as one that found it free does, whoever waits.
bool enter_gate(gates_t* gates, session_t* s) {
  gate_t* held = s->v3.gate;
  if (held && held->handed) {
    held->handed = false;
    return true;
  }
  if (held)
    return held->queue.empty();
  netsnmp_session* l = live(s);
  gate_t& g = (*gates)[std::string((const char*)l->securityEngineID, l->securityEngineIDLen)];
  if (g.holder) {
    g.queue.push_back(s);
    return false;
  }
  g.holder = s;
  s->v3.gate = &g;
  return true;
}

session_t* leave_gate(session_t* s) {
  gate_t* g = s->v3.gate;
  s->v3.gate = NULL;
  if (!g)
    return NULL;
  g->holder = NULL;
  g->handed = false;
  if (g->queue.empty())
    return NULL;
  session_t* next = g->queue.front();
  g->queue.pop_front();
  g->holder = next;
  g->handed = true;
  next->v3.gate = g;
  return next;
}

// Makes the session's own entry the one of its agent engine and user name in the list; the
// library makes that entry from the session's own keys the first time.
static void own_user_entry(session_t* s) {
  netsnmp_session* l = live(s);
  struct usmUser* u;
  while ((u = usm_get_user(l->securityEngineID, l->securityEngineIDLen, l->securityName)) &&
         u != s->v3.user) {
    usm_remove_user(u);
    if (!owned_users().count(u))
      usm_free_user(u);  // one the configuration files made
  }
  if (u)
    return;
  v3_t& v = s->v3;
  if (v.user) {
    usm_add_user(v.user);
    return;
  }
  create_user_from_session(l);
  v.user = usm_get_user(l->securityEngineID, l->securityEngineIDLen, l->securityName);
  if (v.user)
    owned_users().insert(v.user);
}

// Only authenticated messages carry a time the agent checks, and that the library checks back.
static bool timed(const session_t* s) {
  return live(s)->securityLevel >= SNMP_SEC_LEVEL_AUTHNOPRIV;
}

// The library accepts an agent's message only when its boots and time are not behind the entry
// of its engine ID: an entry another device of the same engine ID left would refuse this one.
static void own_engine_time(session_t* s) {
  netsnmp_session* l = live(s);
  const v3_t& v = s->v3;
  gate_t* g = v.gate;
  if (v.time_known) {
    u_int since = snmpv3_local_snmpEngineTime() - v.time_taken;
    set_enginetime(l->securityEngineID, l->securityEngineIDLen, v.boots, v.engine_time + since, TRUE);
  } else if (g->time_owner) {
    set_enginetime(l->securityEngineID, l->securityEngineIDLen, 0, 0, TRUE);
  }
  g->time_owner = s;
}

bool knows_engine_time(const session_t* s) {
  return !timed(s) || s->v3.time_known;
}

void own_v3_state(session_t* s) {
  own_user_entry(s);
  if (timed(s))
    own_engine_time(s);
}

void keep_engine_time(session_t* s) {
  netsnmp_session* l = live(s);
  v3_t& v = s->v3;
  if (!timed(s) ||
      get_enginetime(l->securityEngineID, l->securityEngineIDLen, &v.boots, &v.engine_time, TRUE) != SNMPERR_SUCCESS)
    return;
  v.time_taken = snmpv3_local_snmpEngineTime();
  v.time_known = true;
}

void drop_v3_state(session_t* s) {
  v3_t& v = s->v3;
  v.time_known = false;
  if (!v.user)
    return;
  usm_remove_user(v.user);  // a no-op when another session's entry took its place
  owned_users().erase(v.user);
  usm_free_user(v.user);
  v.user = NULL;
}
