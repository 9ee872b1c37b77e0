// Reply parsing: turns a command's output into a signal's typed reading.
#ifndef MORVANE_PARSER_H
#define MORVANE_PARSER_H

#include <string>

struct signal_t;

// Stores the reading in the value field for the signal's value type; a text without a
// number leaves the value unchanged, a null signal is ignored. Never throws.
void res_parse(signal_t* signal, const std::string& text);

#endif
