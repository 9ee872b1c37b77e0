// The command runner: runs one line through /bin/sh and returns what it wrote on standard output.
// The command reads /dev/null, never the operator's keys, and gets no descriptor of ours but
// its end of the pipe: the pipe is close-on-exec, as is everything else morvane opens. The timed
// form runs it in a process group of its own, so that a command that hangs ends with all it
// started.
#include "getcmdout.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "signals.h"

extern char** environ;

// Starts /bin/sh -c cmd with standard input from /dev/null and standard output into out, in a
// process group of its own (its pid names it) when own_group; SIGPIPE is at its default, so a
// command writing past the limit ends. Returns the pid or -1.
static pid_t spawn_shell(const char* cmd, int out, bool own_group) {
  posix_spawn_file_actions_t files;
  posix_spawnattr_t attr;
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files, out, 1);
  posix_spawnattr_init(&attr);
  posix_spawnattr_setsigdefault(&attr, &pipe_signal);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none;  // a command takes a hangup as any program would, whatever morvane blocks
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | (own_group ? POSIX_SPAWN_SETPGROUP : 0));
  char* argv[] = {(char*)"sh", (char*)"-c", (char*)cmd, NULL};
  pid_t pid;
  int rc = posix_spawn(&pid, "/bin/sh", &files, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&files);
  return rc == 0 ? pid : -1;
}

// Reaps the shell; its exit status does not matter, only its output.
static void reap(pid_t pid) {
  while (pid > 0 && waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
  }
}

// The time after SIGTERM that a command's group has to end before SIGKILL, in ms.
static const int term_grace_ms = 100;
// The output is kept in chunks of a line, or of 199 bytes of one; a NUL cuts its chunk.
static const size_t chunk_bytes = 199;
// The deadline of a command without a time limit.
static const int64_t no_deadline = INT64_MAX;

// The output kept of bytes that arrive piecewise.
struct chunks_t {
  std::string kept;
  std::string chunk;  // the bytes of the chunk not ended yet
};

static void end_chunk(chunks_t* c) {
  c->kept.append(c->chunk.c_str());
  c->chunk.clear();
}

// Takes n more bytes; no chunk starts once cmd_output_limit bytes are kept.
static void take(chunks_t* c, const char* p, size_t n) {
  while (n > 0 && c->kept.size() < cmd_output_limit) {
    size_t room = std::min(n, chunk_bytes - c->chunk.size());
    const char* line_end = (const char*)memchr(p, '\n', room);
    size_t used = line_end ? (size_t)(line_end - p) + 1 : room;
    c->chunk.append(p, used);
    p += used, n -= used;
    if (line_end || c->chunk.size() == chunk_bytes)
      end_chunk(c);
  }
}

// Waits for fd to be readable until deadline; false at the deadline or when the kernel refuses.
static bool wait_readable(int fd, int64_t deadline) {
  for (;;) {
    int64_t left = deadline - monotonic_ms();
    if (left <= 0)
      return false;
    pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, deadline == no_deadline ? -1 : (int)std::min(left, (int64_t)INT32_MAX));
    if (ready > 0)
      return true;
    if (ready == 0 || errno != EINTR)
      return false;
  }
}

// Reads fd into c until its end or cmd_output_limit bytes kept (true), or until deadline (false).
static bool read_by(int fd, int64_t deadline, chunks_t* c) {
  char buffer[65536];
  while (c->kept.size() < cmd_output_limit) {
    if (!wait_readable(fd, deadline))
      return false;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;  // the end of the output, or a pipe that cannot be read: what came is the reply
    take(c, buffer, (size_t)n);
  }
  if (c->kept.size() < cmd_output_limit)
    end_chunk(c);  // a last line without its line end
  c->kept.resize(std::min(c->kept.size(), cmd_output_limit));
  return true;
}

// Reaps pid; false when it is still running at deadline (it is then left unreaped).
static bool reap_by(pid_t pid, int64_t deadline) {
  for (useconds_t pause_us = 50;; pause_us = std::min(pause_us * 2, (useconds_t)10000)) {
    pid_t got = waitpid(pid, NULL, WNOHANG);
    if (got == pid || (got < 0 && errno != EINTR))
      return true;
    if (monotonic_ms() >= deadline)
      return false;
    usleep(pause_us);
  }
}

// Ends the group that pid leads: SIGTERM, then SIGKILL for whatever is left term_grace_ms later.
// The shell is reaped last, so that its pid names the group until the end.
static void end_group(pid_t pid) {
  kill(-pid, SIGTERM);
  usleep(term_grace_ms * 1000);
  kill(-pid, SIGKILL);
  reap(pid);
}

std::string getCmdOut(const char* cmd) {
  return getCmdOut(cmd, 0);
}

std::string getCmdOut(std::string cmd) {
  return getCmdOut(cmd.c_str(), 0);
}

std::string getCmdOut(const char* cmd, int timeout_ms) {
  bool timed = timeout_ms > 0;
  int64_t deadline = timed ? monotonic_ms() + timeout_ms : no_deadline;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0)
    throw std::runtime_error("popen() failed!");
  pid_t pid = spawn_shell(cmd, ends[1], timed);
  close(ends[1]);
  if (pid < 0) {
    close(ends[0]);
    throw std::runtime_error("popen() failed!");
  }
  chunks_t out;
  bool ended;
  try {
    ended = read_by(ends[0], deadline, &out);
  } catch (...) {  // no memory for the output: the command meets a closed pipe
    close(ends[0]);
    timed ? end_group(pid) : reap(pid);
    throw;
  }
  close(ends[0]);  // past the limit, a command still writing meets a closed pipe and ends
  if (!timed) {
    reap(pid);
    return out.kept;
  }
  if (ended && reap_by(pid, deadline))
    return out.kept;
  end_group(pid);
  throw std::runtime_error("command timed out");
}
