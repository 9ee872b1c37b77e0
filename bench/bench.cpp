// The benchmarks' shared helpers (see bench.h); linked into every program in bench/.
#include "bench.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <thread>

void fail(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  fprintf(stderr, "%s: ", program_invocation_short_name);
  vfprintf(stderr, format, ap);
  fputc('\n', stderr);
  va_end(ap);
  exit(1);
}

static volatile sig_atomic_t interrupted = 0;

static void on_interrupt(int) {
  interrupted = 1;
}

void catch_interrupts() {
  struct sigaction sa = {};
  sa.sa_handler = on_interrupt;  // no SA_RESTART: a sleep ends at once
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    sigaction(sig, &sa, NULL);
}

void check_interrupted() {
  if (interrupted)
    fail("interrupted");
}

void pause_for(double seconds) {
  for (double end = now() + seconds; now() < end; check_interrupted())
    usleep((useconds_t)(std::min(end - now(), 0.1) * 1e6));
  check_interrupted();
}

void usage_error(const char* usage) {
  fputs(usage, stderr);
  exit(2);
}

double number_option(const char* usage, const std::string& name, const char* text, double least) {
  char* end;
  double v = strtod(text, &end);
  if (*end || end == text || v < least) {
    fprintf(stderr, "%s: %s takes a number of at least %g\n", program_invocation_short_name,
            name.c_str(), least);
    usage_error(usage);
  }
  return v;
}

std::string runnable(const std::string& binary) {
  char* path = realpath(binary.c_str(), NULL);
  if (!path || access(path, X_OK) != 0)
    fail("cannot run %s: %s", binary.c_str(), strerror(errno));
  std::string p = path;
  free(path);
  return p;
}

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

std::string loopback_address(int port) {
  return "127.0.0.1:" + std::to_string(port);
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

// What a listener does with n bytes read from connection conn; n is 0 when it has ended.
typedef std::function<void(long conn, const char* data, size_t n)> take_bytes_t;

// fds[0] is the listening socket, the rest are the connections being read; conns[i] numbers
// fds[i].
static void read_forever(int fd, take_bytes_t take) {
  std::vector<pollfd> fds = {{fd, POLLIN, 0}};
  std::vector<long> conns = {0};
  std::vector<char> buf(1 << 16);
  for (long accepted = 0;;) {
    poll(fds.data(), fds.size(), -1);
    for (size_t i = fds.size(); i-- > 1;) {
      if (!fds[i].revents)
        continue;
      ssize_t n = recv(fds[i].fd, buf.data(), buf.size(), 0);
      take(conns[i], buf.data(), n > 0 ? (size_t)n : 0);
      if (n <= 0) {
        close(fds[i].fd);
        fds.erase(fds.begin() + i);
        conns.erase(conns.begin() + i);
      }
    }
    if (fds[0].revents) {
      fds.push_back({accept4(fd, NULL, NULL, SOCK_CLOEXEC), POLLIN, 0});
      conns.push_back(++accepted);
    }
  }
}

void drain_lines(int fd, std::atomic<long>* lines) {
  take_bytes_t count = [lines](long, const char* data, size_t n) {
    *lines += std::count(data, data + n, '\n');
  };
  std::thread(read_forever, fd, count).detach();
}

// Cuts each connection's bytes into lines for take; partial holds the unended line of each.
static void cut_lines(long conn, const char* data, size_t n, std::map<long, std::string>* partial,
                      const take_line_t& take) {
  if (n == 0) {
    partial->erase(conn);
    return;
  }
  double at = now();
  std::string& line = (*partial)[conn];
  for (const char* end; (end = (const char*)memchr(data, '\n', n));) {
    line.append(data, end - data);
    take(conn, line, at);
    line.clear();
    n -= end + 1 - data;
    data = end + 1;
  }
  line.append(data, n);
}

void read_lines(int fd, take_line_t take) {
  auto partial = std::make_shared<std::map<long, std::string>>();
  take_bytes_t cut = [partial, take](long conn, const char* data, size_t n) {
    cut_lines(conn, data, n, partial.get(), take);
  };
  std::thread(read_forever, fd, cut).detach();
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

// Free loopback UDP ports for the agents, all different.
static void pick_agent_ports(agents_t* a, int count) {
  for (int tries = 0; (int)a->ports.size() < count; tries++) {
    int p = free_port(SOCK_DGRAM);
    if (tries > 10 * count)
      fail("cannot find %d free loopback UDP ports", count);
    if (std::find(a->ports.begin(), a->ports.end(), p) == a->ports.end())
      a->ports.push_back(p);
  }
}

// Fails naming the first port of the agents when it has not come up.
static void await_first_port(agents_t* a) {
  std::string first = loopback_address(a->ports[0]);
  if (await_agent(first, "public", "1.3.6.1.2.1.1.3.0", 10))
    return;
  check_interrupted();
  int status;
  if (waitpid(a->pid, &status, WNOHANG) == a->pid) {
    a->pid = -1;
    fail("snmpd exited (status %d) before it answered on %s", WEXITSTATUS(status), first.c_str());
  }
  fail("snmpd did not answer on %s", first.c_str());
}

void start_agents(agents_t* a, const std::string& dir, int count, const std::string& conf) {
  pick_agent_ports(a, count);
  std::string addresses;
  for (int p : a->ports)
    addresses += (addresses.empty() ? "" : ",udp:") + loopback_address(p);
  a->pid = start_snmpd(dir, addresses, conf);
  if (a->pid < 0)
    fail("cannot start snmpd in %s: %s", dir.c_str(), strerror(errno));
  await_first_port(a);
  for (int p : a->ports) {
    check_interrupted();
    if (snmp_get(loopback_address(p), "public", "1.3.6.1.2.1.1.3.0").empty())
      fail("snmpd did not answer on %s", loopback_address(p).c_str());
  }
}

std::string v2c_signal(int n, int port, const std::string& oid) {
  return "{ name = \"s" + std::to_string(n) + "\"; signum = " + std::to_string(n) +
         "; call_type = 1; value_type = 1; ip_addr = \"" + loopback_address(port) +
         "\"; oid = \"" + oid +
         "\"; snmp_community = \"public\"; snmp_timeout = 1; snmp_num_retries = 0; }";
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

double thread_runtime(pid_t pid, int tid) {
  std::string file = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat";
  return atof(read_file(file).c_str()) / 1e9;  // the first of its three numbers
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

// In the child: standard input from in, output to /dev/null (errors to dir/err with keep_err),
// then binary in dir.
static void exec_morvane(const morvane_t* m, int in, const std::string& binary,
                         const std::string& server) {
  dup2(in, 0);
  int out = open("/dev/null", O_WRONLY);
  dup2(out, 1);
  if (chdir(m->dir.c_str()) != 0)
    _exit(126);
  int err = m->keep_err ? open("err", O_WRONLY | O_CREAT | O_APPEND, 0644) : 2;
  if (err < 0)
    _exit(126);
  dup2(err, 2);
  setenv("ZQK_SERVER", server.c_str(), 1);
  setenv("SNMP_PERSISTENT_DIR", (m->dir + "/persist").c_str(), 1);
  execl(binary.c_str(), binary.c_str(), (char*)NULL);
  _exit(127);
}

bool restart_morvane(morvane_t* m, const std::string& binary, const std::string& server) {
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

bool start_morvane(morvane_t* m, const std::string& binary, const std::string& conf,
                   const std::string& server) {
  m->dir = make_temp_dir("morvane-bench");
  mkdir((m->dir + "/persist").c_str(), 0700);  // else the library makes it and says so on stderr
  write_file(m->dir + "/morvane.conf", conf);
  return restart_morvane(m, binary, server);
}

void check_running(morvane_t* m, const std::string& name, const char* when) {
  int status;
  if (m->pid <= 0 || waitpid(m->pid, &status, WNOHANG) != m->pid)
    return;
  m->pid = -1;
  fail("%s ended %s (%s %d)", name.c_str(), when, WIFEXITED(status) ? "exit status" : "signal",
       WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
}

// True when child pid ends (and is waited for) within seconds.
static bool ended_within(pid_t pid, double seconds) {
  for (double end = now() + seconds; now() < end; usleep(10000))
    if (waitpid(pid, NULL, WNOHANG) != 0)
      return true;
  return false;
}

void quit_morvane(morvane_t* m) {
  if (m->input >= 0) {
    signal(SIGPIPE, SIG_IGN);  // a morvane that has ended already makes the write fail
    ssize_t n = write(m->input, "q\n", 2);
    (void)n;  // when it fails, morvane has ended and the wait below finds it at once
    close(m->input);
  }
  if (m->pid > 0 && !ended_within(m->pid, 10))
    end_child(m->pid, SIGKILL, false);
  m->pid = -1;
  m->input = -1;
}

void stop_morvane(morvane_t* m) {
  quit_morvane(m);
  remove_tree(m->dir);
  *m = morvane_t();
}
