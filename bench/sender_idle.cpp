// CPU that a running morvane uses per second of wall time with 20 numeric signals and a
// listening server, measured from the kernel's run-time counters of each of its threads.
// Run: build/bench/sender_idle [seconds]   (it starts build/morvane beside the bench dir)
#include <dirent.h>
#include <libgen.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

static std::atomic<long> lines_received{0};

// Accepts connections on fd and reads them to the end, counting the bytes.
static void drain_forever(int fd) {
  std::vector<pollfd> fds = {{fd, POLLIN, 0}};
  static char buf[1 << 16];
  for (;;) {
    poll(fds.data(), fds.size(), -1);
    for (size_t i = fds.size(); i-- > 1;) {
      if (!fds[i].revents)
        continue;
      ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
      if (n <= 0) {
        close(fds[i].fd);
        fds.erase(fds.begin() + i);
      } else {
        lines_received += std::count(buf, buf + n, '\n');
      }
    }
    if (fds[0].revents)
      fds.push_back({accept(fd, NULL, NULL), POLLIN, 0});
  }
}

static double now_s() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// On-CPU nanoseconds of each thread of pid, in thread id order (main, poller, sender, display).
static std::vector<long long> thread_ns(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  std::vector<int> tids;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.')
        tids.push_back(atoi(e->d_name));
    closedir(d);
  }
  std::sort(tids.begin(), tids.end());
  std::vector<long long> ns;
  for (int tid : tids) {
    std::ifstream f(dir + "/" + std::to_string(tid) + "/schedstat");
    long long run = 0;
    f >> run;
    ns.push_back(run);
  }
  return ns;
}

static std::string morvane_path() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  self[n > 0 ? n : 0] = 0;
  return std::string(dirname(dirname(self))) + "/morvane";
}

int main(int argc, char** argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 20;
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(lfd, (sockaddr*)&a, sizeof a) != 0 || listen(lfd, 4) != 0 || getsockname(lfd, (sockaddr*)&a, &len) != 0)
    return perror("listener"), 1;
  std::thread(drain_forever, lfd).detach();

  char dir[] = "/tmp/morvane-bench.XXXXXX";
  if (!mkdtemp(dir))
    return perror("mkdtemp"), 1;
  std::ofstream conf(std::string(dir) + "/morvane.conf");
  conf << "signals = (\n";
  for (int i = 1; i <= 20; i++)
    conf << "  { name = \"s" << i << "\"; signum = " << i << "; call_type = 9; value_type = 0; }"
         << (i < 20 ? ",\n" : "\n");
  conf << ");\n";
  conf.close();

  std::string bin = morvane_path(), server = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  int in[2];
  if (pipe(in) != 0)
    return perror("pipe"), 1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    freopen("/dev/null", "w", stdout);
    if (chdir(dir) != 0)
      _exit(126);
    setenv("ZQK_SERVER", server.c_str(), 1);
    execl(bin.c_str(), bin.c_str(), (char*)NULL);
    _exit(127);
  }
  sleep(7);  // the 5 s start-up pause and the first passes
  std::vector<long long> t0 = thread_ns(pid);
  long l0 = lines_received;
  double w0 = now_s();
  sleep(seconds);
  std::vector<long long> t1 = thread_ns(pid);
  long l1 = lines_received;
  double wall = now_s() - w0;
  kill(pid, SIGKILL);
  waitpid(pid, NULL, 0);

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
