// Both SNMP engines side by side against one local snmpd and the same 20 signals (10 v2c,
// 10 v3 authPriv SHA-256/AES): polls per second, and CPU per reading of the polling process
// and its children. Each engine polls as the poller does (poll_signal, 200 us after each) in a
// child process for a fixed time; the rounds alternate which engine goes first.
// Usage: snmp_engines [seconds per round, default 5] [rounds, default 3]; needs snmpd and snmpget.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "bench.h"
#include "poller.h"
#include "signals.h"
#include "snmpengine.h"

static const char oid_text[] = ".1.3.6.1.4.1.99999.1.0";

// A v2c community and a v3 authPriv user, both allowed to read the one object polled.
static std::string agent_conf() {
  return "rocommunity bench 127.0.0.1\n"
         "createUser benchuser SHA-256 \"bench auth phrase\" AES \"bench priv phrase\"\n"
         "rouser benchuser priv\n"
         "override " + std::string(oid_text) + " integer 42\n";
}

static void add_signals(const std::string& address) {
  global_snmp_conf = new snmp_conf_t;
  for (int i = 0; i < 20; i++) {
    signal_t* s = new signal_t;
    s->call_type = i < 10 ? 1 : 2;
    s->value_type = 1;
    s->snmp_timeout = 1;
    s->ip_addr = address;
    s->oid = oid_text;
    s->snmp_community = "bench";
    s->snmp_user = "benchuser";
    s->snmp_sec_level = 2;
    s->snmp_auth_prot = 3;
    s->snmp_auth_pphrase = "bench auth phrase";
    s->snmp_priv_prot = 1;
    s->snmp_priv_pphrase = "bench priv phrase";
    signalsVector.push_back(s);
  }
}

// Polls like the poller or the engine's thread (one round after another, without pacing),
// counting readings of 42 in *polls; never returns.
static void poll_loop(bool builtin, std::atomic<long>* polls) {
  snmp_engine_t* engine = builtin ? snmp_engine_new(signalsVector, global_snmp_conf) : NULL;
  for (;;) {
    for (signal_t* s : signalsVector)
      s->int_value = 0;
    if (engine) {
      snmp_engine_round(engine);
    } else {
      for (signal_t* s : signalsVector) {
        poll_signal(s, global_snmp_conf);
        usleep(200);
      }
    }
    for (signal_t* s : signalsVector)
      if (s->int_value == 42)
        ++*polls;
  }
}

struct rate_t {
  double polls;   // readings per second
  double cpu_ms;  // CPU milliseconds per reading
};

static rate_t measure(bool builtin, std::atomic<long>* polls, double seconds) {
  *polls = 0;
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // so that the kill below also ends an snmpget still running
    poll_loop(builtin, polls);
  }
  usleep(1000000);  // sessions open, keys are derived, the agent warms up
  long before = *polls;
  double cpu_before = process_cpu(pid, true), start = now();
  usleep((useconds_t)(seconds * 1e6));
  long n = *polls - before;
  double cpu = process_cpu(pid, true) - cpu_before, took = now() - start;
  end_child(pid, SIGKILL, true);
  return {n / took, n ? cpu * 1000 / n : 0};
}

int main(int argc, char** argv) {
  double seconds = argc > 1 ? atof(argv[1]) : 5;
  int rounds = argc > 2 ? atoi(argv[2]) : 3;
  std::string dir = make_temp_dir("morvane-engines");
  std::string address = "127.0.0.1:" + std::to_string(free_port(SOCK_DGRAM));
  pid_t agent = start_snmpd(dir, address, agent_conf());
  await_agent(address, "bench", oid_text, 5);
  add_signals(address);
  auto* polls = (std::atomic<long>*)mmap(NULL, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
                                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  rate_t sum[2] = {};
  for (int r = 1; r <= rounds; r++) {
    rate_t got[2];
    for (int k = 0; k < 2; k++) {
      bool builtin = (k + r) % 2;
      got[builtin] = measure(builtin, polls, seconds);
    }
    printf("round %d: snmpget %.1f polls/s %.3f ms CPU/reading; builtin %.1f polls/s %.4f ms "
           "CPU/reading\n",
           r, got[0].polls, got[0].cpu_ms, got[1].polls, got[1].cpu_ms);
    for (int k = 0; k < 2; k++) {
      sum[k].polls += got[k].polls / rounds;
      sum[k].cpu_ms += got[k].cpu_ms / rounds;
    }
  }
  printf("overall: snmpget %.1f polls/s %.3f ms CPU/reading; builtin %.1f polls/s %.4f ms "
         "CPU/reading; builtin/snmpget polls %.1fx\n",
         sum[0].polls, sum[0].cpu_ms, sum[1].polls, sum[1].cpu_ms, sum[1].polls / sum[0].polls);
  stop_snmpd(agent);
  return 0;
}
