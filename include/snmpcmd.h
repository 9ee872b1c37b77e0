// SNMP request building: the snmpget command line for a signal of call type 0, 1 or 2.
#ifndef MORVANE_SNMPCMD_H
#define MORVANE_SNMPCMD_H

#include <string>
#include <vector>

struct signal_t;
struct snmp_conf_t;

// The line formats for versions 1/2c and 3; make_snmp_cmd fills their %d and %s words in order.
extern const char snmp_v1_2c_cmd[];
extern const char snmp_v3_cmd[];

// Returns the -l text for a security level number, or "" when out of the table.
const char* getSecLevelById(int id);
// Returns the -x text for a privacy protocol number, or "" when out of the table.
const char* getPrivProtById(int id);
// Returns the -a text for an authentication protocol number, or "" when out of the table.
const char* getAuthProtById(int id);

// Returns the snmpget line for signal (call type 0, 1 or 2) with the overrides in conf (null:
// none) applied: texts are shell-quoted when they need it, an option with an empty value is
// left out (so are -t for a timeout of 0 or less and -r for a negative retry count), and ""
// comes back when the line would exceed 8191 bytes, so that nothing is run.
std::string make_snmp_cmd(const signal_t* signal, const snmp_conf_t* conf);
// Returns the words snmpget receives from make_snmp_cmd's line, after the program name and
// before the redirection, as the shell hands them over; empty when no line would be run.
std::vector<std::string> snmp_args(const signal_t* signal, const snmp_conf_t* conf);

#endif
