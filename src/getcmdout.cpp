// The command runner: runs one line through /bin/sh and returns what it wrote on standard output.
// The command reads /dev/null, never the operator's keys, and gets no descriptor of ours but
// its end of the pipe: the pipe is close-on-exec, as is everything else morvane opens.
#include "getcmdout.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

// Starts /bin/sh -c cmd with standard input from /dev/null and standard output into out;
// SIGPIPE is at its default, so a command writing past the limit ends. Returns the pid or -1.
static pid_t spawn_shell(const char* cmd, int out) {
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
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  char* argv[] = {(char*)"sh", (char*)"-c", (char*)cmd, NULL};
  pid_t pid;
  int rc = posix_spawn(&pid, "/bin/sh", &files, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&files);
  return rc == 0 ? pid : -1;
}

// Reads at most cmd_output_limit bytes in fgets chunks, then closes the stream.
static std::string read_output(FILE* pipe) {
  std::string result;
  char buffer[200];  // fgets keeps 199 bytes per chunk and ends it with a NUL
  while (result.size() < cmd_output_limit && fgets(buffer, sizeof buffer, pipe))
    result.append(buffer, strlen(buffer));
  if (result.size() > cmd_output_limit)
    result.resize(cmd_output_limit);
  // a command still writing after the limit meets a closed pipe and ends
  fclose(pipe);
  return result;
}

// Reaps the shell; its exit status does not matter, only its output.
static void reap(pid_t pid) {
  while (pid > 0 && waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
  }
}

std::string getCmdOut(const char* cmd) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0)
    throw std::runtime_error("popen() failed!");
  pid_t pid = spawn_shell(cmd, ends[1]);
  close(ends[1]);
  FILE* pipe = pid < 0 ? NULL : fdopen(ends[0], "r");
  if (!pipe) {
    close(ends[0]);
    reap(pid);
    throw std::runtime_error("popen() failed!");
  }
  std::string result = read_output(pipe);
  reap(pid);
  return result;
}

std::string getCmdOut(std::string cmd) {
  return getCmdOut(cmd.c_str());
}
