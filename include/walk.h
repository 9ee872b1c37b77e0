// SNMP tables: a walked column's objects, read by snmpwalk for the snmpget engine (the built-in
// engine walks in its own loop, snmptable.h), and what a walk's objects give: its rows, each
// named by another column's value at its index.
#ifndef MORVANE_WALK_H
#define MORVANE_WALK_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <string>
#include <utility>
#include <vector>

#include "rows.h"

struct signal_t;
struct snmp_conf_t;

// The objects of a walk: each one's name and its value as snmpget prints it.
typedef std::vector<std::pair<std::vector<oid>, std::string>> walked_t;

// Parses the lines of c's column and label oid as snmpget would, and keeps their numeric names
// in c; a column whose line snmpget refuses gets no rows, named once (take_walk). Call before
// the threads start, or on the thread that walks (it silences standard error and uses the
// library).
void walk_prepare(column_t* c, const snmp_conf_t* conf);
// Returns the numeric name that dotted (".1.3.6") spells; empty for anything else.
std::vector<oid> numeric_name(const std::string& dotted);
// Appends the object name (length sub-identifiers) with value to out when it lies in column past
// the last one taken; false at the column's end: an object outside it, or one not past the last
// (a looping agent).
bool take_object(const oid* name, size_t length, const std::string& value, const std::vector<oid>& column,
                 walked_t* out);
// Returns v's value as snmpget prints it.
std::string printed(const netsnmp_variable_list* v);
// Returns the rows of the objects cells of column, in the agent's order, each labelled by the
// object of label_cells (objects of the column label) at its index.
std::vector<row_t> rows_of(const std::vector<oid>& column, const walked_t& cells, const std::vector<oid>& label,
                           const walked_t& label_cells);
// Walks c by running snmpwalk with its snmpget line's options under conf. Returns its rows, with
// why "" , or none with why "snmpget refuses its line", "no answer" (snmpwalk printed nothing)
// or "an error cut it short" (it printed some, then failed: a timeout, an error status).
std::vector<row_t> walk_column(const column_t* c, const snmp_conf_t* conf, std::string* why);
// Reads the sysUpTime.0 of c's agent into ticks, by snmpget with c's line under conf: returns 1,
// or 0 when the agent answered without one, or -1 when snmpget printed nothing.
int agent_uptime(const column_t* c, const snmp_conf_t* conf, uint32_t* ticks);
// Returns the snmpget line that reads row (of a walked column) under conf with its agent's
// sysUpTime.0 before it, so that one answer shows a restart and the reading together.
std::string row_line(const signal_t* row, const snmp_conf_t* conf);
// Takes the uptime that row_line's reply begins with ("0:1:02:03.45", and its line end) off
// reply into ticks; false, leaving reply, when it does not begin with one.
bool take_uptime(std::string* reply, uint32_t* ticks);

#endif
