// SNMP tables: the rows of a column of an agent's table, walked once at start-up, each named by
// another column's value at its index.
#ifndef MORVANE_WALK_H
#define MORVANE_WALK_H

#include <stdint.h>

#include <string>
#include <vector>

struct signal_t;
struct snmp_conf_t;

// One row of a column.
struct row_t {
  std::string index;  // the sub-identifiers after the column, dotted ("11001", "1.4")
  uint32_t last;      // the last of them
  std::string oid;    // the row's object, numeric with a leading dot
  std::string label;  // the label column's value at the index, as a name shows it; "": none
};

// Walks column's oid on its agent, with column's snmpget words under conf, by conf's engine:
// in-process with the library (GETBULK for v2c and v3) or by running snmpwalk. With label (its
// oid another column, the rest as column), walks that one too. Rows come in the agent's order,
// up to the first object that is not past the one before (a looping agent) or outside the
// column. Returns "", or with no rows why: "snmpget refuses its line", or "no answer".
std::string walk_column(signal_t* column, signal_t* label, const snmp_conf_t* conf,
                        std::vector<row_t>* rows);

#endif
