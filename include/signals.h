// The signal table and the global overrides: the records every thread shares, and their helpers.
// The loaded table and all configuration fields are fixed before the workers start, and a
// signal's settings once it is published; only the three value fields and good_at change
// afterwards, each signal's written by its one writer (the poller or the built-in engine's
// thread) and read through atomics or the accessors below. The threads read the table through
// its published versions (table_now), which the walked columns' rows change as they come and go,
// and a reload of morvane.conf replaces with records of its own.
#ifndef MORVANE_SIGNALS_H
#define MORVANE_SIGNALS_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A rate signal's base: the number of its last good reply and when it came, by morvane's clock
// and, with the built-in engine, by its agent's. Only the signal's writer uses it.
struct count_base_t {
  uint64_t count = 0;
  int64_t at = 0;     // monotonic_ms(); 0: no base yet
  uint32_t life = 0;  // the built-in engine's: its agent's life then (see snmpbatch.cpp); 0: not known
  uint32_t ticks = 0;    // the agent's sysUpTime.0 in the same answer (1/100 s)
  int32_t trip_ms = -1;  // how long that answer took after its GET; -1: no agent's clock
  float per_s = 0;       // the rate this base's count gave; 0: none
};

struct column_t;

struct signal_t {
  int32_t id = 0;
  int32_t signum = 0;
  std::string dev_name;
  int32_t dev_id = 0;
  std::string name;
  std::string cmd;
  std::string oid;
  int32_t call_type = 0;  // 0 SNMP v1, 1 SNMP v2c, 2 SNMP v3, 3 shell command, 4 morvane's own
                          // figure (health), other: never fetched
  std::string health;     // call type 4: the figure's name (health.h)
  int32_t snmp_timeout = 0;
  int32_t snmp_num_retries = 0;
  int32_t snmp_sec_level = 0;
  int32_t snmp_priv_prot = 0;
  std::string snmp_priv_pphrase;
  int32_t snmp_auth_prot = 0;
  std::string snmp_auth_pphrase;
  std::string snmp_user;
  std::string ip_addr;
  std::string snmp_community;
  std::string snmp_context;
  int32_t value_type = 0;  // 0 float, 1 integer, 2 boolean, 3 text, other: neither shown nor sent
  int32_t divider = 0;
  std::string active_value;
  std::string inactive_value;
  std::atomic<float> float_value{0};
  std::atomic<int32_t> int_value{0};
  // beside the numbers and value_type, so that a numeric reading touches fewer cache lines
  std::atomic<int64_t> good_at{0};  // monotonic_ms() of the last good reply; 0: none yet
  // rate = true: the reading is the per-second increase of the reply's number since its base;
  // null for other signals, which pay one pointer for it.
  count_base_t* rate = nullptr;
  // walk = true: the column's record (rows.h); a row of a column: its column's; null otherwise.
  column_t* column = nullptr;
  std::string text_value;      // guarded by text_lock: use get_text_value/set_text_value
  std::mutex text_lock;
};

// The display and the sender read good_at on every frame and pass: it must take no lock.
static_assert(std::atomic<int64_t>::is_always_lock_free, "good_at must be lock-free");

// Global overrides: an integer is in force when not -1, a text when not empty.
struct snmp_conf_t {
  int32_t snmp_timeout = -1;
  int32_t snmp_num_retries = -1;
  int32_t snmp_sec_level = -1;
  int32_t snmp_priv_prot = -1;
  std::string snmp_priv_pphrase;
  int32_t snmp_auth_prot = -1;
  std::string snmp_auth_pphrase;
  std::string snmp_user;
  std::string snmp_community;
  std::string snmp_context;
  std::string snmp_engine;  // "builtin": SNMP in-process; "snmpget" or empty: the snmpget command
  int32_t poll_period = 0;  // ms from the start of a round to the start of the next; <= 0: none
  int32_t snmp_window = 0;  // the built-in engine's most GETs in flight per session; <= 0: its default
  // The long-run keys, in ms; <= 0: off.
  int32_t cmd_timeout = 0;  // a polled command still running then is ended with its group
  int32_t stale_after = 0;  // a reading whose last good reply is older is stale
  int32_t send_retry = 0;   // the wait between single puts once the failure budget is spent
  std::string display;      // "screen": the operator's screen on a terminal; else the table
  int32_t walk_period = 60000;  // ms between two walks of a column; the default when not above 0
};

// A loaded morvane.conf: its signals in file order, walked columns among them, and its
// overrides. Start-up's holds signalsVector and a copy of *global_snmp_conf; a reload's owns
// the signals it made (and their rate bases, which a signal that keeps its reading hands on).
struct loaded_t {
  std::vector<signal_t*> signals;
  snmp_conf_t conf;
  std::vector<int32_t> signums;  // of its signals but the columns, of every shard
  std::vector<std::shared_ptr<signal_t>> made;
  std::vector<std::shared_ptr<count_base_t>> bases;
};

// A version of the table as the threads read it: every loaded signal but the walked columns,
// with each column's rows in its place, and the loaded file it comes from. Never changed once
// published; the rows and reloaded signals it names live as long as a version that names them
// is held.
struct table_t {
  std::vector<signal_t*> signals;
  std::vector<std::shared_ptr<signal_t>> rows;
  std::shared_ptr<const loaded_t> loaded;
};

// The signal table in file order; never destroyed, so workers may run on through the exit.
extern std::vector<signal_t*>& signalsVector;
extern snmp_conf_t* global_snmp_conf;

// Returns the version of the table in force now: the loaded table and global_snmp_conf until
// one is published.
std::shared_ptr<const table_t> table_now();
// Makes table the version in force; a reader holding an older one reads it on until it lets go.
void publish_table(std::shared_ptr<const table_t> table);
// Returns once a version other than seen is in force.
void wait_for_publish(const std::shared_ptr<const table_t>& seen);

// Returns a copy of the signal's text reading, or of its first max_bytes bytes, never torn by a
// concurrent set_text_value.
std::string get_text_value(signal_t* s, size_t max_bytes = std::string::npos);
// Replaces the signal's text reading whole.
void set_text_value(signal_t* s, const std::string& text);

// Returns milliseconds of the monotonic clock; never 0 once the start-up pause is over.
int64_t monotonic_ms();
// Returns nanoseconds of the monotonic clock.
int64_t monotonic_ns();
// Points standard error at /dev/null; returns a descriptor of what it was (close-on-exec), or
// -1 when it cannot be kept.
int silence_stderr();
// True when conf (null: none) reads SNMP signals with the built-in engine.
bool builtin_engine(const snmp_conf_t* conf);
// True when conf's stale_after is in force (conf not null, stale_after > 0) and s has had no
// good reply yet, or its last one is more than stale_after ms older than now_ms; a figure of
// morvane's own (call type 4) once it has a reading is never stale.
bool is_stale(const signal_t* s, const snmp_conf_t* conf, int64_t now_ms);
// Writes the formatted line (up to 1023 bytes) on standard error and to the system log with
// priority: a line an operator must see outlives the terminal.
void say(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Returns text with the C0 controls, DEL, the UTF-8 C1 controls (C2 80..C2 9F, both bytes) and
// backslash written as \x1b-style escapes ("\\" for a backslash); line end, tab and all other
// bytes are kept, so nothing in it can steer the terminal.
std::string visible_text(const std::string& text);

#endif
