// The built-in engine on the networks operators meet, each case against the same table without
// the bad device: ten live agents beside one named by a host whose name server never answers
// (as root: a mount namespace of the benchmark's own) and beside a TCP agent that never accepts;
// a weak agent that drops GETs of more than 16 objects, one that refuses more than 10 with genErr;
// two v3 devices cloned with one engine ID at different boots; a counter's rate across a far link
// whose answers are held up at random. With --baseline, the same for another binary.
// Usage: snmp_networks [--secs S] [--only live|weak|clones|far] [--baseline BINARY] [BINARY];
// needs snmpd.
#include <arpa/inet.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"

static const char counters[] = "1.3.6.1.2.1.11.15.0";  // snmpInGetRequests
static const char int_object[] = "1.3.6.1.2.1.1.7.0";  // sysServices, an INTEGER
static double secs = 10;

static std::string at(int port) {
  return "127.0.0.1:" + std::to_string(port);
}

static void fail(const std::string& what) {
  fprintf(stderr, "snmp_networks: %s\n", what.c_str());
  exit(1);
}

// A count of the GETs an snmpd has had on port (all its ports count) that leaves out its own.
struct gets_t {
  int port;
  int reads = 0;
  double operator()() { return atol(snmp_get(at(port), "public", counters).c_str()) - reads++; }
};

// One signal of morvane.conf.
static std::string signal(int n, int call_type, const std::string& address, const std::string& oid,
                          const std::string& extra = "snmp_community = \"public\";") {
  return "{ name = \"s" + std::to_string(n) + "\"; call_type = " + std::to_string(call_type) +
         "; value_type = 1; snmp_timeout = 1; snmp_num_retries = 0; ip_addr = \"" + address +
         "\"; oid = \"" + oid + "\"; " + extra + " }";
}

static std::string conf(const std::vector<std::string>& signals) {
  std::string c = "global = { snmp_engine = \"builtin\"; poll_period = 500; };\nsignals = (\n";
  for (size_t i = 0; i < signals.size(); i++)
    c += (i ? ",\n" : "") + signals[i];
  return c + "\n);\n";
}

// Runs binary on conf and returns what count() gained a second over secs, after a warm-up.
template <typename F>
static double rate(const std::string& binary, const std::string& conf, F&& count) {
  morvane_t m;
  if (!start_morvane(&m, binary, conf, "127.0.0.1:1"))
    fail("cannot start " + binary);
  sleep(5 + 3);  // its start-up pause, and the first rounds
  double t0 = now(), c0 = count();
  usleep((useconds_t)(secs * 1e6));
  double per_second = (count() - c0) / (now() - t0);
  stop_morvane(&m);
  return per_second;
}

// --- ten live agents, a silent name server, a TCP agent that never accepts ---------------------

// As root: a mount namespace whose hosts file knows no agent and whose name server, with the
// resolver's default timeouts, never answers for it; null when it cannot be made.
static name_server_t* silent_name_server(const std::string& dir) {
  write_file(dir + "/hosts", "127.0.0.1 localhost\n");
  name_server_t* ns = geteuid() == 0 ? start_name_server(dir, "") : NULL;
  if (ns && unshare(CLONE_NEWNS) == 0 && mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) == 0 &&
      mount((dir + "/hosts").c_str(), "/etc/hosts", NULL, MS_BIND, NULL) == 0 &&
      mount((dir + "/resolv.conf").c_str(), "/etc/resolv.conf", NULL, MS_BIND, NULL) == 0)
    return ns;
  if (ns)
    stop_name_server(ns);
  return NULL;
}

static void live_agents(const std::vector<std::string>& binaries, const std::string& dir) {
  std::vector<int> ports;
  std::string addresses;
  for (int i = 0; i < 10; i++) {
    ports.push_back(free_port(SOCK_DGRAM));
    addresses += (i ? ",udp:" : "") + at(ports.back());
  }
  pid_t agent = start_snmpd(dir + "/live", addresses, "rocommunity public 127.0.0.1\n");
  if (!await_agent(at(ports[0]), "public", counters, 10))
    fail("snmpd did not answer on " + at(ports[0]));
  std::vector<std::string> live;
  for (int i = 0; i < 10; i++)
    live.push_back(signal(i, 1, at(ports[i]), int_object));
  int tcp_port;
  int listener = unaccepting_listener(&tcp_port);
  if (listener < 0)
    fail("cannot make a listener that never accepts");
  name_server_t* dns = silent_name_server(dir);
  struct {
    const char* what;
    std::string bad;
  } cases[] = {{"10 live agents alone", ""},
               {"beside an agent named by a host whose name server never answers", "ups-12.site.example:161"},
               {"beside a tcp: agent that never accepts", "tcp:" + at(tcp_port)}};
  for (const auto& c : cases) {
    if (c.bad[0] == 'u' && !dns) {
      printf("  %s: skipped (needs root, for a mount namespace and port 53)\n", c.what);
      continue;
    }
    std::vector<std::string> table = live;
    if (!c.bad.empty())
      table.push_back(signal(10, 1, c.bad, int_object));
    for (const std::string& b : binaries)
      printf("  %s, %s: %.1f GETs/s at the live agents (20 wanted)\n", c.what, b.c_str(),
             rate(b, conf(table), gets_t{ports[0]}));
    fflush(stdout);
  }
  close(listener);
  if (dns)
    stop_name_server(dns);
  stop_snmpd(agent);
}

// --- weak agents ------------------------------------------------------------------------------

// Objects the weak agent has answered, and answers that held the first object (one a round),
// shared with the benchmark.
static long* answered;
static long* rounds;

// "clock": sysUpTime.0 and a Counter64 rising 1 000 000 a second, from one read of the agent's
// clock.
static void clock_answer(netsnmp_pdu* r) {
  static const oid uptime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  uint64_t ticks = t.tv_sec * 100 + t.tv_nsec / 10000000;
  u_long tick32 = ticks & 0xffffffff;
  counter64 count = {(u_long)(ticks * 10000 >> 32), (u_long)(ticks * 10000 & 0xffffffff)};
  r->command = SNMP_MSG_RESPONSE;
  for (netsnmp_variable_list* v = r->variables; v; v = v->next_variable)
    if (snmp_oid_compare(v->name, v->name_length, uptime, 9) == 0)
      snmp_set_var_typed_value(v, ASN_TIMETICKS, &tick32, sizeof tick32);
    else
      snmp_set_var_typed_value(v, ASN_COUNTER64, &count, sizeof count);
  send_answer(r);
}

// Answers a GET with each object's last sub-identifier, unless it asks for more than limit
// objects: "drop" then ignores it, "generr" refuses it with genErr at index 0.
static int weak_answer(int op, netsnmp_session*, int, netsnmp_pdu* pdu, void*) {
  if (op != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || pdu->command != SNMP_MSG_GET)
    return 1;
  std::string how((const char*)pdu->community, pdu->community_len);
  if (how == "clock")
    return clock_answer(snmp_clone_pdu(pdu)), 1;
  long n = 0, limit = how == "drop" ? 16 : 10;
  for (netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable)
    n++;
  if (how == "drop" && n > limit)
    return 1;
  netsnmp_pdu* r = snmp_clone_pdu(pdu);
  r->command = SNMP_MSG_RESPONSE;
  bool first = false;
  for (netsnmp_variable_list* v = r->variables; v; v = v->next_variable) {
    long k = (long)v->name[v->name_length - 1];
    snmp_set_var_typed_value(v, ASN_INTEGER, &k, sizeof k);
    first = first || k == 1;
  }
  if (n > limit) {
    r->errstat = SNMP_ERR_GENERR;
  } else {
    __atomic_add_fetch(answered, n, __ATOMIC_RELAXED);
    __atomic_add_fetch(rounds, first, __ATOMIC_RELAXED);
  }
  send_answer(r);
  return 1;
}

static pid_t start_weak_agent(int port) {
  answered = (long*)mmap(NULL, 2 * sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  rounds = answered + 1;
  return start_v2c_agent(at(port), weak_answer);
}

static void weak_agents(const std::vector<std::string>& binaries) {
  int port = free_port(SOCK_DGRAM);
  pid_t agent = start_weak_agent(port);
  struct {
    const char* how;
    int objects;
  } cases[] = {{"drop", 29}, {"generr", 25}};
  for (const auto& c : cases) {
    std::vector<std::string> table;
    for (int k = 1; k <= c.objects; k++)
      table.push_back(signal(k, 1, at(port), "1.3.6.1.4.1.4242.1." + std::to_string(k),
                             "snmp_community = \"" + std::string(c.how) + "\";"));
    for (const std::string& b : binaries) {
      long a0 = 0, r0 = 0;  // at the last count, which rate takes at the start and the end
      double per_round = 0, per_second = rate(b, conf(table), [&] {
        long a = *answered, r = *rounds;
        per_round = r > r0 ? (double)(a - a0) / (r - r0) : 0;
        a0 = a, r0 = r;
        return (double)r;
      });
      printf("  %d objects of an agent that %s, %s: %.1f of %d read a round, %.2f rounds/s\n",
             c.objects, c.how[0] == 'd' ? "drops GETs of more than 16" : "refuses more than 10 with genErr",
             b.c_str(), per_round, c.objects, per_second);
    }
    fflush(stdout);
  }
  end_child(agent, SIGKILL, false);
}

// --- a far link whose answers are held up at random ---------------------------------------------

// Relays GETs to the agent on port at once and its answers back after 5 ms and up to jitter_ms
// more at random, from a new loopback port; returns that port. Runs in a child that dies with us.
static int start_jitter_relay(int port, int jitter_ms) {
  int front_port, front = bind_loopback(SOCK_DGRAM, &front_port), back = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in agent = loopback(port);
  if (front < 0 || connect(back, (sockaddr*)&agent, sizeof agent) != 0)
    fail("cannot make a relay");
  if (fork_child(SIGKILL) != 0)
    return front_port;
  std::multimap<double, std::string> due;  // answers, by when they leave
  sockaddr_in poller = {};
  socklen_t length = sizeof poller;
  char data[65536];
  for (;;) {
    pollfd p[2] = {{front, POLLIN, 0}, {back, POLLIN, 0}};
    poll(p, 2, due.empty() ? -1 : std::max(0, (int)((due.begin()->first - now()) * 1000) + 1));
    ssize_t n = p[0].revents ? recvfrom(front, data, sizeof data, 0, (sockaddr*)&poller, &length) : -1;
    if (n > 0)
      send(back, data, n, 0);
    if (p[1].revents && (n = recv(back, data, sizeof data, 0)) > 0)
      due.insert({now() + (5 + rand() % (jitter_ms + 1)) / 1000.0, std::string(data, n)});
    for (; !due.empty() && due.begin()->first <= now(); due.erase(due.begin()))
      sendto(front, due.begin()->second.data(), due.begin()->second.size(), 0, (sockaddr*)&poller, length);
  }
}

// In a thread of its own, keeps the numbers of the lines delivered on listening fd.
static void keep_numbers(int fd, std::vector<double>* numbers, std::mutex* lock) {
  std::thread([=] {
    for (int c; (c = accept(fd, NULL, NULL)) >= 0;) {
      FILE* in = fdopen(c, "r");
      char line[256];
      while (fgets(line, sizeof line, in)) {
        std::lock_guard<std::mutex> hold(*lock);
        numbers->push_back(atof(strchr(line, ' ') ? strchr(line, ' ') : line));
      }
      fclose(in);
    }
  }).detach();
}

static void jittery_link(const std::vector<std::string>& binaries) {
  int port = free_port(SOCK_DGRAM);
  pid_t agent = start_weak_agent(port);
  int server_port, server = listen_loopback(&server_port);
  std::vector<double> numbers;
  std::mutex lock;
  keep_numbers(server, &numbers, &lock);
  for (int jitter : {80, 150})
    for (const std::string& b : binaries) {
      std::string table = conf({signal(0, 1, at(start_jitter_relay(port, jitter)), "1.3.6.1.4.1.4242.9.1",
                                       "snmp_community = \"clock\"; rate = true;")});
      morvane_t m;
      if (!start_morvane(&m, b, table, at(server_port)))
        fail("cannot start " + b);
      sleep(5 + 3);  // its start-up pause, the first rounds and the agent's clock seen to keep time
      {
        std::lock_guard<std::mutex> hold(lock);
        numbers.clear();
      }
      usleep((useconds_t)(secs * 1e6));
      stop_morvane(&m);
      std::lock_guard<std::mutex> hold(lock);
      std::vector<double> rates(numbers.begin(), numbers.end());
      std::sort(rates.begin(), rates.end());
      if (rates.empty())
        fail("no rate was delivered");
      printf("  answers held up 5 to %d ms, %s: rates %.3f to %.3f of the truth (median %.3f), %zu passes\n",
             5 + jitter, b.c_str(), rates.front() / 1e6, rates.back() / 1e6, median(rates) / 1e6, rates.size());
      fflush(stdout);
    }
  close(server);
  end_child(agent, SIGKILL, false);
}

// --- cloned v3 devices ------------------------------------------------------------------------

// A clone (agents.h) on port, once it answers; it boots once more at each start.
static pid_t clone_up(const std::string& dir, int port) {
  pid_t pid = start_clone(dir, at(port), 1);
  if (!await_agent(at(port), "public", counters, 10))
    fail("a clone did not answer on " + at(port));
  return pid;
}

static void clones(const std::vector<std::string>& binaries, const std::string& dir) {
  int ports[2] = {free_port(SOCK_DGRAM), free_port(SOCK_DGRAM)};
  pid_t pids[2];
  for (int boots = 1; boots < 3; boots++)  // the second one boots three times
    stop_snmpd(clone_up(dir + "/clone1", ports[1]));
  pids[1] = clone_up(dir + "/clone1", ports[1]);
  pids[0] = clone_up(dir + "/clone0", ports[0]);
  std::string v3 = "snmp_user = \"clone\"; snmp_sec_level = 2; snmp_auth_prot = 1; snmp_priv_prot = 1;"
                   " snmp_auth_pphrase = \"clonepassphrase\"; snmp_priv_pphrase = \"clonepassphrase\";";
  std::string table = conf({signal(0, 2, at(ports[0]), int_object, v3), signal(1, 2, at(ports[1]), int_object, v3)});
  for (const std::string& b : binaries)
    for (int k = 0; k < 2; k++)
      printf("  clone %d of 2 (boots %d), %s: %.1f GETs/s answered (2 wanted)\n", k + 1, k ? 3 : 1,
             b.c_str(), rate(b, table, gets_t{ports[k]}));
  for (pid_t pid : pids)
    stop_snmpd(pid);
}

int main(int argc, char** argv) {
  std::vector<std::string> binaries;
  std::string baseline, only;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--secs" && i + 1 < argc)
      secs = atof(argv[++i]);
    else if (a == "--baseline" && i + 1 < argc)
      baseline = argv[++i];
    else if (a == "--only" && i + 1 < argc)
      only = argv[++i];
    else if (a[0] != '-')
      binaries.push_back(a);
    else
      fail("usage: snmp_networks [--secs S] [--only live|weak|clones|far] [--baseline BINARY] [BINARY]");
  }
  if (binaries.empty())
    binaries.push_back(morvane_beside_bench());
  if (!baseline.empty())
    binaries.push_back(baseline);
  for (std::string& b : binaries) {
    char* path = realpath(b.c_str(), NULL);
    if (!path)
      fail("no binary " + b);
    b = path;
    free(path);
  }
  std::string dir = make_temp_dir("morvane-networks");
  if (only.empty() || only == "live") {
    printf("live agents, period 0.5 s:\n");
    live_agents(binaries, dir);
  }
  if (only.empty() || only == "weak") {
    printf("weak agents, period 0.5 s:\n");
    weak_agents(binaries);
  }
  if (only.empty() || only == "clones") {
    printf("cloned v3 devices, period 0.5 s:\n");
    clones(binaries, dir);
  }
  if (only.empty() || only == "far") {
    printf("a far link, a Counter64 rising 1 000 000 a second as a rate, period 0.5 s:\n");
    fflush(stdout);
    jittery_link(binaries);
  }
  remove_tree(dir);
  return 0;
}
