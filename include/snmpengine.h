// The built-in SNMP engine: reads SNMP signals in-process through the Net-SNMP library, with
// the meaning and the output of their snmpget lines, and no child process. Signals whose lines
// differ only in the object share a session and are read together, all sessions side by side;
// no name server, agent or connect holds up the others.
#ifndef MORVANE_SNMPENGINE_H
#define MORVANE_SNMPENGINE_H

#include <vector>

struct signal_t;
struct snmp_conf_t;
struct snmp_engine_t;

// Returns an engine for the SNMP signals (call types 0, 1, 2) of table under conf, with every
// line's snmpget words parsed once (the first parse reads the library's configuration); other
// signals are left out and no request is made yet. Raises the descriptor limit to what its
// sessions need, and starts the threads that look host names up when an address names one.
// Silences standard error while it parses: call it before other threads write there. table and
// conf must outlive it. Returns null when the kernel gives it no epoll descriptor, or the
// lookups no pipe or thread (errno says why).
snmp_engine_t* snmp_engine_new(const std::vector<signal_t*>& table, const snmp_conf_t* conf);

// Returns an engine for the table in force (table_now) and its overrides, as snmp_engine_new,
// that also takes each reload once snmp_engine_reloaded wakes it. Null as snmp_engine_new, or
// when the kernel gives it no eventfd.
snmp_engine_t* snmp_engine_start();
// Wakes the engine's thread to take the loaded file in force (a reload's): each session takes
// its new members at its round's end, new lines get sessions, lines gone are closed. Any thread.
void snmp_engine_reloaded(snmp_engine_t* engine);

// True when the engine has no signal to read.
bool snmp_engine_empty(const snmp_engine_t* engine);

// Reads every signal once, all sessions side by side, and returns when all are read: each
// reading gets res_parse of what its own snmpget line prints ("" where that prints nothing).
// A session that gets no answer within its timeout and retries, or whose host name has no
// address within its timeout, is closed, to be opened again at its next round. Only one thread
// may use an engine.
void snmp_engine_round(snmp_engine_t* engine);

// Thread function; the argument is the engine. Reads rounds without end: a session's next round
// starts poll_period ms (of the engine's conf) after its last one began, or, with no period,
// once the last one has ended and 200 us per signal of it have passed since it began. Never
// returns.
void* get_snmp_data(void* engine);

#endif
