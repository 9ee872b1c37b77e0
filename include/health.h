// morvane's own figures (call type 4): how each agent it reads is doing, kept by the one thread
// that reads the agent (the built-in engine's, or the poller under snmpget), and how delivery is
// doing, kept by the sender; each writes its figures into their signals as readings.
#ifndef MORVANE_HEALTH_H
#define MORVANE_HEALTH_H

#include <stdint.h>

#include <atomic>
#include <string>

struct signal_t;

// The figures a health key names, the agent's first.
enum figure_t { NO_FIGURE = -1, FIG_ROUND_MS, FIG_ANSWERED_MS, FIG_LOST, FIG_LATE, FIG_IN_FLIGHT, FIG_PUT_ERRORS, FIG_PASS_MS };

// Returns the figure name names; NO_FIGURE for any other text.
figure_t figure_named(const std::string& name);
// Returns f's name ("round_ms"); "" for NO_FIGURE.
const char* figure_name(figure_t f);
// The names in order, for messages: "round_ms, answered_ms, ..., put_errors or pass_ms".
extern const char figure_list[];
// True for the figures of an agent, which name it by ip_addr; false for the delivery's.
bool agent_figure(figure_t f);

// How one agent is doing, all its sessions together. The fields are its reader's alone (the one
// thread that reads the agent); silent and late_now are also read by the screen.
struct agent_health_t {
  int64_t round_ms = 0;     // its last round, from its first GET sent to its last answer or giving up
  int64_t answered_ms = 0;  // monotonic_ms() of its last answer, or of the record's making
  uint64_t lost = 0;        // GETs that got no answer (timed out or dropped), since start
  uint64_t late = 0;        // rounds that ended after the next was due, since start
  int32_t in_flight = 0;    // the most requests in flight since it was last counted
  std::atomic<bool> silent{false};    // its last round got no answer
  std::atomic<bool> late_now{false};  // its last round ended after the next was due
};

// Returns the record of the agent ip_addr names (shard.h's agent_key), made at the first call for
// it and kept for the run. Any thread.
agent_health_t* agent_health(const std::string& ip_addr);
// Returns how many agents are silent or late now, and in *known how many have a record. Any thread.
long agents_in_trouble(long* known);
// Stores a's figure f (an agent's) in s as a reading at now_ms (monotonic_ms), a rate's too.
void write_figure(signal_t* s, figure_t f, const agent_health_t* a, int64_t now_ms);

#endif
