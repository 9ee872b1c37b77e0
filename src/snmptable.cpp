// The built-in engine's walks of a session's columns, in its rounds: one GETBULK (GETNEXT for v1)
// in flight per walk, the column and its label column side by side in it, and the agent's
// sysUpTime.0 as its non-repeater, so that a walk knows the agent's life it was taken in. Used by
// the engine's thread only.
#include "snmptable.h"

#include "rows.h"
#include "signals.h"
#include "snmplife.h"
#include "snmprequest.h"
#include "snmpsession.h"
#include "snmpwire.h"

static const int max_repetitions = 25;  // rows a GETBULK asks for
static const oid sys_uptime_column[8] = {1, 3, 6, 1, 2, 1, 1, 3};  // its next object is sysUpTime.0

void add_walk(session_t* s, column_t* c) {
  walk_t w;
  w.column = c;
  w.names[0] = numeric_name(c->name);
  w.names[1] = numeric_name(c->label_name);
  s->walks.push_back(w);
  s->life.rates = true;  // its GETs ask the uptime too, so that a restart shows in every answer
}

bool has_walks(const session_t* s) {
  return !s->walks.empty();
}

static void start_walk(walk_t* w) {
  w->walking = true;
  w->asked = false;
  w->cut = false;
  w->life = 0;
  for (int k = 0; k < 2; k++) {
    w->cells[k].clear();
    w->done[k] = w->names[k].empty();
  }
}

bool begin_walks(session_t* s, const snmp_conf_t* conf, int64_t now_ms) {
  bool any = false;
  for (walk_t& w : s->walks)
    if (!w.names[0].empty() && walk_due(w.column, conf, now_ms)) {
      start_walk(&w);
      any = true;
    }
  return any;
}

static bool walk_ended(const walk_t& w) {
  return w.done[0] && w.done[1];
}

bool walks_going(const session_t* s) {
  for (const walk_t& w : s->walks)
    if (w.walking && !walk_ended(w))
      return true;
  return false;
}

bool next_walk(session_t* s, request_t* r) {
  for (size_t i = 0; i < s->walks.size(); i++) {
    walk_t& w = s->walks[i];
    if (w.walking && !w.asked && !walk_ended(w)) {
      w.asked = true;
      r->walk = (int)i;
      return true;
    }
  }
  return false;
}

// Where the walk of column k goes on from: its last object, or the column itself.
static const std::vector<oid>& from(const walk_t& w, int k) {
  return w.cells[k].empty() ? w.names[k] : w.cells[k].back().first;
}

netsnmp_pdu* walk_pdu(const session_t* s, const request_t& r) {
  const walk_t& w = s->walks[r.walk];
  bool v1 = s->settings.version == SNMP_VERSION_1;
  netsnmp_pdu* pdu = snmp_pdu_create(v1 ? SNMP_MSG_GETNEXT : SNMP_MSG_GETBULK);
  if (!pdu)
    return NULL;
  if (!v1) {
    pdu->non_repeaters = 1;
    pdu->max_repetitions = max_repetitions;
  }
  bool ok = snmp_add_null_var(pdu, sys_uptime_column, OID_LENGTH(sys_uptime_column)) != NULL;
  for (int k = 0; ok && k < 2; k++)
    if (!w.done[k])
      ok = snmp_add_null_var(pdu, from(w, k).data(), from(w, k).size()) != NULL;
  if (!ok) {
    snmp_free_pdu(pdu);
    return NULL;
  }
  return pdu;
}

// The agent's life that the answer's sysUpTime.0 shows (its v3 boots, without one); a walk that
// sees the agent restart starts again, as what it took before may be of the old numbering.
static void take_life(session_t* s, walk_t* w, const request_t* r, const netsnmp_variable_list* v) {
  answer_t a;
  if (v && v->type == ASN_TIMETICKS && !snmp_oid_compare(v->name, v->name_length, sys_uptime, OID_LENGTH(sys_uptime))) {
    a.has_uptime = true;
    a.uptime = (uint32_t)*v->val.integer;
  }
  bool by_uptime = false, timed = false;
  uint32_t life = agent_life(s, &a, (r->answered_ns - r->sent_ns) / 1000000, &by_uptime, &timed);
  if (life && w->life && life != w->life) {
    start_walk(w);
    w->asked = true;  // the request being taken
  }
  if (life)
    w->life = life;
}

// Takes the repeated objects, column after column in each repetition; a column ends at an
// object outside it, an exception, or an answer that brought it nothing.
static void take_objects(walk_t* w, const netsnmp_variable_list* v) {
  int asked[2], n = 0;
  for (int k = 0; k < 2; k++)
    if (!w->done[k])
      asked[n++] = k;
  size_t before[2] = {w->cells[0].size(), w->cells[1].size()};
  for (int j = 0; v; v = v->next_variable, j = (j + 1) % n) {
    int k = asked[j];
    if (w->done[k])
      continue;
    bool exception = v->type == SNMP_ENDOFMIBVIEW || v->type == SNMP_NOSUCHOBJECT || v->type == SNMP_NOSUCHINSTANCE;
    std::string value = k ? printed(v) : std::string();  // only a label's value is kept
    if (exception || !take_object(v->name, v->name_length, value, w->names[k], &w->cells[k]))
      w->done[k] = true;
  }
  for (int j = 0; j < n; j++)
    if (w->cells[asked[j]].size() == before[asked[j]])
      w->done[asked[j]] = true;
}

static void first_rows(session_t* s, walk_t* w);

void take_walk_answer(session_t* s, request_t* r, const netsnmp_pdu* pdu) {
  walk_t& w = s->walks[r->walk];
  w.asked = false;
  const netsnmp_variable_list* v = pdu->variables;
  if (pdu->errstat != SNMP_ERR_NOERROR || !v) {
    // v1's noSuchName past the last object ends a walk; any other error cuts it short
    bool end = s->settings.version == SNMP_VERSION_1 && pdu->errstat == SNMP_ERR_NOSUCHNAME;
    w.done[0] = w.done[1] = true;
    w.cut = !end;
    return;
  }
  take_life(s, &w, r, v);
  if (w.asked) {
    w.asked = false;
    return;
  }
  take_objects(&w, v->next_variable);
  if (walk_ended(w) && !w.cut && w.column->rows.empty())
    first_rows(s, &w);
}

// The rows of c become members of s after the others; a row whose object no GET can carry is
// not read. Their names go on the wire once the names are encoded again.
static void add_members(session_t* s, const column_t* c) {
  u_char ber[max_name_ber];
  for (const std::shared_ptr<signal_t>& row : c->rows) {
    std::vector<oid> name = numeric_name(row->oid);
    if (!name.empty() && encode_name(name.data(), name.size(), ber))
      s->members.push_back({row.get(), name});
  }
  s->names.clear();
}

void rows_to_members(session_t* s) {
  size_t plain = 0;  // the session's own members come first
  while (plain < s->members.size() && !s->members[plain].signal->column)
    plain++;
  s->members.resize(plain);
  for (const walk_t& w : s->walks)
    add_members(s, w.column);
}

// A column's first rows are read in the round that found them: they join the members at the
// end, past every index a GET in flight holds, and the round asks them as it asks the rest.
// (Rows that change are taken at the round's end, when nothing is in flight.)
static void first_rows(session_t* s, walk_t* w) {
  w->walking = false;
  bool came = take_walk(w->column, rows_of(w->names[0], w->cells[0], w->names[1], w->cells[1]), "", monotonic_ms());
  w->column->life = w->life;
  w->cells[0].clear();
  w->cells[1].clear();
  if (came) {
    add_members(s, w->column);
    w->unpublished = true;
  }
}

bool rows_came(session_t* s) {
  bool came = false;
  for (walk_t& w : s->walks) {
    came |= w.unpublished;
    w.unpublished = false;
  }
  return came;
}

bool end_walks(session_t* s, int64_t now_ms) {
  bool changed = false;
  for (walk_t& w : s->walks) {
    if (!w.walking)
      continue;
    w.walking = false;
    w.asked = false;
    if (walk_ended(w) && !w.cut) {
      changed |= take_walk(w.column, rows_of(w.names[0], w.cells[0], w.names[1], w.cells[1]), "", now_ms);
      w.column->life = w.life;
    } else {
      take_walk(w.column, {}, w.cut ? "an error cut it short" : "no answer", now_ms);  // the rows stay
    }
    w.cells[0].clear();
    w.cells[1].clear();
  }
  if (changed)
    rows_to_members(s);
  return changed;
}

bool row_of_life(const signal_t* row, uint32_t life) {
  column_t* c = row->column;
  if (!c || !life || !c->life || c->life == life)
    return true;
  c->due = true;
  return false;
}

void row_vanished(const signal_t* row) {
  if (row->column)
    row->column->due = true;
}
