// morvane's built-in SNMP engine on a large table: one snmpd answering on K loopback ports
// stands in for K agents, D bound UDP sockets that are never read for silent ones, and morvane
// polls M numeric objects of each. With --baseline, a second binary is measured the same way.
// Usage: snmp_scale [--agents K] [--per M] [--dead D] [--period MS] [--secs S] [--warm W]
//                   [--baseline BINARY] [BINARY]; needs snmpd, snmpget and snmpwalk.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"

static const char usage[] =
    "usage: snmp_scale [--agents K=100] [--per M=100] [--dead D=0] [--period MS=500]\n"
    "                  [--secs S=15] [--warm W=8] [--baseline BINARY] [BINARY]\n";

// snmpInTotalReqVars and snmpInGetRequests: what the agent served, over all its ports.
static const char counter_oids[] = "1.3.6.1.2.1.11.13.0 1.3.6.1.2.1.11.15.0";
// Each reading of the counters is one GET of two objects.
static const double own_vars = 2, own_gets = 1;

struct options_t {
  int agents = 100;
  int per = 100;     // objects per agent
  int dead = 0;      // silent agents
  int period = 500;  // ms; 0 leaves poll_period out of morvane.conf
  double secs = 15;
  double warm = 8;  // seconds after morvane's 5 s start-up pause before measuring
  std::string binary;    // as given, for the report
  std::string baseline;  // empty: none
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
  long lines;
};

struct result_t {
  double objects, gets, lines;  // per second
  double morvane_core, snmpd_core;  // fractions of one core
  double us_per_reading;
  long rss_kb;
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
    else if (a == "--baseline")
      o.baseline = v;
    else
      usage_error(usage);
  }
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

// M signals per agent, the live agents first; the list of objects repeats when it is short.
static std::string morvane_conf(const options_t& o, const std::vector<std::string>& oids) {
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

static sample_t take_sample() {
  sample_t s;
  read_counters(&s);
  s.at = now();
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
  r.us_per_reading = vars > 0 ? cpu / vars * 1e6 : 0;
  r.rss_kb = rss_kb;
  return r;
}

// Runs binary (an absolute path; name for messages) on conf and measures it.
static result_t measure(const options_t& o, const std::string& binary, const std::string& name,
                        const std::string& conf) {
  if (!start_morvane(&rig.morvane, binary, conf, loopback_address(rig.listener_port)))
    fail("cannot start %s", name.c_str());
  pause_for(5 + o.warm);
  check_running(&rig.morvane, name, "before the measurement");
  sample_t a = take_sample();
  pause_for(o.secs);
  sample_t b = take_sample();
  long rss_kb = resident_kb(rig.morvane.pid);
  check_running(&rig.morvane, name, "during the measurement");
  stop_morvane(&rig.morvane);
  return compare(a, b, rss_kb);
}

static void report(const options_t& o, const std::string& binary, const result_t& r) {
  char period[32] = "unset", refresh[64] = "table never refreshed";
  if (o.period)
    snprintf(period, sizeof period, "%d ms", o.period);
  if (r.objects > 0)
    snprintf(refresh, sizeof refresh, "table refreshed every %.3f s", o.agents * o.per / r.objects);
  printf("morvane %s: %d live signals on %d agents (+%d silent), period %s: %.0f objects/s in "
         "%.0f GETs/s, %s, morvane %.1f%% of a core (%.1f us/reading), snmpd %.1f%%, %.0f "
         "lines/s delivered, rss %.0f MB\n",
         binary.c_str(), o.agents * o.per, o.agents, o.dead, period, r.objects, r.gets, refresh,
         100 * r.morvane_core, r.us_per_reading, 100 * r.snmpd_core, r.lines, r.rss_kb / 1024.0);
  fflush(stdout);
}

// a / b as "1.23x"; "n/a" when b is not positive.
static std::string times(double a, double b) {
  char text[32] = "n/a";
  if (b > 0)
    snprintf(text, sizeof text, "%.2fx", a / b);
  return text;
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
  std::string conf = morvane_conf(o, numeric_objects());
  result_t first = measure(o, binary, o.binary, conf);
  report(o, o.binary, first);
  if (o.baseline.empty())
    return 0;
  result_t base = measure(o, baseline, o.baseline, conf);
  report(o, o.baseline, base);
  printf("%s against %s: %s the objects/s, %s the CPU per reading\n", o.binary.c_str(),
         o.baseline.c_str(), times(first.objects, base.objects).c_str(),
         times(first.us_per_reading, base.us_per_reading).c_str());
  return 0;
}
