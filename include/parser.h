// Reply parsing: turns a command's output into a signal's typed reading.
#ifndef MORVANE_PARSER_H
#define MORVANE_PARSER_H

#include <stdint.h>

#include <string>

struct signal_t;

// Stores the reading in the value field for the signal's value type: type 0 what strtof gives
// (an infinity on overflow), type 1 the number pinned to the 32-bit limits, type 2 1 for any
// non-zero number, type 3 the whole text. A text without a number leaves the value unchanged;
// a null signal or another type is ignored. A good reply (a number for types 0 to 2, a
// non-empty text for type 3) sets good_at to monotonic_ms(). Never throws but for want of
// memory. With rate (value types 0 and 1), the reading is instead the per-second increase of the
// reply's unsigned number since the last good reply; the first reply, a number that goes down
// (a restart) and a reply without a number give none, and the next counts from the new number.
void res_parse(signal_t* signal, const std::string& text);
// Stores n as res_parse stores its decimal text and a line end, byte for byte the same reading
// (a rate's too), without making or reading the text (but for type 3). Never throws but for
// want of memory.
void res_number(signal_t* signal, long long n);

// What is known of a counter's number against the signal's base: COUNT_PLAIN nothing, so one
// below the base is a restart; COUNT_WRAPS32 it is a Counter32 of an agent that has not
// restarted since the base, so one below it has wrapped once at 2^32; COUNT_RESTARTED the agent
// restarted since the base, so it is only a new base.
enum count_kind_t { COUNT_PLAIN, COUNT_WRAPS32, COUNT_RESTARTED };
// When an agent read a counter, by its own clock, an uptime that keeps time: its sysUpTime.0 in
// the answer, in ticks (1/100 s), and how long the answer took after its GET was sent, which
// bounds how far morvane's time of the answer is from the reading.
struct agent_clock_t {
  uint32_t ticks;
  int64_t trip_ms;
};
// Stores a rate signal's reading from a counter's exact number as res_parse stores a rate from
// its text, but for what kind tells, and over the interval the agent's clock gives where it is the
// better measure (clock null: morvane's); a Counter32 below its base has wrapped only at no more
// than twice its last rate, and gives no reading otherwise. A signal without rate (or not of value
// type 0 or 1) is left as it is.
void res_count(signal_t* signal, uint64_t count, count_kind_t kind, const agent_clock_t* clock = nullptr);

#endif
