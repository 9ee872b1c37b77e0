// The tests' harness. The listener's thread polls every 20 ms at most, so a line's time is
// within a few ms of its arrival on an idle machine.
#include "harness.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "signals.h"

bool wait_until(const std::function<bool()>& cond, double seconds) {
  for (int looks = (int)(seconds * 20); !cond(); looks--) {
    if (looks <= 0)
      return false;
    usleep(50000);
  }
  return true;
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    n++;
  return n;
}

proc_t start_morvane(const std::string& dir, const std::vector<std::string>& env) {
  std::vector<const char*> argv = {"sh", "-c", "cd \"$0\" && exec env \"$@\" >out 2>err", dir.c_str()};
  for (const std::string& word : env)
    argv.push_back(word.c_str());
  argv.push_back(MORVANE_BIN);
  argv.push_back(NULL);
  proc_t p;
  p.dir = dir;
  int in[2];
  // no morvane outlives a test that fails before it ends
  check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) == 0 && (p.pid = fork_child(SIGKILL)) >= 0, "start_morvane");
  if (p.pid == 0) {
    if (dup2(in[0], 0) != 0)
      _exit(126);
    execvp("sh", (char**)argv.data());
    _exit(127);
  }
  close(in[0]);
  p.in_fd = in[1];
  return p;
}

pid_t start_tmux_server(const std::string& socket) {
  pid_t pid = fork_child(SIGKILL);
  check(pid >= 0, "start_tmux_server");
  if (pid == 0) {
    setenv("LC_ALL", "C.UTF-8", 1);
    execlp("tmux", "tmux", "-S", socket.c_str(), "-f", "/dev/null", "-D", (char*)NULL);
    _exit(127);
  }
  check(wait_until([&] { return access(socket.c_str(), F_OK) == 0; }, 60), socket);
  return pid;
}

std::string run_dir(const std::string& conf) {
  std::string dir = make_temp_dir();
  if (conf != "-")
    write_file(dir + "/morvane.conf", conf);
  return dir;
}

bool send_input(const proc_t& p, const std::string& text) {
  return send(p.in_fd, text.data(), text.size(), MSG_NOSIGNAL) == (ssize_t)text.size();
}

int wait_exit(proc_t& p, double seconds) {
  int status = -1;
  if (!wait_until([&] { return waitpid(p.pid, &status, WNOHANG) == p.pid; }, seconds)) {
    kill(p.pid, SIGKILL);
    waitpid(p.pid, NULL, 0);
  }
  close(p.in_fd);
  return status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool wait_for_prompt(const proc_t& p, double seconds) {
  return wait_until([&] { return p.out().find("Press \"q\" for exit ...\n") != std::string::npos; },
                    seconds);
}

const char fresh[] = "\x1b[36m", stale[] = "\x1b[33m";

std::string shown(const proc_t& p, const std::string& name, const std::string& colour) {
  std::string out = p.out(), head = "\x1b[0m" + name;
  for (size_t at = out.rfind(head); at != std::string::npos; at = out.rfind(head, at - 1)) {
    size_t start = out.find_first_not_of(' ', at + head.size()), end = out.find("\x1b[0m\n", start);
    // the newest whole line of name; a longer name it begins or a cut-off line is passed over
    if (end != std::string::npos && out[start] == '\x1b') {
      size_t from = start + colour.size();
      return out.compare(start, colour.size(), colour) ? "" : out.substr(from, end - from);
    }
    if (at == 0)
      break;
  }
  return "";
}

// The device nodes are bound back from the real /dev, and its terminals for tmux: /dev/pts,
// and as /dev/ptmx that instance's own ptmx (the real /dev/ptmx would look for pts beside it).
int private_dev_log() {
  std::string real = make_temp_dir();
  if (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
      mount("/dev", real.c_str(), NULL, MS_BIND | MS_REC, NULL) != 0 ||
      mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755") != 0)
    return -1;
  for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"}) {
    std::string to = std::string("/dev/") + node;
    close(open(to.c_str(), O_CREAT | O_WRONLY, 0666));
    mount((real + "/" + node).c_str(), to.c_str(), NULL, MS_BIND, NULL);
  }
  mkdir("/dev/pts", 0755);
  mount((real + "/pts").c_str(), "/dev/pts", NULL, MS_BIND | MS_REC, NULL);
  close(open("/dev/ptmx", O_CREAT | O_WRONLY, 0666));
  mount("/dev/pts/ptmx", "/dev/ptmx", NULL, MS_BIND, NULL);
  umount2(real.c_str(), MNT_DETACH);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strcpy(a.sun_path, "/dev/log");
  return bind(fd, (sockaddr*)&a, sizeof a) == 0 ? fd : -1;
}

std::string log_records(int log) {
  std::string records;
  char buf[4096];
  ssize_t n;
  while (log >= 0 && (n = recv(log, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
    records += std::string(buf, n) + "\n";
  return records;
}

signal_t* new_signal() {
  static std::vector<std::unique_ptr<signal_t>> kept;
  kept.emplace_back(new signal_t);
  return kept.back().get();
}

// "NAME VALUE SECONDS" with SECONDS the current Unix time gives "NAME VALUE".
static std::string strip_time(const std::string& line) {
  size_t blank = line.rfind(' ');
  long long t = blank == std::string::npos ? 0 : atoll(line.c_str() + blank + 1);
  return llabs(t - time(NULL)) > 10 ? line : line.substr(0, blank);
}

// Moves every complete line waiting on fd into l; returns false at the end of the stream.
static bool read_lines(listener_t* l, int fd, std::string* partial) {
  char buf[65536];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    partial->append(buf, n);
    std::lock_guard<std::mutex> hold(l->lock);
    for (size_t end; (end = partial->find('\n')) != std::string::npos; partial->erase(0, end + 1))
      l->lines.push_back({strip_time(partial->substr(0, end)), ms, l->accepted});
  }
  return n != 0;
}

// Serves one connection at a time, as the client makes them; a drained socket closes with FIN
// rather than RST.
static void run(listener_t* l) {
  int conn = -1;
  std::string partial;
  while (!l->stopping) {
    pollfd fds[2] = {{conn < 0 ? l->fd : -1, POLLIN, 0}, {conn, POLLIN, 0}};
    if (poll(fds, 2, 20) > 0 && fds[1].revents && !read_lines(l, conn, &partial))
      l->dropping = true;
    if (l->dropping && conn >= 0) {
      read_lines(l, conn, &partial);
      close(conn);
      conn = -1;
    }
    l->dropping = false;
    if (conn < 0 && (conn = accept4(l->fd, NULL, NULL, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0)
      l->accepted++;
  }
  close(conn);
  close(l->fd);
}

listener_t* start_listener(int port) {
  listener_t* l = new listener_t;
  l->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  sockaddr_in a = loopback(port);
  socklen_t len = sizeof a;
  check(l->fd >= 0 && fcntl(l->fd, F_SETFL, O_NONBLOCK) == 0 &&
        setsockopt(l->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        bind(l->fd, (sockaddr*)&a, len) == 0 && listen(l->fd, 16) == 0 &&
        getsockname(l->fd, (sockaddr*)&a, &len) == 0, "start_listener");
  l->port = ntohs(a.sin_port);
  l->reader = std::thread(run, l);
  return l;
}

void stop_listener(listener_t* l) {
  l->stopping = true;
  l->reader.join();
  delete l;
}

void drop_connections(listener_t* l) {
  l->dropping = true;
  while (l->dropping)
    usleep(1000);
}

std::vector<line_t> received(listener_t* l) {
  std::lock_guard<std::mutex> hold(l->lock);
  return l->lines;
}

std::vector<std::string> texts(listener_t* l) {
  std::vector<std::string> out;
  for (const line_t& line : received(l))
    out.push_back(line.text);
  return out;
}

std::vector<double> numbers_sent(listener_t* l, const std::string& metric) {
  std::vector<double> got;
  for (const std::string& line : texts(l))
    if (line.compare(0, metric.size() + 1, metric + " ") == 0)
      got.push_back(atof(line.c_str() + metric.size() + 1));
  return got;
}
