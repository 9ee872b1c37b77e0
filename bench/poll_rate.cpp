// Polls per second of the real poller (get_data) against a bare popen/fgets/pclose + usleep(200)
// loop over the same quick shell commands. Each loop runs in a child process for a fixed time;
// every command appends 2 bytes to a file, so the file's growth counts the polls.
// Usage: poll_rate [seconds per round, default 5] [rounds, default 3]
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "bench.h"
#include "poller.h"
#include "signals.h"

static const int signal_count = 10;

static std::string command_for(const std::string& count_file) {
  return "echo 1 >> " + count_file + "; echo 42";
}

static void bare_loop(const std::string& cmd) {
  for (;;) {
    for (int i = 0; i < signal_count; i++) {
      FILE* f = popen(cmd.c_str(), "r");
      char buf[200];
      if (f) {
        while (fgets(buf, sizeof buf, f)) {
        }
        pclose(f);
      }
      usleep(200);
    }
  }
}

static void poller_loop(const std::string& cmd) {
  global_snmp_conf = new snmp_conf_t;
  for (int i = 0; i < signal_count; i++) {
    signal_t* s = new signal_t;
    s->call_type = 3;
    s->cmd = cmd;
    s->value_type = i % 4;
    signalsVector.push_back(s);
  }
  get_data(NULL);
}

static long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Polls per second and the looping process's own CPU seconds per second.
struct rate_t {
  double polls;
  double cpu;
};

// Runs loop in a child for seconds (after a half-second warm-up).
static rate_t measure(void (*loop)(const std::string&), const std::string& count_file,
                      double seconds) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // so that the kill below also ends a command still running
    loop(command_for(count_file));
    _exit(0);
  }
  usleep(500000);
  long before = file_size(count_file);
  double cpu_before = process_cpu(pid, false);
  double start = now();
  usleep((useconds_t)(seconds * 1e6));
  long after = file_size(count_file);
  double cpu = process_cpu(pid, false) - cpu_before;
  double took = now() - start;
  end_child(pid, SIGKILL, true);
  return {(after - before) / 2 / took, cpu / took};
}

int main(int argc, char** argv) {
  double seconds = argc > 1 ? atof(argv[1]) : 5;
  int rounds = argc > 2 ? atoi(argv[2]) : 3;
  std::string dir = make_temp_dir("morvane-bench");
  std::string count_file = dir + "/count";
  double bare_sum = 0, poller_sum = 0;
  for (int r = 1; r <= rounds; r++) {
    // the order alternates so that a drift in machine load favours neither
    rate_t bare, poller;
    if (r % 2) {
      bare = measure(bare_loop, count_file, seconds);
      poller = measure(poller_loop, count_file, seconds);
    } else {
      poller = measure(poller_loop, count_file, seconds);
      bare = measure(bare_loop, count_file, seconds);
    }
    printf("round %d: bare %.1f polls/s (%.4f CPU s/s), get_data %.1f polls/s (%.4f CPU s/s),"
           " ratio %.3f\n",
           r, bare.polls, bare.cpu, poller.polls, poller.cpu, poller.polls / bare.polls);
    bare_sum += bare.polls;
    poller_sum += poller.polls;
  }
  printf("overall: bare %.1f polls/s, get_data %.1f polls/s, ratio %.3f\n", bare_sum / rounds,
         poller_sum / rounds, poller_sum / bare_sum);
  remove_tree(dir);
  return 0;
}
