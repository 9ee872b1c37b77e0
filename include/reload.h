// Reloading morvane.conf while the threads run: the new file checked whole before anything
// changes, each signal that reads as before kept, and the new table published for the threads
// to take at their next round.
#ifndef MORVANE_RELOAD_H
#define MORVANE_RELOAD_H

#include <memory>
#include <vector>

struct loaded_t;
struct signal_t;

// Reads morvane.conf again and publishes its table (publish_loaded). A signal with the signum,
// call type, agent, object or command, value type, rate and walk of one running stays that
// signal: the same one when nothing else of it changed, else a new one that takes over its
// reading, stamps and rate's base. snmp_engine and display keep their running values, named when
// the file changes them. Records the outcome on standard error and in the system log. Returns 0
// when applied, or 1 when the file is refused (its refusal named as at start), the running table
// untouched. One caller at a time.
int reload_config();

// The thread that walks takes a reload from before to now, before it walks: the columns no
// longer loaded give back their rows' numbers, the new ones have their lines parsed, the
// numbers book learns the file's signums. Returns the rows of the columns let go, for a caller
// with requests in flight to keep until none can write them.
std::vector<std::shared_ptr<signal_t>> take_reload(const loaded_t& now, const loaded_t& before);

#endif
