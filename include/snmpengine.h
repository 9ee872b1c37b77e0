// The built-in SNMP engine: reads SNMP signals in-process through the Net-SNMP library, with
// the meaning and the output of their snmpget lines, and no child process.
#ifndef MORVANE_SNMPENGINE_H
#define MORVANE_SNMPENGINE_H

#include <string>

struct signal_t;
struct snmp_conf_t;
struct snmp_engine_t;

// Returns a new engine with no session yet; the library is set up at the first reading.
snmp_engine_t* snmp_engine_new();

// Returns what the snmpget line of signal (call type 0, 1 or 2) under conf would print on
// standard output: each value and its line end, or "" where snmpget prints nothing (no answer,
// an error status, options or an object it refuses). Blocks for the resolved timeout and
// retries at most. The signal's settings and conf are read at its first reading and must not
// change afterwards. Only one thread may use an engine; never throws but for want of memory.
std::string snmp_engine_get(snmp_engine_t* engine, const signal_t* signal, const snmp_conf_t* conf);

#endif
