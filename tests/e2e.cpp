// Helpers for tests that drive the real morvane binary.
#include "e2e.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "app.h"

extern char** environ;

static void die(const char* what) {
  perror(what);
  abort();
}

std::string make_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/morvane-test.XXXXXX";
  if (!mkdtemp(&tmpl[0]))
    die("mkdtemp");
  return tmpl;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary);
  f << content;
  if (!f)
    die(path.c_str());
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// In a forked child: a test that fails or crashes before it stops the child takes it along,
// so no morvane or agent outlives the test binary.
static void die_with_parent() {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() == 1)
    _exit(125);  // the parent is already gone
}

static std::vector<std::string> child_env(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e; e++)
    env.push_back(*e);
  for (const std::string& x : extra) {
    std::string name = x.substr(0, x.find('='));
    for (size_t i = 0; i < env.size(); i++)
      if (env[i].compare(0, name.size() + 1, name + "=") == 0)
        env.erase(env.begin() + i--);
    if (x.find('=') != std::string::npos)
      env.push_back(x);
  }
  return env;
}

proc_t start_morvane(const std::string& dir, const std::vector<std::string>& env) {
  proc_t p;
  p.dir = dir;
  p.out_path = dir + "/stdout";
  p.err_path = dir + "/stderr";
  std::vector<std::string> envs = child_env(env);
  std::vector<char*> envp;
  for (std::string& e : envs)
    envp.push_back(&e[0]);
  envp.push_back(NULL);
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0)
    die("pipe2");
  // truncated before fork, so no look at the files can see an earlier run's output
  int out = open(p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open(p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0 || err < 0)
    die(p.out_path.c_str());
  p.pid = fork();
  if (p.pid < 0)
    die("fork");
  if (p.pid == 0) {
    die_with_parent();
    if (chdir(dir.c_str()) != 0)
      _exit(126);
    dup2(in[0], 0);
    dup2(out, 1);
    dup2(err, 2);
    char* argv[] = {(char*)MORVANE_BIN, NULL};
    execve(MORVANE_BIN, argv, envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out);
  close(err);
  p.in_fd = in[1];
  return p;
}

bool send_input(const proc_t& p, const std::string& text) {
  signal(SIGPIPE, SIG_IGN);  // in the test process only
  return write(p.in_fd, text.data(), text.size()) == (ssize_t)text.size();
}

void close_input(proc_t& p) {
  if (p.in_fd >= 0)
    close(p.in_fd);
  p.in_fd = -1;
}

static int decode(int status) {
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

int wait_exit(proc_t& p, double seconds) {
  int status = 0;
  bool done = wait_until([&] { return waitpid(p.pid, &status, WNOHANG) == p.pid; }, seconds);
  if (!done) {
    kill_morvane(p);
    return -1;
  }
  p.pid = -1;
  close_input(p);
  return decode(status);
}

void kill_morvane(proc_t& p) {
  if (p.pid > 0) {
    kill(p.pid, SIGKILL);
    waitpid(p.pid, NULL, 0);
  }
  p.pid = -1;
  close_input(p);
}

bool wait_until(const std::function<bool()>& cond, double seconds) {
  timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (cond())
      return true;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec + (now.tv_nsec - start.tv_nsec) / 1e9 > seconds)
      return false;
    usleep(50000);  // 50 ms between looks
  }
}

pid_t start_snmpd(const std::string& dir, const std::string& address, const std::string& conf) {
  std::string path = dir + "/snmpd.conf", log = dir + "/snmpd.log", at = "udp:" + address;
  write_file(path, conf);
  pid_t pid = fork();
  if (pid < 0)
    die("fork");
  if (pid == 0) {
    die_with_parent();
    execlp("snmpd", "snmpd", "-f", "-C", "-c", path.c_str(), "-Lf", log.c_str(), at.c_str(),
           (char*)NULL);
    _exit(127);
  }
  return pid;
}

void stop_snmpd(pid_t pid) {
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, NULL, 0);
  }
}

bool wait_for_prompt(const proc_t& p, double seconds) {
  return wait_until(
      [&] { return read_file(p.out_path).find("Press \"q\" for exit ...\n") != std::string::npos; },
      seconds);
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    n++;
  return n;
}

int free_port(int type) {
  int fd = socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, (sockaddr*)&a, sizeof a) != 0 || getsockname(fd, (sockaddr*)&a, &len) != 0)
    die("free_port");
  close(fd);
  return ntohs(a.sin_port);
}

signal_t* new_signal() {
  static std::vector<std::unique_ptr<signal_t>> kept;
  kept.emplace_back(new signal_t);
  return kept.back().get();
}
