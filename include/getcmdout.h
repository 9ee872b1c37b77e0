// The command runner: runs a line through /bin/sh and captures its standard output. The command
// reads /dev/null and writes its standard error wherever morvane's goes. The timed form ends a
// command that takes too long, with everything it started.
#ifndef MORVANE_GETCMDOUT_H
#define MORVANE_GETCMDOUT_H

#include <stddef.h>

#include <string>

// The most output kept of one command, in bytes (16 MiB): a command that never stops
// printing must not take all memory.
const size_t cmd_output_limit = 16 << 20;

// Runs cmd with standard input from /dev/null. Returns its whole standard output (a NUL byte
// cuts its 199-byte chunk), or its first cmd_output_limit bytes, after which the pipe is closed
// and the command is waited for; throws std::runtime_error("popen() failed!") when the shell
// cannot be started.
std::string getCmdOut(const char* cmd);
// The same, for a command held in a string.
std::string getCmdOut(std::string cmd);
// The same within timeout_ms (0 or less: no limit, exactly getCmdOut(cmd)), the command in a
// process group of its own: when its output has not ended and its shell exited by then (a child
// holding the pipe counts as not ended), the group gets SIGTERM, SIGKILL 100 ms later, the shell
// is reaped and std::runtime_error("command timed out") is thrown, whatever it printed.
std::string getCmdOut(const char* cmd, int timeout_ms);

#endif
