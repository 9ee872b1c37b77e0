// The poller thread: runs the signals' commands in table order, one at a time, without end.
// With the built-in SNMP engine it keeps the command signals and the engine's own thread reads
// the rest; with snmpget it also walks the columns, by snmpwalk, and publishes the table as their
// rows change (rows.h), and keeps the agents' health (health.h) and writes their figures. It is
// the only writer of its signals' value fields and good_at (through res_parse); it reads the
// table and the overrides through the version in force at each cycle's start (a reload's signals
// are read from the next cycle); nothing else is shared.
#include "poller.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "getcmdout.h"
#include "health.h"
#include "parser.h"
#include "reload.h"
#include "rows.h"
#include "signals.h"
#include "snmpcmd.h"
#include "walk.h"

// A line that cannot be started (the shell could not be forked), one ended at cmd_timeout, or
// a reply there is no memory for, leaves the reading as it was for this turn; the next cycle
// tries again.
// Returns 1 when it printed something, else 0.
static int run_and_parse(signal_t* s, const char* line, const snmp_conf_t* conf) {
  try {
    std::string reply = getCmdOut(line, conf ? conf->cmd_timeout : 0);
    res_parse(s, reply);
    return !reply.empty();
  } catch (const std::exception&) {
    return 0;
  }
}

// A row of a column is read with its agent's uptime: an answer that shows a restart (the uptime
// went back, or fell behind our clock: a restart while unheard) gives no reading, and no row of
// the column is read until it is walked again, as the agent may have numbered its rows anew. An
// agent without sysUpTime.0 has its rows read alone. An object the agent no longer has gets the
// column walked again too. Returns as poll_signal.
static int poll_row(signal_t* s, const snmp_conf_t* conf) {
  column_t* c = s->column;
  if (c->held)
    return -1;
  std::string line = c->clockless ? make_snmp_cmd(s, conf) : row_line(s, conf), reply;
  if (line.empty())
    return -1;
  int64_t sent = monotonic_ms();
  try {
    reply = getCmdOut(line.c_str(), conf->cmd_timeout);
  } catch (const std::exception&) {
    return 0;
  }
  uint32_t ticks;
  int64_t now = monotonic_ms();
  if (!c->clockless && take_uptime(&reply, &ticks) && uptime_restarted(&c->clock, ticks, now, now - sent)) {
    c->due = c->held = true;
    return 1;
  }
  res_parse(s, reply);
  if (reply.compare(0, 16, "No Such Instance") == 0 || reply.compare(0, 14, "No Such Object") == 0)
    c->due = true;
  return !reply.empty();
}

int poll_signal(signal_t* s, const snmp_conf_t* conf) {
  switch (s->call_type) {
    case 0:
    case 1:
    case 2: {
      std::string line = make_snmp_cmd(s, conf);
      return line.empty() ? -1 : run_and_parse(s, line.c_str(), conf);  // empty: too long to run whole
    }
    case 3:
      return run_and_parse(s, s->cmd.c_str(), conf);
  }
  return -1;
}

// What a cycle saw of an agent it read by snmpget, whose every run is one GET.
struct agent_cycle_t {
  int64_t first_ms = 0;  // its first run's start, monotonic_ms
  int64_t last_ms = 0;   // its last run's end
  bool answered = false;
};
typedef std::map<agent_health_t*, agent_cycle_t> cycle_agents_t;
// When each agent's last run of snmpget ended, of any cycle.
typedef std::map<const agent_health_t*, int64_t> last_runs_t;

// A run of snmpget for s, begun at start_ms, that printed something or not (nothing: a GET lost).
static void note_get(cycle_agents_t* cycle, last_runs_t* runs, const signal_t* s, int64_t start_ms, bool printed) {
  agent_health_t* a = agent_health(s->ip_addr);
  agent_cycle_t& c = (*cycle)[a];
  int64_t now = monotonic_ms();
  (*runs)[a] = now;
  if (!c.first_ms)
    c.first_ms = start_ms;
  c.last_ms = now;
  c.answered |= printed;
  if (printed)
    a->answered_ms = now;
  else
    a->lost++;
}

// The agents' rounds of a cycle that began at start_ms, in their health: an agent read in the
// cycle before and not in this one is no longer read, and neither silent nor late.
static void note_cycle(const cycle_agents_t& cycle, std::set<agent_health_t*>* read, int64_t start_ms, int period_ms) {
  for (agent_health_t* a : *read)
    if (!cycle.count(a))
      a->silent = a->late_now = false;
  read->clear();
  for (const auto& seen : cycle) {
    agent_health_t* a = seen.first;
    const agent_cycle_t& c = seen.second;
    bool late = period_ms > 0 && c.last_ms > start_ms + period_ms;
    a->round_ms = c.last_ms - c.first_ms;
    a->silent = !c.answered;
    a->late += late;
    a->late_now = late;
    read->insert(a);
  }
}

// Reads s in its turn: an SNMP signal's run is noted in cycle, an agent's figure is written (the
// delivery's are the sender's) as of its agent's last run, so that answered_ms is the agent's own
// and not the wait for the figure's turn behind slow signals of other agents.
static void read_one(signal_t* s, const loaded_t& loaded, cycle_agents_t* cycle, last_runs_t* runs) {
  if (s->call_type == 4) {
    figure_t f = figure_named(s->health);
    const agent_health_t* a = agent_figure(f) ? agent_health(s->ip_addr) : NULL;
    auto ran = runs->find(a);
    if (a)
      write_figure(s, f, a, ran != runs->end() ? ran->second : monotonic_ms());
    return;
  }
  int64_t start = monotonic_ms();
  int printed = s->column ? poll_row(s, &loaded.conf) : poll_signal(s, &loaded.conf);
  if (s->call_type >= 0 && s->call_type <= 2 && printed >= 0)
    note_get(cycle, runs, s, start, printed);
}

static bool fetched(const signal_t* s) {
  return s->call_type >= 0 && s->call_type <= 3;  // an agent's figure comes with its SNMP signals
}

// The signals this thread reads: the whole table, or only its commands beside the engine.
static std::vector<signal_t*> polled(const table_t& table) {
  if (!builtin_engine(&table.loaded->conf))
    return table.signals;
  std::vector<signal_t*> commands;
  for (signal_t* s : table.signals)
    if (s->call_type == 3)
      commands.push_back(s);
  return commands;
}

// The uptime after a walk is the one its rows were numbered in. Its look lost (a datagram
// dropped) leaves them unread for now and walked again at the next cycle, as a restart may lie
// between; an agent that answers without one has its rows read alone.
// A walk an error cut short kept the rows of the last whole one, numbered in the life its
// uptime already holds: a restart since holds them too.
static void look_after_walk(column_t* c, const snmp_conf_t* conf, bool whole) {
  uint32_t ticks;
  int64_t sent = monotonic_ms();
  int look = agent_uptime(c, conf, &ticks);
  int64_t now = monotonic_ms();
  if (whole)
    c->clock = life_t();
  bool restarted = look > 0 && uptime_restarted(&c->clock, ticks, now, now - sent);
  c->clockless = look == 0;
  c->held = (!whole && c->held) || look < 0 || restarted;  // held for a restart: until a whole walk
  c->due |= c->held;
}

// Walks the columns of loaded that are due, by snmpwalk; true when rows changed. Rows of a
// column whose walk got no answer are not read, as its agent may come back renumbered.
static bool walk_columns(const loaded_t& loaded) {
  bool changed = false;
  for (signal_t* s : loaded.signals) {
    column_t* c = s->column;
    int64_t now = monotonic_ms();
    if (!c || !walk_due(c, &loaded.conf, now))
      continue;
    std::string why;
    std::vector<row_t> rows = walk_column(c, &loaded.conf, &why);
    changed |= take_walk(c, rows, why, now);
    if (why.empty() || why == "an error cut it short")
      look_after_walk(c, &loaded.conf, why.empty());
    else
      c->held = true;
  }
  return changed;
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

// With snmpget this thread walks the columns: it takes each reload's (reload.h) before it walks.
// Returns the file taken before, which the caller holds through the cycle: the version it reads
// may show the rows of a column of that file, which a renamed column carries over.
static std::shared_ptr<const loaded_t> take_columns(const std::shared_ptr<const loaded_t>& loaded,
                                                    std::shared_ptr<const loaded_t>* taken) {
  std::shared_ptr<const loaded_t> before = *taken;
  if (builtin_engine(&loaded->conf) || loaded == before)
    return before;
  if (before)
    take_reload(*loaded, *before);
  *taken = loaded;
  return before;
}

static bool any_column(const loaded_t& loaded) {
  return std::any_of(loaded.signals.begin(), loaded.signals.end(), [](const signal_t* s) { return s->column; });
}

// A table with nothing to fetch is looked at again only when another is published (a reload,
// rows), or, while columns without rows yet are to be walked, a second later: never every 200
// microseconds.
void* get_data(void*) {
  std::shared_ptr<const loaded_t> taken;
  std::set<agent_health_t*> read;  // the agents the last cycle read by snmpget
  last_runs_t runs;
  for (;;) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::shared_ptr<const table_t> version = table_now();  // held for the cycle
    const loaded_t& loaded = *version->loaded;
    std::shared_ptr<const loaded_t> before = take_columns(version->loaded, &taken);
    bool walking = !builtin_engine(&loaded.conf) && any_column(loaded);
    if (walking && walk_columns(loaded)) {
      publish_rows();
      version = table_now();
    }
    std::vector<signal_t*> table = polled(*version);
    if (std::none_of(table.begin(), table.end(), fetched)) {
      if (!walking) {
        wait_for_publish(version);
        continue;
      }
      sleep_rest(start, std::max(loaded.conf.poll_period, 1000));
    }
    cycle_agents_t cycle;
    for (signal_t* s : table) {
      read_one(s, loaded, &cycle, &runs);
      usleep(200);  // 200 microseconds after every signal, skipped or not
    }
    note_cycle(cycle, &read, start.tv_sec * 1000LL + start.tv_nsec / 1000000, loaded.conf.poll_period);
    if (loaded.conf.poll_period > 0)
      sleep_rest(start, loaded.conf.poll_period);
  }
}
