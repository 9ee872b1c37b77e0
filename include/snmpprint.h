// What snmpget -Oqv prints for a varbind, and the reading it gives a signal of the built-in
// engine.
#ifndef MORVANE_SNMPPRINT_H
#define MORVANE_SNMPPRINT_H

struct member_t;
struct variable_list;

// Gives m's signal (res_parse) what snmpget prints for v, m's varbind, under the library's
// current output options, or the empty reply for no v; a reading there is no memory for stays
// as it was.
void give_reply(member_t* m, const struct variable_list* v);

#endif
