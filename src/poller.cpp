// The poller thread: runs every signal's command in table order, one at a time, without end.
// It is the only writer of the signals' value fields (through res_parse); nothing else is shared.
#include "poller.h"

#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "app.h"
#include "getcmdout.h"
#include "parser.h"
#include "snmpcmd.h"
#include "snmpengine.h"

// A line that cannot be started (the shell could not be forked), or a reply there is no
// memory for, leaves the reading as it was for this turn; the next cycle tries again.
static void run_and_parse(signal_t* s, const char* line) {
  try {
    res_parse(s, getCmdOut(line));
  } catch (const std::exception&) {
  }
}

static void read_and_parse(signal_t* s, snmp_engine_t* engine) {
  try {
    res_parse(s, snmp_engine_get(engine, s, global_snmp_conf));
  } catch (const std::exception&) {
  }
}

void poll_signal(signal_t* s, snmp_engine_t* engine) {
  switch (s->call_type) {
    case 0:
    case 1:
    case 2: {
      if (engine) {
        read_and_parse(s, engine);
        break;
      }
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

void* get_data(void*) {
  // A table with nothing to fetch never changes: sleep until the process ends rather than
  // wake every 200 microseconds for nothing.
  if (std::none_of(signalsVector.begin(), signalsVector.end(), fetched))
    for (;;)
      pause();
  snmp_engine_t* engine = NULL;  // lives until exit, as its sessions do
  if (global_snmp_conf && global_snmp_conf->snmp_engine == "builtin")
    engine = snmp_engine_new();
  for (;;) {
    for (signal_t* s : signalsVector) {
      poll_signal(s, engine);
      usleep(200);  // the only pacing: 200 microseconds after every signal, skipped or not
    }
  }
}
