// The benchmarks' shared helpers (see bench.h); linked into every program in bench/.
#include "bench.h"

#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string run(const std::string& line) {
  std::string out;
  FILE* p = popen(line.c_str(), "r");
  if (!p)
    return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    out.append(buf, n);
  pclose(p);
  return out;
}

int listen_loopback(int* port) {
  int fd = bind_loopback(SOCK_STREAM, port);
  if (fd < 0 || listen(fd, 16) != 0) {
    perror("listener");
    exit(1);
  }
  return fd;
}

int connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(port);
  if (fd < 0 || connect(fd, (sockaddr*)&a, sizeof a) != 0) {
    perror("connect");
    exit(1);
  }
  return fd;
}

// fds[0] is the listening socket, the rest are the connections being read.
static void drain_forever(int fd, std::atomic<long>* lines) {
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
        *lines += std::count(buf, buf + n, '\n');
      }
    }
    if (fds[0].revents)
      fds.push_back({accept4(fd, NULL, NULL, SOCK_CLOEXEC), POLLIN, 0});
  }
}

void drain_lines(int fd, std::atomic<long>* lines) {
  std::thread(drain_forever, fd, lines).detach();
}

std::string snmp_get(const std::string& address, const std::string& community,
                     const std::string& oids) {
  std::string out = run("snmpget -t 1 -r 0 -Oqv -v 2c -c " + community + " " + address + " " +
                        oids + " 2>/dev/null");
  if (!out.empty() && out.back() == '\n')
    out.pop_back();
  return out;
}

bool await_agent(const std::string& address, const std::string& community,
                 const std::string& oid, double seconds) {
  for (double end = now() + seconds; now() < end; usleep(100000))
    if (!snmp_get(address, community, oid).empty())
      return true;
  return false;
}

double stat_cpu(const std::string& stat_file, bool with_children) {
  FILE* f = fopen(stat_file.c_str(), "r");
  char buf[1024];
  size_t n = f ? fread(buf, 1, sizeof buf - 1, f) : 0;
  if (f)
    fclose(f);
  buf[n] = 0;
  const char* rest = strrchr(buf, ')');  // the name before it may hold blanks and parentheses
  unsigned long u = 0, s = 0;
  long cu = 0, cs = 0;
  // fields 3 to 17: state, then 10 numbers, utime, stime, cutime, cstime in clock ticks
  if (!rest || sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %ld %ld", &u,
                      &s, &cu, &cs) != 4)
    return 0;
  return (double)(u + s + (with_children ? cu + cs : 0)) / sysconf(_SC_CLK_TCK);
}

double process_cpu(pid_t pid, bool with_children) {
  return stat_cpu("/proc/" + std::to_string(pid) + "/stat", with_children);
}

std::vector<int> thread_ids(pid_t pid) {
  std::vector<int> tids;
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.')
        tids.push_back(atoi(e->d_name));
    closedir(d);
  }
  std::sort(tids.begin(), tids.end());
  return tids;
}

long resident_kb(pid_t pid) {
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  char line[256];
  long kb = 0;
  while (f && fgets(line, sizeof line, f))
    if (sscanf(line, "VmRSS: %ld", &kb) == 1)
      break;
  if (f)
    fclose(f);
  return kb;
}

std::string morvane_beside_bench() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  self[n > 0 ? n : 0] = 0;
  return std::string(dirname(dirname(self))) + "/morvane";
}

// In the child: standard input from in, output to /dev/null, then binary in dir.
static void exec_morvane(const morvane_t* m, int in, const std::string& binary,
                         const std::string& server) {
  dup2(in, 0);
  int out = open("/dev/null", O_WRONLY);
  dup2(out, 1);
  if (chdir(m->dir.c_str()) != 0)
    _exit(126);
  setenv("ZQK_SERVER", server.c_str(), 1);
  setenv("SNMP_PERSISTENT_DIR", (m->dir + "/persist").c_str(), 1);
  execl(binary.c_str(), binary.c_str(), (char*)NULL);
  _exit(127);
}

bool start_morvane(morvane_t* m, const std::string& binary, const std::string& conf,
                   const std::string& server) {
  m->dir = make_temp_dir("morvane-bench");
  mkdir((m->dir + "/persist").c_str(), 0700);  // else the library makes it and says so on stderr
  write_file(m->dir + "/morvane.conf", conf);
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0)
    return perror("cannot make morvane's input pipe"), false;
  m->pid = fork_child(SIGKILL);  // a benchmark that dies leaves no morvane behind
  if (m->pid == 0)
    exec_morvane(m, in[0], binary, server);
  close(in[0]);
  m->input = in[1];
  if (m->pid < 0)
    return perror("cannot start morvane"), false;
  return true;
}

// True when child pid ends (and is waited for) within seconds.
static bool ended_within(pid_t pid, double seconds) {
  for (double end = now() + seconds; now() < end; usleep(10000))
    if (waitpid(pid, NULL, WNOHANG) != 0)
      return true;
  return false;
}

void stop_morvane(morvane_t* m) {
  if (m->input >= 0) {
    signal(SIGPIPE, SIG_IGN);  // a morvane that has ended already makes the write fail
    ssize_t n = write(m->input, "q\n", 2);
    (void)n;  // when it fails, morvane has ended and the wait below finds it at once
    close(m->input);
  }
  if (m->pid > 0 && !ended_within(m->pid, 10))
    end_child(m->pid, SIGKILL, false);
  remove_tree(m->dir);
  *m = morvane_t();
}
