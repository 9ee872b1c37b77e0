// The poller thread: fetches every signal's reading, one command at a time, without end.
#ifndef MORVANE_POLLER_H
#define MORVANE_POLLER_H

struct signal_t;
struct snmp_engine_t;

// Fetches one reading of s and stores it with res_parse: SNMP signals through engine, or through
// their snmpget line when engine is null; a turn that fails leaves the reading as it was.
void poll_signal(signal_t* s, snmp_engine_t* engine);

// Thread function; the argument is ignored. Never returns.
void* get_data(void*);

#endif
