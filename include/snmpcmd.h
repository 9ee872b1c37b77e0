// SNMP request building: the snmpget command line for a signal of call type 0, 1 or 2.
#ifndef MORVANE_SNMPCMD_H
#define MORVANE_SNMPCMD_H

#include <string>

struct signal_t;
struct snmp_conf_t;

extern const char snmp_v1_2c_cmd[];
extern const char snmp_v3_cmd[];

// Returns the -l text for a security level number, or "" when out of the table.
const char* getSecLevelById(int id);
// Returns the -x text for a privacy protocol number, or "" when out of the table.
const char* getPrivProtById(int id);
// Returns the -a text for an authentication protocol number, or "" when out of the table.
const char* getAuthProtById(int id);

// Returns the snmpget line for signal with the overrides in conf applied.
std::string make_snmp_cmd(const signal_t* signal, const snmp_conf_t* conf);

#endif
