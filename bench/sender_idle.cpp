// CPU that a running morvane uses per second of wall time with 20 numeric signals and a
// listening server, measured from the kernel's run-time counters of each of its threads.
// Run: build/bench/sender_idle [seconds]   (it starts build/morvane beside the bench dir)
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "bench.h"

// On-CPU nanoseconds of each thread of pid, in thread id order (main, poller, sender, display).
static std::vector<long long> thread_ns(pid_t pid) {
  std::vector<long long> ns;
  for (int tid : thread_ids(pid)) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat");
    long long run = 0;
    f >> run;
    ns.push_back(run);
  }
  return ns;
}

// Numeric signals that are never fetched: the sender delivers them, the poller runs nothing.
static std::string config() {
  std::string c = "signals = (\n";
  for (int i = 1; i <= 20; i++)
    c += "  { name = \"s" + std::to_string(i) + "\"; signum = " + std::to_string(i) +
         "; call_type = 9; value_type = 0; }" + (i < 20 ? ",\n" : "\n");
  return c + ");\n";
}

int main(int argc, char** argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 20;
  static std::atomic<long> lines_received{0};
  int port;
  drain_lines(listen_loopback(&port), &lines_received);
  morvane_t m;
  if (!start_morvane(&m, morvane_beside_bench(), config(), "127.0.0.1:" + std::to_string(port)))
    return 1;
  sleep(7);  // the 5 s start-up pause and the first passes
  std::vector<long long> t0 = thread_ns(m.pid);
  long l0 = lines_received;
  double w0 = now();
  sleep(seconds);
  std::vector<long long> t1 = thread_ns(m.pid);
  long l1 = lines_received;
  double wall = now() - w0;
  stop_morvane(&m);

  const char* const names[] = {"main", "poller", "sender", "display"};
  long long total = 0;
  for (size_t i = 0; i < t1.size() && i < t0.size(); i++) {
    long long d = t1[i] - t0[i];
    total += d;
    printf("%-8s %8.4f%% of one core\n", i < 4 ? names[i] : "other", d / 1e9 / wall * 100);
  }
  printf("process  %8.4f%% of one core over %.1f s; %ld lines received (%.1f passes of 40)\n",
         total / 1e9 / wall * 100, wall, l1 - l0, (l1 - l0) / 40.0);
  return 0;
}
