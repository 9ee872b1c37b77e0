// CPU that the real morvane uses per second of wall time with 200 signals on a tmux screen,
// for the whole process and per thread (main, poller, sender, display in start order).
// Usage: display_cpu [seconds]; run from the build directory's parent or give MORVANE.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench.h"

// Signals that are never fetched: the screen is redrawn in full, the poller runs no command.
static std::string config(int n) {
  std::string c = "signals = (\n";
  for (int i = 0; i < n; i++)
    c += (i ? ",\n" : "") + std::string("{ name = \"Sensor ") + std::to_string(i) +
         "\"; call_type = 9; value_type = " + std::to_string(i % 4) + "; }";
  return c + "\n);\n";
}

// CPU seconds of the process first, then of its threads in order of their ids.
static std::vector<double> snapshot(const std::string& pid) {
  std::vector<double> out = {stat_cpu("/proc/" + pid + "/stat", false)};
  for (int t : thread_ids(atoi(pid.c_str())))
    out.push_back(stat_cpu("/proc/" + pid + "/task/" + std::to_string(t) + "/stat", false));
  return out;
}

int main(int argc, char** argv) {
  int secs = argc > 1 ? atoi(argv[1]) : 30;
  const char* bin = getenv("MORVANE");
  std::string morvane = bin ? bin : std::string(getenv("PWD")) + "/build/morvane";
  std::string dir = make_temp_dir("morvane-bench");
  write_file(dir + "/morvane.conf", config(200));
  int port;
  listen_loopback(&port);  // deliveries wait in its backlog, so the sender keeps working
  std::string tmux = "tmux -S " + dir + "/tmux.sock -f /dev/null";
  run("LC_ALL=C.UTF-8 " + tmux + " new-session -d -x 120 -y 60 -s m 'cd " + dir +
      " && exec env LC_ALL=C.UTF-8 ZQK_SERVER=127.0.0.1:" + std::to_string(port) + " " + morvane + "'");
  std::string pid = run(tmux + " display -p -t m '#{pane_pid}'");
  pid.erase(pid.find_last_not_of("\n") + 1);
  sleep(7);  // the fixed start-up pause, then the first frames
  std::vector<double> before = snapshot(pid);
  sleep(secs);
  std::vector<double> after = snapshot(pid);
  run(tmux + " kill-server");
  remove_tree(dir);
  const char* who[] = {"process", "main", "poller", "sender", "display"};
  for (size_t i = 0; i < before.size() && i < after.size() && i < 5; i++)
    printf("%-8s %6.2f%% of one core\n", who[i], 100 * (after[i] - before[i]) / secs);
  return 0;
}
