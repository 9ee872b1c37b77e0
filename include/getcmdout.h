// The command runner: runs a line through /bin/sh and captures its standard output.
#ifndef MORVANE_GETCMDOUT_H
#define MORVANE_GETCMDOUT_H

#include <string>

// Returns the command's whole standard output (a NUL byte cuts its 199-byte chunk);
// throws std::runtime_error("popen() failed!") when the shell cannot be started.
std::string getCmdOut(const char* cmd);
// The same, for a command held in a string.
std::string getCmdOut(std::string cmd);

#endif
