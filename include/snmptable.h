// The built-in engine's walks: each walked column of a session is walked in the session's round,
// by GETBULK (GETNEXT for v1) requests that go like its GETs, within its timeout, retries and
// window; at the round's end what a walk found becomes the column's rows (rows.h) and the rows
// the session's members.
#ifndef MORVANE_SNMPTABLE_H
#define MORVANE_SNMPTABLE_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <stdint.h>

#include <vector>

#include "walk.h"

struct session_t;
struct request_t;
struct column_t;
struct snmp_conf_t;

// One walked column of a session and its walk in the round, written by this room alone.
struct walk_t {
  column_t* column = nullptr;
  std::vector<oid> names[2];  // the column's, the label column's (empty: none)
  walked_t cells[2];          // what this walk found of each
  bool done[2] = {true, true};
  bool walking = false;  // walked in this round
  bool asked = false;    // its request is in flight
  bool cut = false;      // an error ended it part-way: what it found is not the whole column
  uint32_t life = 0;     // the agent's life its answers showed; 0: none yet
  bool unpublished = false;  // its first rows came in this round: the table is to show them
};

// Adds c, a column of s's line, to s's walks.
void add_walk(session_t* s, column_t* c);
// True when s has walked columns.
bool has_walks(const session_t* s);
// Starts the walks of s that are due at now_ms (rows.h) under conf; true when one started.
bool begin_walks(session_t* s, const snmp_conf_t* conf, int64_t now_ms);
// True while a walk of the round has not ended.
bool walks_going(const session_t* s);
// Puts the next request of a walk that waits for one in r (r->walk); false when none waits.
bool next_walk(session_t* s, request_t* r);
// Returns the GETBULK (GETNEXT for v1) of r, which also asks the agent's sysUpTime.0; null
// without memory.
netsnmp_pdu* walk_pdu(const session_t* s, const request_t& r);
// Takes pdu, the answer to r: the objects still in their columns, and the agent's life (a walk
// that sees its agent restart starts again). A column's first rows become members at once.
void take_walk_answer(session_t* s, request_t* r, const netsnmp_pdu* pdu);
// Ends the round's walks at now_ms: each ended one gives its column's rows, the others (the round
// failed) leave them as they were. Makes the rows s's members, after its own, when they changed;
// returns true then.
bool end_walks(session_t* s, int64_t now_ms);
// The rows of s's columns become its members after its own (those without a column).
void rows_to_members(session_t* s);
// True once after a column's first rows came in a round, for the table to be published.
bool rows_came(session_t* s);
// A row's answer, of the agent's life (0: not known): false when the row's column was walked in
// another life, and the reading must not be taken; the column is then due.
bool row_of_life(const signal_t* row, uint32_t life);
// The agent no longer has the row's object (noSuchInstance, noSuchObject, v1's noSuchName): its
// column is due.
void row_vanished(const signal_t* row);

#endif
