// Feeds one datagram to the engine's own reading of v1 and v2c answers and to the library's
// decode, for a session of each version: both must take it or drop it alike, see the same head
// and varbinds, and give every member the same reading and the session the same state.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "signals.h"
#include "snmpbatch.h"
#include "snmpsession.h"
#include "snmpwire.h"

// Objects of each type snmpd serves, one it does not, and one that is asked as a number.
static const char* const objects[] = {
    ".1.3.6.1.2.1.1.1.0",         ".1.3.6.1.2.1.1.2.0",  ".1.3.6.1.2.1.1.3.0",
    ".1.3.6.1.2.1.2.1.0",         ".1.3.6.1.2.1.11.1.0", ".1.3.6.1.2.1.31.1.1.1.6.1",
    ".1.3.6.1.2.1.4.20.1.1.127.0.0.1", ".1.3.6.1.2.1.2.2.1.5.1", ".1.3.6.1.2.1.99.0",
    ".1.3.6.1.2.1.2.2.1.6.1"};
static const size_t count = sizeof objects / sizeof *objects;

// One session of a version read by one decoder.
struct side_t {
  std::vector<signal_t*> table;
  session_t* s = NULL;
};

static side_t make_side(int call_type) {
  side_t side;
  for (size_t k = 0; k < count; k++) {
    signal_t* g = new signal_t;
    g->call_type = call_type;
    g->value_type = k == 3 ? 1 : 3;
    g->ip_addr = "127.0.0.1:9";
    g->snmp_community = "public";
    g->oid = objects[k];
    side.table.push_back(g);
  }
  std::vector<session_t*> sessions;
  std::vector<signal_t*> unread;
  hosts_t hosts;
  make_sessions(side.table, NULL, &sessions, &unread, &hosts);
  if (sessions.size() != 1 || sessions[0]->members.size() != count || !encode_names(sessions[0]))
    abort();
  side.s = sessions[0];
  return side;
}

static side_t sides[2][2];  // by version, then: the engine's reading, the library's

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (int v = 0; v < 2; v++)
    for (int d = 0; d < 2; d++)
      sides[v][d] = make_side(v);
  return 0;
}

static request_t all_asked(session_t* s) {
  begin_batches(s);
  request_t r;
  for (uint32_t k = 0; k < count; k++)
    r.asked.push_back(k);
  r.uptime = true;  // an error at the place after the members reads as sysUpTime.0 failed
  return r;
}

static bool same_reading(signal_t* a, signal_t* b) {
  float fa = a->float_value, fb = b->float_value;
  return get_text_value(a) == get_text_value(b) && a->int_value == b->int_value &&
         !memcmp(&fa, &fb, sizeof fa) && (a->good_at != 0) == (b->good_at != 0);
}

static bool same_state(const session_t* a, const session_t* b) {
  for (size_t k = 0; k < count; k++)
    if (a->members[k].by_node != b->members[k].by_node || a->members[k].plain != b->members[k].plain)
      return false;
  return a->sizes.per_get == b->sizes.per_get && a->queue.backlog == b->queue.backlog &&
         a->queue.ready == b->queue.ready && a->life.uptime_refused == b->life.uptime_refused &&
         a->life.uptime_errors == b->life.uptime_errors && a->queue.least_refused == b->queue.least_refused &&
         a->queue.largest_answer == b->queue.largest_answer;
}

static bool same_varbind(const netsnmp_variable_list* a, const netsnmp_variable_list* b) {
  char ta[4096], tb[4096];
  snprint_variable(ta, sizeof ta, a->name, a->name_length, a);
  snprint_variable(tb, sizeof tb, b->name, b->name_length, b);
  return a->type == b->type && a->val_len == b->val_len && !strcmp(ta, tb) &&
         !snmp_oid_compare(a->name, a->name_length, b->name, b->name_length);
}

static void check(side_t* engine, side_t* library, const uint8_t* data, size_t size) {
  std::vector<u_char> mine(data, data + size), theirs(data, data + size);
  request_t r = all_asked(engine->s), lr = all_asked(library->s);
  answer_t a;
  datagram_t kind = read_datagram(mine.data(), mine.size(), engine->s->settings.version, &a);
  bool taken = kind != NOT_ANSWER && read_varbinds(&a, engine->s, r);
  netsnmp_session settings = library->s->settings;
  netsnmp_pdu* pdu = (netsnmp_pdu*)calloc(1, sizeof(netsnmp_pdu));
  bool parsed = snmp_parse(NULL, &settings, pdu, theirs.data(), theirs.size()) == 0 &&
                (pdu->command == SNMP_MSG_RESPONSE || pdu->command == SNMP_MSG_REPORT);
  if (taken != parsed)
    __builtin_trap();
  if (parsed) {
    answer_t b;
    answer_of_pdu(pdu, &b);
    if ((kind == RESPONSE) != (pdu->command == SNMP_MSG_RESPONSE) || a.reqid != b.reqid ||
        a.errstat != b.errstat || a.errindex != b.errindex || a.count != b.count ||
        a.has_uptime != b.has_uptime || a.uptime != b.uptime)
      __builtin_trap();
    size_t i = 0;
    for (const netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable, i++) {
      const member_t* m = NULL;
      for (const member_t& each : engine->s->members)
        if (!snmp_oid_compare(v->name, v->name_length, each.name.data(), each.name.size()))
          m = &each;
      const netsnmp_variable_list* w = m ? varbind_naming(&a, i, engine->s, *m) : NULL;
      if (m && (!w || !same_varbind(v, w)))
        __builtin_trap();
    }
    if (kind == RESPONSE) {
      take_response(engine->s, &r, &a);
      take_response(library->s, &lr, &b);
    }
  }
  snmp_free_pdu(pdu);
  for (size_t k = 0; k < count; k++)
    if (!same_reading(engine->table[k], library->table[k]))
      __builtin_trap();
  if (!same_state(engine->s, library->s))
    __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (int v = 0; v < 2; v++)
    check(&sides[v][0], &sides[v][1], data, size);
  return 0;
}
