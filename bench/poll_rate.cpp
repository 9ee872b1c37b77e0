// Polls per second of the real poller (get_data) against a bare popen/fgets/pclose + usleep(200)
// loop over the same quick shell commands. Each loop runs in a child process for a fixed time;
// every command appends 2 bytes to a file, so the file's growth counts the polls.
// Usage: poll_rate [seconds per round, default 5] [rounds, default 3]
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "app.h"
#include "poller.h"

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

static double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// CPU seconds the process pid itself has used so far (its threads, not its children).
static double own_cpu(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
  FILE* f = fopen(path, "r");
  unsigned long utime = 0, stime = 0;
  if (f) {
    // fields 14 and 15: user and system time in clock ticks (the name holds no blank here)
    if (fscanf(f, "%*d %*s %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
               &stime) != 2)
      utime = stime = 0;
    fclose(f);
  }
  return (double)(utime + stime) / sysconf(_SC_CLK_TCK);
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
  double cpu_before = own_cpu(pid);
  double start = now();
  usleep((useconds_t)(seconds * 1e6));
  long after = file_size(count_file);
  double cpu = own_cpu(pid) - cpu_before;
  double took = now() - start;
  kill(-pid, SIGKILL);
  waitpid(pid, NULL, 0);
  return {(after - before) / 2 / took, cpu / took};
}

int main(int argc, char** argv) {
  double seconds = argc > 1 ? atof(argv[1]) : 5;
  int rounds = argc > 2 ? atoi(argv[2]) : 3;
  char dir[] = "/tmp/morvane-bench.XXXXXX";
  if (!mkdtemp(dir)) {
    perror("mkdtemp");
    return 1;
  }
  std::string count_file = std::string(dir) + "/count";
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
  unlink(count_file.c_str());
  rmdir(dir);
  return 0;
}
