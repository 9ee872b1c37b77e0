// What a hangup's reload of morvane.conf costs the deliveries of a large built-in table (K agents
// of M objects, one snmpd on K loopback ports), against quitting and starting morvane again on
// the new file: the two files differ by a signal added, one removed and one changed.
// Usage: reload [--agents K] [--per M] [--times N] [--window S] [--warm W]
//               [--baseline BINARY] [BINARY]; needs snmpd and snmpget.
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "bench.h"

static const char usage[] =
    "usage: reload [--agents K=100] [--per M=100] [--times N=5] [--window S=10] [--warm W=5]\n"
    "              [--baseline BINARY] [BINARY]\n";

// The window of deliveries looked at starts this long before the hangup or the "q".
static const double lead = 1;
// morvane's CPU is compared over this long after the hangup and this long before it.
static const double cpu_span = 2;
// A window is read once its last pass has surely been followed by the next (seconds).
static const double settle = 1;
// Give up on a change of file when its new table has no whole pass this long after it.
static const double new_table_limit = 30;
// The table's first signal in both files: a pass starts at its readings.
static const int first_signum = 1;

struct options_t {
  int agents = 100;
  int per = 100;  // objects per agent
  int times = 5;  // reloads, and restarts
  double window = 10;  // seconds of deliveries looked at for each change
  double warm = 5;  // seconds after morvane's 5 s start-up pause before the first measurement
  std::string binary;    // as given, for the report
  std::string baseline;  // empty: none
};

// One of the two files morvane is switched between, and what a pass of it delivers.
struct table_file_t {
  std::string text;
  std::vector<int> signums;
  float changed_value;  // what the changed signal reads in it
};

// The two files, and what both have alike.
struct tables_t {
  table_file_t file[2];
  std::vector<int> kept;  // signals of both files, with the same settings in both
  int changed;            // signum of the signal whose object differs
};

// One pass as it arrived: a pass starts at the first signal's readings, or on a new connection.
struct pass_t {
  double start, end;         // monotonic seconds its first and its last line arrived
  std::vector<float> value;  // by signum; NAN where it delivered none
  long readings = 0;         // signals it delivered, each put twice
};

// What the listener has got, cut into passes; the main thread reads it under lock.
struct deliveries_t {
  std::mutex lock;
  std::vector<pass_t> passes;
  long conn = 0;     // connection of the last line
  int last = 0;      // signum of the last line
  int max_signum = 0;
};

// What the deliveries of one window held.
struct window_t {
  int passes = 0;           // whole passes in it
  int missing = 0;          // of those, passes that lack a kept signal
  long readings = 0;        // readings they delivered
  double longest_gap = 0;   // seconds between the starts of two passes, at most
};

// One change of file, by a hangup or by a restart, timed from the hangup or the "q".
struct trial_t {
  double to_reloaded = NAN;  // seconds to the "reloaded" line
  double to_new = 0;         // seconds to the last line of the first whole pass of the new file
  window_t window;
  double cpu = NAN, steady_cpu = NAN;  // morvane's CPU, share of a core after and before it
};

// What the benchmark has started; kept in one place so that any exit ends it all.
struct rig_t {
  std::string dir;  // the agent's conf, log and persistent files
  agents_t agents;
  morvane_t morvane;
  int listener_port = 0;
};

static rig_t rig;
static deliveries_t got;

static void end_all() {
  stop_morvane(&rig.morvane);
  stop_snmpd(rig.agents.pid);
  remove_tree(rig.dir);
}

static options_t parse_options(int argc, char** argv) {
  options_t o;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a[0] != '-' && o.binary.empty()) {
      o.binary = a;
      continue;
    }
    if (i + 1 == argc)
      usage_error(usage);
    const char* v = argv[++i];
    if (a == "--agents")
      o.agents = (int)number_option(usage, a, v, 1);
    else if (a == "--per")
      o.per = (int)number_option(usage, a, v, 4);  // the middle signal is not the first
    else if (a == "--times")
      o.times = (int)number_option(usage, a, v, 1);
    else if (a == "--window")
      o.window = number_option(usage, a, v, 3);
    else if (a == "--warm")
      o.warm = number_option(usage, a, v, 0);
    else if (a == "--baseline")
      o.baseline = v;
    else
      usage_error(usage);
  }
  if (o.binary.empty())
    o.binary = morvane_beside_bench();
  return o;
}

// Object j of every agent reads j; object M + 1 is the one the changed signal moves to.
static std::string object(int j) {
  return ".1.3.6.1.4.1.99999." + std::to_string(j) + ".0";
}

static std::string agent_conf(int per) {
  std::string conf = "rocommunity public 127.0.0.1\n";
  for (int j = 1; j <= per + 1; j++)
    conf += "override " + object(j) + " integer " + std::to_string(j) + "\n";
  return conf;
}

// Signals 1 to K*M read object j of agent i in turn. File 0 has them all; file 1 has K*M + 1
// on the last agent's object M + 1 in place of the last, and reads the middle one from its
// agent's object M + 1.
static table_file_t table_file(int which, const options_t& o, int changed) {
  table_file_t f;
  int count = o.agents * o.per;
  f.text = "global = { snmp_engine = \"builtin\"; poll_period = 500; display = \"none\"; "
           "stale_after = 5000; };\nsignals = (\n";
  for (int n = 1; n <= count; n++) {
    int port = rig.agents.ports[(n - 1) / o.per], j = (n - 1) % o.per + 1, signum = n;
    if (which == 1 && n == changed)
      j = o.per + 1;
    if (which == 1 && n == count)
      signum = count + 1, j = o.per + 1;
    if (n == changed)
      f.changed_value = (float)j;
    f.text += (n > 1 ? ",\n" : "") + v2c_signal(signum, port, object(j));
    f.signums.push_back(signum);
  }
  f.text += "\n);\n";
  return f;
}

static tables_t make_tables(const options_t& o) {
  tables_t t;
  t.changed = o.agents * o.per / 2;
  for (int which : {0, 1})
    t.file[which] = table_file(which, o, t.changed);
  got.max_signum = o.agents * o.per + 1;
  std::vector<bool> in_second(got.max_signum + 1);
  for (int n : t.file[1].signums)
    in_second[n] = true;
  for (int n : t.file[0].signums)
    if (n != t.changed && in_second[n])
      t.kept.push_back(n);
  return t;
}

// --- the listener ----------------------------------------------------------------------------

// Adds a line "signal.N VALUE TIME" to the passes; other lines are left out.
static void take_line(long conn, const std::string& line, double at) {
  char* end;
  if (line.compare(0, 7, "signal.") != 0)
    return;
  long n = strtol(line.c_str() + 7, &end, 10);
  float v = strtof(end, NULL);
  std::lock_guard<std::mutex> hold(got.lock);
  if (n < 1 || n > got.max_signum)
    return;
  if (got.passes.empty() || conn != got.conn || (n == first_signum && got.last != first_signum))
    got.passes.push_back(pass_t{at, at, std::vector<float>(got.max_signum + 1, NAN), 0});
  pass_t& p = got.passes.back();
  p.readings += isnan(p.value[n]);
  p.value[n] = v;
  p.end = at;
  got.conn = conn;
  got.last = (int)n;
}

// --- what the passes hold --------------------------------------------------------------------

// True when p delivered every signal of f, the changed one with f's object.
static bool delivers_file(const pass_t& p, const table_file_t& f, int changed) {
  for (int n : f.signums)
    if (isnan(p.value[n]))
      return false;
  return p.value[changed] == f.changed_value;
}

static bool misses_kept(const pass_t& p, const tables_t& t) {
  for (int n : t.kept)
    if (isnan(p.value[n]))
      return true;
  return false;
}

// The end of the first whole pass of f that started from since; 0 when none has ended yet.
// Under got.lock.
static double first_whole_pass(double since, const table_file_t& f, int changed) {
  size_t whole = got.passes.empty() ? 0 : got.passes.size() - 1;  // the last one goes on yet
  size_t i = whole;
  while (i > 0 && got.passes[i - 1].start >= since)
    i--;
  for (; i < whole; i++)
    if (delivers_file(got.passes[i], f, changed))
      return got.passes[i].end;
  return 0;
}

// The whole passes that started from `from` and ended, with the next one started, by `to`.
static window_t window_between(double from, double to, const tables_t& t) {
  std::lock_guard<std::mutex> hold(got.lock);
  window_t w;
  for (size_t i = 0; i + 1 < got.passes.size(); i++) {
    const pass_t &p = got.passes[i], &next = got.passes[i + 1];
    if (p.start < from || next.start > to)
      continue;
    w.passes++;
    w.missing += misses_kept(p, t);
    w.readings += p.readings;
    w.longest_gap = std::max(w.longest_gap, next.start - p.start);
  }
  return w;
}

// --- driving morvane -------------------------------------------------------------------------

static void pause_until(double at) {
  pause_for(at - now());
}

// morvane's CPU seconds, and when they were read.
struct cpu_t {
  double at, used;
};

static cpu_t morvane_cpu() {
  return cpu_t{now(), process_cpu(rig.morvane.pid, false)};
}

static double share_of_core(const cpu_t& a, const cpu_t& b) {
  return (b.used - a.used) / (b.at - a.at);
}

// Seconds from since to the end of the first whole pass of f; fails after new_table_limit.
static double await_new_table(double since, const table_file_t& f, int changed,
                              const std::string& name) {
  for (;;) {
    check_running(&rig.morvane, name, "while the new table was awaited");
    double end;
    {
      std::lock_guard<std::mutex> hold(got.lock);
      end = first_whole_pass(since, f, changed);
    }
    if (end > 0)
      return end - since;
    if (now() - since > new_table_limit)
      fail("%s delivered no whole pass of the new morvane.conf within %.0f s", name.c_str(),
           new_table_limit);
    pause_for(0.01);
  }
}

// How many lines of morvane's standard error hold what.
static int count_in_err(const char* what) {
  std::string err = read_file(rig.morvane.dir + "/err");
  int count = 0;
  for (size_t at = 0; (at = err.find(what, at)) != std::string::npos; at++)
    count++;
  return count;
}

// Seconds from since to a "reloaded" line past the first `before` of them, read every 1 ms.
static double await_reloaded(double since, int before, const std::string& name) {
  for (;;) {
    if (count_in_err("reloaded:") > before)
      return now() - since;
    if (count_in_err("refused") > 0)
      fail("%s refused the new morvane.conf; see %s/err", name.c_str(), rig.morvane.dir.c_str());
    check_running(&rig.morvane, name, "during a reload");
    if (now() - since > new_table_limit)
      fail("%s printed no \"reloaded\" line within %.0f s of the hangup", name.c_str(),
           new_table_limit);
    usleep(1000);
  }
}

static void start(const std::string& binary, const std::string& name, const table_file_t& f,
                  const options_t& o) {
  rig.morvane.keep_err = true;
  if (!start_morvane(&rig.morvane, binary, f.text, loopback_address(rig.listener_port)))
    fail("cannot start %s", name.c_str());
  pause_for(5 + o.warm);
  check_running(&rig.morvane, name, "before the measurement");
}

// The deliveries of one window of steady polling, from now on.
static window_t steady(const options_t& o, const tables_t& t) {
  double from = now();
  pause_for(o.window + settle);
  return window_between(from, from + o.window, t);
}

// Reloads into file `to` with a hangup.
static trial_t reload(int to, int done, const options_t& o, const tables_t& t) {
  trial_t r;
  write_file(rig.morvane.dir + "/morvane.conf", t.file[to].text);
  cpu_t before = morvane_cpu();
  pause_for(cpu_span);
  cpu_t at_hangup = morvane_cpu();
  double t0 = at_hangup.at;
  kill(rig.morvane.pid, SIGHUP);
  r.to_reloaded = await_reloaded(t0, done, o.binary);
  pause_until(t0 + cpu_span);
  r.cpu = share_of_core(at_hangup, morvane_cpu());
  r.steady_cpu = share_of_core(before, at_hangup);
  r.to_new = await_new_table(t0, t.file[to], t.changed, o.binary);
  pause_until(t0 - lead + o.window + settle);
  r.window = window_between(t0 - lead, t0 - lead + o.window, t);
  return r;
}

// Quits morvane and starts binary again in its dir on file `to`.
static trial_t restart(int to, const std::string& binary, const std::string& name,
                       const options_t& o, const tables_t& t) {
  trial_t r;
  pause_for(lead);  // the window leaves out the last one's passes
  double t0 = now();
  quit_morvane(&rig.morvane);
  write_file(rig.morvane.dir + "/morvane.conf", t.file[to].text);
  if (!restart_morvane(&rig.morvane, binary, loopback_address(rig.listener_port)))
    fail("cannot start %s again", name.c_str());
  r.to_new = await_new_table(t0, t.file[to], t.changed, name);
  pause_until(t0 - lead + o.window + settle);
  r.window = window_between(t0 - lead, t0 - lead + o.window, t);
  return r;
}

// --- the report ------------------------------------------------------------------------------

// min, median and max of v times scale, shown with one decimal when a unit is given.
static void row(const char* what, std::vector<double> v, double scale, const char* unit) {
  std::vector<double> kept;
  for (double x : v)
    if (!isnan(x))
      kept.push_back(x * scale);
  if (kept.empty())
    return;
  int d = *unit ? 1 : 0;
  printf("  %-48s %9.*f %9.*f %9.*f%s%s\n", what, d, *std::min_element(kept.begin(), kept.end()),
         d, median(kept), d, *std::max_element(kept.begin(), kept.end()), *unit ? "  " : "", unit);
}

static void heading() {
  printf("%-50s %9s %9s %9s\n", "", "min", "median", "max");
}

// One field of each trial, as a double.
template <typename F>
static std::vector<double> each(const std::vector<trial_t>& trials, F&& field) {
  std::vector<double> v;
  for (const trial_t& r : trials)
    v.push_back((double)field(r));
  return v;
}

static void report_window(const std::vector<trial_t>& trials) {
  row("whole passes in the window", each(trials, [](const trial_t& r) { return r.window.passes; }),
      1, "");
  row("passes missing a signal of both files",
      each(trials, [](const trial_t& r) { return r.window.missing; }), 1, "");
  row("readings delivered in the window",
      each(trials, [](const trial_t& r) { return r.window.readings; }), 1, "");
  row("longest time between pass starts",
      each(trials, [](const trial_t& r) { return r.window.longest_gap; }), 1e3, "ms");
}

static void report_steady(const std::string& name, const window_t& w, const options_t& o) {
  printf("%s, steady polling for %.0f s: %d whole passes, %d missing a signal, %ld readings, "
         "longest time between pass starts %.0f ms\n",
         name.c_str(), o.window, w.passes, w.missing, w.readings, w.longest_gap * 1e3);
}

static void report_reloads(const std::string& name, const std::vector<trial_t>& trials) {
  printf("%s, %d reloads by hangup, windows from %.0f s before it:\n", name.c_str(),
         (int)trials.size(), lead);
  heading();
  row("hangup to the \"reloaded\" line",
      each(trials, [](const trial_t& r) { return r.to_reloaded; }), 1e3, "ms");
  row("hangup to the first whole pass of the new file",
      each(trials, [](const trial_t& r) { return r.to_new; }), 1e3, "ms");
  report_window(trials);
  row("morvane CPU, 2 s after the hangup", each(trials, [](const trial_t& r) { return r.cpu; }),
      100, "% of a core");
  row("morvane CPU, 2 s before it (steady polling)",
      each(trials, [](const trial_t& r) { return r.steady_cpu; }), 100, "% of a core");
}

static void report_restarts(const std::string& name, const std::vector<trial_t>& trials) {
  printf("%s, %d restarts (\"q\", then started again), windows from %.0f s before the \"q\":\n",
         name.c_str(), (int)trials.size(), lead);
  heading();
  row("\"q\" to the first whole pass of the new file",
      each(trials, [](const trial_t& r) { return r.to_new; }), 1e3, "ms");
  report_window(trials);
}

// --- the run ---------------------------------------------------------------------------------

// Restarts of binary (an absolute path; name for messages), first started on file 0.
static void measure_restarts(const std::string& binary, const std::string& name,
                             const options_t& o, const tables_t& t) {
  start(binary, name, t.file[0], o);
  report_steady(name, steady(o, t), o);
  std::vector<trial_t> restarts;
  for (int i = 0; i < o.times; i++)
    restarts.push_back(restart((i + 1) % 2, binary, name, o, t));
  stop_morvane(&rig.morvane);
  report_restarts(name, restarts);
  fflush(stdout);
}

int main(int argc, char** argv) {
  options_t o = parse_options(argc, argv);
  std::string binary = runnable(o.binary);
  std::string baseline = o.baseline.empty() ? "" : runnable(o.baseline);
  catch_interrupts();
  atexit(end_all);
  rig.dir = make_temp_dir("morvane-reload");
  read_lines(listen_loopback(&rig.listener_port), take_line);
  start_agents(&rig.agents, rig.dir, o.agents, agent_conf(o.per));
  tables_t t = make_tables(o);
  printf("%d signals on %d agents, poll_period 500 ms, built-in engine; the files differ by 1 "
         "signal added, 1 removed, 1 changed; windows of %.0f s\n",
         o.agents * o.per, o.agents, o.window);
  start(binary, o.binary, t.file[0], o);
  report_steady(o.binary, steady(o, t), o);
  std::vector<trial_t> reloads;
  for (int i = 0; i < o.times; i++)
    reloads.push_back(reload((i + 1) % 2, i, o, t));
  stop_morvane(&rig.morvane);
  report_reloads(o.binary, reloads);
  fflush(stdout);
  measure_restarts(binary, o.binary, o, t);
  if (!o.baseline.empty())
    measure_restarts(baseline, o.baseline, o, t);
  return 0;
}
