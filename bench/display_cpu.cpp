// CPU that the real morvane uses per second of wall time with 200 signals on a tmux screen,
// for the whole process and per thread (main, poller, sender, display in start order).
// Usage: display_cpu [seconds]; run from the build directory's parent or give MORVANE.
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

static std::string run(const std::string& line) {
  std::string out;
  FILE* p = popen(line.c_str(), "r");
  char buf[512];
  size_t n;
  while (p && (n = fread(buf, 1, sizeof buf, p)) > 0)
    out.append(buf, n);
  if (p)
    pclose(p);
  return out;
}

// Signals that are never fetched: the screen is redrawn in full, the poller runs no command.
static std::string config(int n) {
  std::string c = "signals = (\n";
  for (int i = 0; i < n; i++)
    c += (i ? ",\n" : "") + std::string("{ name = \"Sensor ") + std::to_string(i) +
         "\"; call_type = 9; value_type = " + std::to_string(i % 4) + "; }";
  return c + "\n);\n";
}

// A server that takes deliveries into its backlog, so the sender keeps working.
static int listen_loopback() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, (sockaddr*)&a, sizeof a) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, (sockaddr*)&a, &len) != 0) {
    perror("listener");
    exit(1);
  }
  return ntohs(a.sin_port);
}

// utime + stime in clock ticks, from a /proc stat file (fields 14 and 15, after the comm).
static long ticks(const std::string& stat_path) {
  std::ifstream f(stat_path);
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::istringstream rest(s.substr(s.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; i++) {
    if (i == 14)
      utime = atol(field.c_str());
    if (i == 15)
      stime = atol(field.c_str());
  }
  return utime + stime;
}

// The process first, then its threads in order of their ids.
static std::vector<long> snapshot(const std::string& pid) {
  std::vector<long> out = {ticks("/proc/" + pid + "/stat")};
  std::vector<long> tids;
  std::istringstream ls(run("ls /proc/" + pid + "/task"));
  for (long t; ls >> t;)
    tids.push_back(t);
  std::sort(tids.begin(), tids.end());
  for (long t : tids)
    out.push_back(ticks("/proc/" + pid + "/task/" + std::to_string(t) + "/stat"));
  return out;
}

int main(int argc, char** argv) {
  int secs = argc > 1 ? atoi(argv[1]) : 30;
  const char* bin = getenv("MORVANE");
  std::string morvane = bin ? bin : std::string(getenv("PWD")) + "/build/morvane";
  char dir[] = "/tmp/morvane-bench.XXXXXX";
  if (!mkdtemp(dir))
    return 1;
  std::ofstream(std::string(dir) + "/morvane.conf") << config(200);
  int port = listen_loopback();
  std::string tmux = "tmux -S " + std::string(dir) + "/tmux.sock -f /dev/null";
  run("LC_ALL=C.UTF-8 " + tmux + " new-session -d -x 120 -y 60 -s m 'cd " + dir +
      " && exec env LC_ALL=C.UTF-8 ZQK_SERVER=127.0.0.1:" + std::to_string(port) + " " + morvane + "'");
  std::string pid = run(tmux + " display -p -t m '#{pane_pid}'");
  pid.erase(pid.find_last_not_of("\n") + 1);
  sleep(7);  // the fixed start-up pause, then the first frames
  std::vector<long> before = snapshot(pid);
  sleep(secs);
  std::vector<long> after = snapshot(pid);
  run(tmux + " kill-server");
  run(std::string("rm -rf ") + dir);
  const char* who[] = {"process", "main", "poller", "sender", "display"};
  double hz = sysconf(_SC_CLK_TCK);
  for (size_t i = 0; i < before.size() && i < after.size() && i < 5; i++)
    printf("%-8s %6.2f%% of one core\n", who[i], 100 * (after[i] - before[i]) / hz / secs);
  return 0;
}
