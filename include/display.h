// The live value table on the terminal: names in the operator's own bytes, readings in cyan
// (stale ones in yellow), every reading starting in the column of "Value".
#ifndef MORVANE_DISPLAY_H
#define MORVANE_DISPLAY_H

#include <stdio.h>

#include <string>
#include <vector>

struct signal_t;
struct snmp_conf_t;

// Thread function: shows the table twice a second and never returns; its argument is ignored.
void* print_data(void*);

// Returns the number of bytes of s before its first NUL that are not UTF-8 continuation bytes
// (10xxxxxx); malformed UTF-8 is counted the same way, never rejected.
size_t utf8_length(const std::string& s);
// True when a's name has fewer characters (utf8_length) than b's.
bool comp(signal_t* a, signal_t* b);

// Returns W: the byte length of the first name with the most characters, 0 for an empty table.
int name_width(const std::vector<signal_t*>& table);
// Returns the byte count that pads name to W terminal columns (W plus its multi-byte excess).
int name_padding(const std::string& name, int width);
// Writes one frame (clear, header, one line per signal of value type 0 to 3) to out with
// printf-style writes, each reading in cyan, or in yellow when it is stale under conf's
// stale_after (is_stale; conf null: never); the closing line end is the caller's.
void print_frame(FILE* out, const std::vector<signal_t*>& table, int width, const snmp_conf_t* conf);

#endif
