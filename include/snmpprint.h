// What snmpget -Oqv prints for a varbind, and the reading it gives a signal of the built-in
// engine.
#ifndef MORVANE_SNMPPRINT_H
#define MORVANE_SNMPPRINT_H

#include <stdint.h>

struct member_t;
struct variable_list;
struct agent_clock_t;

// Gives m's signal (res_parse) what snmpget prints for v, m's varbind, under the library's
// current output options, or the empty reply for no v; a reading there is no memory for stays
// as it was. A rate's counter goes by its number instead (res_count), life being the agent's
// life its answer shows (0: not known) and clock its uptime (null: none). Returns, for a rate's
// counter, -1 when it is below its base and 1 when not; 0 for no base or no counter.
int give_reply(member_t* m, const struct variable_list* v, uint32_t life = 0, const agent_clock_t* clock = nullptr);

#endif
