// The poller thread: fetches readings one command at a time, without end.
#ifndef MORVANE_POLLER_H
#define MORVANE_POLLER_H

struct signal_t;
struct snmp_conf_t;

// Fetches one reading of s through its snmpget line or its command under conf (null: no
// overrides), within its cmd_timeout when set, and stores it with res_parse; a turn that fails or
// is ended at the timeout leaves the reading as it was. Returns 1 when the run printed something,
// 0 when it printed nothing or failed, -1 when nothing was run (a line too long, another call type).
int poll_signal(signal_t* s, const snmp_conf_t* conf);

// Thread function; the argument is ignored. Walks the table (only its command signals under the
// built-in engine), 200 us after each signal, and when conf's poll_period is set starts a cycle
// no sooner than that many ms after the last one started. Never returns.
void* get_data(void*);

#endif
