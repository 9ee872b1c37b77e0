// morvane's built-in SNMP engine on a large table: one snmpd answering on K loopback ports
// stands in for K agents, D bound UDP sockets that are never read for silent ones, and morvane
// polls M numeric objects of each. --baseline compares another binary on the same table, --health
// the same binary with each agent's five health figures added; the two take turns, N times each.
// Usage: snmp_scale [--agents K] [--per M] [--dead D] [--period MS] [--secs S] [--warm W]
//                   [--repeats N] [--baseline BINARY | --health] [BINARY]; needs snmpd, snmpget
//                   and snmpwalk.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"

static const char usage[] =
    "usage: snmp_scale [--agents K=100] [--per M=100] [--dead D=0] [--period MS=500]\n"
    "                  [--secs S=15] [--warm W=8] [--repeats N=1]\n"
    "                  [--baseline BINARY | --health] [BINARY]\n";

// snmpInTotalReqVars and snmpInGetRequests: what the agent served, over all its ports.
static const char counter_oids[] = "1.3.6.1.2.1.11.13.0 1.3.6.1.2.1.11.15.0";
// Each reading of the counters is one GET of two objects.
static const double own_vars = 2, own_gets = 1;

// The agent figures --health adds for every agent, live and silent.
static const char* const figures[] = {"round_ms", "answered_ms", "lost", "late", "in_flight"};
static const int figures_per_agent = sizeof figures / sizeof figures[0];
// Their signums count up from here, above every polled signal's (1 to (K + D) * M).
static const long first_figure_signum = 900000000;
// With the figures, morvane's CPU should stay within this factor of its CPU without them.
static const double figures_budget = 1.03;

struct options_t {
  int agents = 100;
  int per = 100;     // objects per agent
  int dead = 0;      // silent agents
  int period = 500;  // ms; 0 leaves poll_period out of morvane.conf
  double secs = 15;
  double warm = 8;  // seconds after morvane's 5 s start-up pause before measuring
  int repeats = 1;  // measurements of each side of a comparison
  std::string binary;    // as given, for the report
  std::string baseline;  // empty: none
  bool health = false;   // compare the table with the agents' figures against without
};

// One side of a comparison: binary (an absolute path) on a morvane.conf; name for the report.
struct side_t {
  std::string name, binary, conf;
  bool figures;  // the conf has the agents' figures
};

// What the benchmark has started; kept in one place so that any exit ends it all.
struct rig_t {
  std::string dir;  // the agent's conf, log and persistent files
  agents_t agents;  // the counters are read on the first port
  std::vector<int> silent_fds;   // bound, never read
  std::vector<int> silent_ports;
  morvane_t morvane;
  int listener_port = 0;
  std::atomic<long> lines{0};  // telemetry lines delivered so far
};

// One reading of the counters that a measurement compares.
struct sample_t {
  double at;  // monotonic seconds
  uint32_t vars, gets;  // Counter32s: differences are taken modulo 2^32
  double morvane_cpu, snmpd_cpu;  // CPU seconds
  std::map<std::string, double> thread_cpu;  // morvane's CPU seconds by thread name
  long lines;
};

struct result_t {
  double objects, gets, lines;  // per second
  double morvane_core, snmpd_core;  // fractions of one core
  std::map<std::string, double> thread_core;  // morvane's, by thread name
  double threads_core;  // their sum: finer than morvane_core, but without threads that ended
  double us_per_reading;
  long rss_kb;
  double load;  // the machine's 1-minute load average at the end
};

static rig_t rig;

static void end_all() {
  stop_morvane(&rig.morvane);
  stop_snmpd(rig.agents.pid);
  for (int fd : rig.silent_fds)
    close(fd);
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
    if (a == "--health") {
      o.health = true;
      continue;
    }
    if (i + 1 == argc)
      usage_error(usage);
    const char* v = argv[++i];
    if (a == "--agents")
      o.agents = (int)number_option(usage, a, v, 1);
    else if (a == "--per")
      o.per = (int)number_option(usage, a, v, 1);
    else if (a == "--dead")
      o.dead = (int)number_option(usage, a, v, 0);
    else if (a == "--period")
      o.period = (int)number_option(usage, a, v, 0);
    else if (a == "--secs")
      o.secs = number_option(usage, a, v, 0.1);
    else if (a == "--warm")
      o.warm = number_option(usage, a, v, 0);
    else if (a == "--repeats")
      o.repeats = (int)number_option(usage, a, v, 1);
    else if (a == "--baseline")
      o.baseline = v;
    else
      usage_error(usage);
  }
  if (o.health && !o.baseline.empty())
    usage_error(usage);  // one comparison at a time
  if ((long)(o.agents + o.dead) * o.per >= first_figure_signum)
    fail("more than %ld signals: they would take the figures' signums", first_figure_signum - 1);
  if (o.binary.empty())
    o.binary = morvane_beside_bench();
  return o;
}

// Binds the silent agents' sockets; the kernel then hands their ports to no one else.
static void bind_silent_agents(int count) {
  for (int i = 0; i < count; i++) {
    int port, fd = bind_loopback(SOCK_DGRAM, &port);
    if (fd < 0)
      fail("cannot bind a silent agent's UDP socket: %s", strerror(errno));
    rig.silent_fds.push_back(fd);
    rig.silent_ports.push_back(port);
  }
}

// The numeric scalar objects of the agent's MIB-2 walk, in walk order, without the snmp group
// (1.3.6.1.2.1.11): those are the counters the measurement reads.
static std::vector<std::string> numeric_objects() {
  std::string at = loopback_address(rig.agents.ports[0]);
  std::istringstream walk(run("snmpwalk -v 2c -c public -On " + at + " 1.3.6.1.2.1 2>/dev/null"));
  std::vector<std::string> oids;
  static const char* const types[] = {"Counter32:", "Gauge32:", "INTEGER:", "Counter64:"};
  for (std::string line; std::getline(walk, line);) {
    size_t eq = line.find(" = ");
    if (line[0] != '.' || eq == std::string::npos || line.compare(0, 16, ".1.3.6.1.2.1.11.") == 0)
      continue;
    for (const char* t : types)
      if (line.compare(eq + 3, strlen(t), t) == 0)
        oids.push_back(line.substr(0, eq));
  }
  if (oids.empty())
    fail("snmpwalk of %s printed no Counter32, Gauge32, INTEGER or Counter64 object", at.c_str());
  return oids;
}

// Agent a's figure f, of the agent at the loopback port. Named "hN" as the polled signals are "sN":
// a longer name would widen the name column of every row morvane prints, and that cost with it.
static std::string figure_signal(int a, int f, int port) {
  int n = a * figures_per_agent + f;
  return "{ name = \"h" + std::to_string(n + 1) + "\"; signum = " +
         std::to_string(first_figure_signum + n) +
         "; call_type = 4; health = \"" + figures[f] + "\"; ip_addr = \"" +
         loopback_address(port) + "\"; value_type = 1; }";
}

// M signals per agent, the live agents first; the list of objects repeats when it is short. With
// with_figures, each agent's figures follow, in the same order of agents.
static std::string morvane_conf(const options_t& o, const std::vector<std::string>& oids,
                                bool with_figures) {
  std::string conf = "global = { snmp_engine = \"builtin\"; ";
  if (o.period)
    conf += "poll_period = " + std::to_string(o.period) + "; ";
  conf += "};\nsignals = (\n";
  std::vector<int> ports = rig.agents.ports;
  ports.insert(ports.end(), rig.silent_ports.begin(), rig.silent_ports.end());
  int n = 0;
  for (int port : ports)
    for (int j = 0; j < o.per; j++, n++)
      conf += (n ? ",\n" : "") + v2c_signal(n + 1, port, oids[j % oids.size()]);
  for (int a = 0; with_figures && a < (int)ports.size(); a++)
    for (int f = 0; f < figures_per_agent; f++)
      conf += ",\n" + figure_signal(a, f, ports[a]);
  return conf + "\n);\n";
}

// The agent's counters, read on its first port; a reply lost under load is asked again.
static void read_counters(sample_t* s) {
  for (int tries = 0; tries < 3; tries++) {
    check_interrupted();
    std::string reply = snmp_get(loopback_address(rig.agents.ports[0]), "public", counter_oids);
    unsigned long vars, gets;
    if (sscanf(reply.c_str(), "%lu %lu", &vars, &gets) == 2) {
      s->vars = (uint32_t)vars, s->gets = (uint32_t)gets;
      return;
    }
  }
  fail("snmpd did not answer on %s (reading its counters)",
       loopback_address(rig.agents.ports[0]).c_str());
}

// CPU seconds of pid's threads, added up by name (morvane names its workers: SNMP, sender, ...).
static std::map<std::string, double> thread_cpu(pid_t pid) {
  std::map<std::string, double> by_name;
  for (int tid : thread_ids(pid)) {
    std::string name = read_file("/proc/" + std::to_string(pid) + "/task/" +
                                 std::to_string(tid) + "/comm");
    by_name[name.substr(0, name.find('\n'))] += thread_runtime(pid, tid);
  }
  return by_name;
}

// The machine's 1-minute load average; 0 when /proc/loadavg cannot be read.
static double load_average() {
  return atof(read_file("/proc/loadavg").c_str());
}

static sample_t take_sample() {
  sample_t s;
  read_counters(&s);
  s.at = now();
  s.thread_cpu = thread_cpu(rig.morvane.pid);
  s.morvane_cpu = process_cpu(rig.morvane.pid, false);
  s.snmpd_cpu = process_cpu(rig.agents.pid, false);
  s.lines = rig.lines;
  return s;
}

static result_t compare(const sample_t& a, const sample_t& b, long rss_kb) {
  double took = b.at - a.at, vars = (uint32_t)(b.vars - a.vars) - own_vars;
  double cpu = b.morvane_cpu - a.morvane_cpu;
  result_t r;
  r.objects = vars / took;
  r.gets = ((uint32_t)(b.gets - a.gets) - own_gets) / took;
  r.lines = (b.lines - a.lines) / took;
  r.morvane_core = cpu / took;
  r.snmpd_core = (b.snmpd_cpu - a.snmpd_cpu) / took;
  for (const auto& t : b.thread_cpu) {  // a name gone by b is left out
    auto before = a.thread_cpu.find(t.first);
    double since = before == a.thread_cpu.end() ? 0 : before->second;
    r.thread_core[t.first] = (t.second - since) / took;
  }
  r.threads_core = 0;
  for (const auto& t : r.thread_core)
    r.threads_core += t.second;
  r.us_per_reading = vars > 0 ? cpu / vars * 1e6 : 0;
  r.rss_kb = rss_kb;
  r.load = load_average();
  return r;
}

// Runs side's binary on its conf and measures it.
static result_t measure(const options_t& o, const side_t& side) {
  if (!start_morvane(&rig.morvane, side.binary, side.conf, loopback_address(rig.listener_port)))
    fail("cannot start %s", side.name.c_str());
  pause_for(5 + o.warm);
  check_running(&rig.morvane, side.name, "before the measurement");
  sample_t a = take_sample();
  pause_for(o.secs);
  sample_t b = take_sample();
  long rss_kb = resident_kb(rig.morvane.pid);
  check_running(&rig.morvane, side.name, "during the measurement");
  stop_morvane(&rig.morvane);
  return compare(a, b, rss_kb);
}

// "SNMP 20.1% display 3.2% ...": morvane's threads by name, in percent of a core.
static std::string by_thread(const std::map<std::string, double>& core) {
  std::string text;
  char one[96];
  for (const auto& t : core) {
    snprintf(one, sizeof one, "%s%s %.2f%%", text.empty() ? "" : " ", t.first.c_str(),
             100 * t.second);
    text += one;
  }
  return text;
}

static void report(const options_t& o, const side_t& side, const result_t& r) {
  char period[32] = "unset", refresh[64] = "table never refreshed", figured[48] = "";
  if (o.period)
    snprintf(period, sizeof period, "%d ms", o.period);
  if (r.objects > 0)
    snprintf(refresh, sizeof refresh, "table refreshed every %.3f s", o.agents * o.per / r.objects);
  if (side.figures)
    snprintf(figured, sizeof figured, " and %d health figures",
             (o.agents + o.dead) * figures_per_agent);
  printf("morvane %s: %d live signals on %d agents (+%d silent)%s, period %s: %.0f objects/s in "
         "%.0f GETs/s, %s, morvane %.2f%% of a core (%.1f us/reading; threads %s), snmpd %.1f%%, "
         "%.0f lines/s delivered, rss %.0f MB, load %.2f\n",
         side.name.c_str(), o.agents * o.per, o.agents, o.dead, figured, period, r.objects, r.gets,
         refresh, 100 * r.morvane_core, r.us_per_reading, by_thread(r.thread_core).c_str(),
         100 * r.snmpd_core, r.lines, r.rss_kb / 1024.0, r.load);
  fflush(stdout);
}

// Measures each side o.repeats times, the sides taking turns in the order a b, b a, a b, ... so
// that a drift of the machine's load weighs on them alike; reports each measurement as it ends.
// results[i] are side i's, round by round.
static void take_turns(const options_t& o, const std::vector<side_t>& sides,
                       std::vector<std::vector<result_t>>* results) {
  results->assign(sides.size(), {});
  for (int round = 0; round < o.repeats; round++)
    for (size_t k = 0; k < sides.size(); k++) {
      size_t i = round % 2 ? sides.size() - 1 - k : k;
      (*results)[i].push_back(measure(o, sides[i]));
      report(o, sides[i], (*results)[i].back());
    }
}

// a / b as "1.23x"; "n/a" when b is not positive.
static std::string times(double a, double b) {
  char text[32] = "n/a";
  if (b > 0)
    snprintf(text, sizeof text, "%.2fx", a / b);
  return text;
}

// The median of field over results.
static double median_of(const std::vector<result_t>& results, double result_t::*field) {
  std::vector<double> v;
  for (const result_t& r : results)
    v.push_back(r.*field);
  return median(v);
}

// The median share of a core of morvane's thread name over results (0 where it had none).
static double thread_median(const std::vector<result_t>& results, const std::string& name) {
  std::vector<double> v;
  for (const result_t& r : results)
    v.push_back(r.thread_core.count(name) ? r.thread_core.at(name) : 0);
  return median(v);
}

// The binary against the baseline, medians against medians.
static void compare_baseline(const options_t& o, const std::vector<std::vector<result_t>>& r) {
  printf("%s against %s: %s the objects/s, %s the CPU per reading\n", o.binary.c_str(),
         o.baseline.c_str(),
         times(median_of(r[0], &result_t::objects), median_of(r[1], &result_t::objects)).c_str(),
         times(median_of(r[0], &result_t::us_per_reading),
               median_of(r[1], &result_t::us_per_reading)).c_str());
}

// Each round's field with the figures (r[1]) over field without (r[0]): the two measurements of a
// round are next to each other in time; 0 for a round without CPU to compare with.
static std::vector<double> round_ratios(const std::vector<std::vector<result_t>>& r,
                                        double result_t::*field) {
  std::vector<double> ratios;
  for (size_t i = 0; i < r[0].size(); i++)
    ratios.push_back(r[0][i].*field > 0 ? r[1][i].*field / r[0][i].*field : 0);
  return ratios;
}

// "1.012 0.987 ...".
static std::string listed(const std::vector<double>& v) {
  std::string text;
  char one[32];
  for (double x : v) {
    snprintf(one, sizeof one, "%s%.3f", text.empty() ? "" : " ", x);
    text += one;
  }
  return text;
}

// With the figures (r[1]) against without (r[0]): morvane's CPU, by round and as the ratio of the
// medians; the same from its threads' run times; then where it went by thread, and what was
// polled and delivered.
static void compare_figures(const std::vector<std::vector<result_t>>& r) {
  std::vector<double> rounds = round_ratios(r, &result_t::morvane_core);
  double ratio = median(rounds);
  double without = median_of(r[0], &result_t::morvane_core);
  double with = median_of(r[1], &result_t::morvane_core);
  printf("with the health figures against without, median of %zu each: morvane %.2f%% against "
         "%.2f%% of a core, %.3fx by round (%s the medians): %s %.0f%%\n",
         r[0].size(), 100 * with, 100 * without, ratio, times(with, without).c_str(),
         ratio <= figures_budget ? "within" : "over", 100 * (figures_budget - 1));
  std::vector<double> by_threads = round_ratios(r, &result_t::threads_core);
  printf("  rounds: %s; from the threads' run times %.3fx by round (%s)\n", listed(rounds).c_str(),
         median(by_threads), listed(by_threads).c_str());
  std::map<std::string, double> names = r[0][0].thread_core;
  names.insert(r[1][0].thread_core.begin(), r[1][0].thread_core.end());
  printf("  threads, %% of a core without -> with:");
  for (const auto& t : names)
    printf(" %s %.2f -> %.2f", t.first.c_str(), 100 * thread_median(r[0], t.first),
           100 * thread_median(r[1], t.first));
  printf("\n  objects/s %.0f -> %.0f, lines/s delivered %.0f -> %.0f\n",
         median_of(r[0], &result_t::objects), median_of(r[1], &result_t::objects),
         median_of(r[0], &result_t::lines), median_of(r[1], &result_t::lines));
}

int main(int argc, char** argv) {
  options_t o = parse_options(argc, argv);
  std::string binary = runnable(o.binary);
  std::string baseline = o.baseline.empty() ? "" : runnable(o.baseline);
  catch_interrupts();
  atexit(end_all);
  rig.dir = make_temp_dir("morvane-scale");
  drain_lines(listen_loopback(&rig.listener_port), &rig.lines);
  bind_silent_agents(o.dead);
  start_agents(&rig.agents, rig.dir, o.agents, "rocommunity public 127.0.0.1\n");
  std::vector<std::string> oids = numeric_objects();
  std::string conf = morvane_conf(o, oids, false);
  std::vector<side_t> sides = {{o.binary, binary, conf, false}};
  if (!o.baseline.empty())
    sides.push_back({o.baseline, baseline, conf, false});
  if (o.health)
    sides.push_back({o.binary + " +health", binary, morvane_conf(o, oids, true), true});
  std::vector<std::vector<result_t>> results;
  take_turns(o, sides, &results);
  if (!o.baseline.empty())
    compare_baseline(o, results);
  if (o.health)
    compare_figures(results);
  return 0;
}
