// The poller thread: runs the signals' commands in table order, one at a time, without end.
// With the built-in SNMP engine it keeps the command signals and the engine's own thread reads
// the rest. It is the only writer of its signals' value fields and good_at (through
// res_parse); nothing else is shared.
#include "poller.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "getcmdout.h"
#include "parser.h"
#include "signals.h"
#include "snmpcmd.h"

// A line that cannot be started (the shell could not be forked), one ended at cmd_timeout, or
// a reply there is no memory for, leaves the reading as it was for this turn; the next cycle
// tries again.
static void run_and_parse(signal_t* s, const char* line) {
  int timeout_ms = global_snmp_conf ? global_snmp_conf->cmd_timeout : 0;
  try {
    res_parse(s, getCmdOut(line, timeout_ms));
  } catch (const std::exception&) {
  }
}

void poll_signal(signal_t* s) {
  switch (s->call_type) {
    case 0:
    case 1:
    case 2: {
      std::string line = make_snmp_cmd(s, global_snmp_conf);
      if (!line.empty())  // too long to run whole
        run_and_parse(s, line.c_str());
      break;
    }
    case 3:
      run_and_parse(s, s->cmd.c_str());
      break;
  }
}

static bool fetched(const signal_t* s) {
  return s->call_type >= 0 && s->call_type <= 3;
}

// The signals this thread walks: the whole table, or only its commands beside the engine.
static std::vector<signal_t*> walked() {
  if (!builtin_engine(global_snmp_conf))
    return signalsVector;
  std::vector<signal_t*> commands;
  for (signal_t* s : signalsVector)
    if (s->call_type == 3)
      commands.push_back(s);
  return commands;
}

// Sleeps until period_ms after start, on the monotonic clock.
static void sleep_rest(const timespec& start, int period_ms) {
  timespec until = start;
  until.tv_sec += period_ms / 1000;
  until.tv_nsec += period_ms % 1000 * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec++;
    until.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) != 0) {
  }
}

void* get_data(void*) {
  std::vector<signal_t*> table = walked();
  // A table with nothing to fetch never changes: sleep until the process ends rather than
  // wake every 200 microseconds for nothing.
  if (std::none_of(table.begin(), table.end(), fetched))
    for (;;)
      pause();
  int period_ms = global_snmp_conf ? global_snmp_conf->poll_period : 0;
  for (;;) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (signal_t* s : table) {
      poll_signal(s);
      usleep(200);  // 200 microseconds after every signal, skipped or not
    }
    if (period_ms > 0)
      sleep_rest(start, period_ms);
  }
}
