// The command runner: runs a line through /bin/sh and captures its standard output. The command
// reads /dev/null and writes its standard error wherever morvane's goes.
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

#endif
