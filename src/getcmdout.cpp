// The command runner: runs one line through /bin/sh and returns what it wrote on standard output.
#include "getcmdout.h"

#include <stdio.h>
#include <string.h>

#include <stdexcept>

std::string getCmdOut(const char* cmd) {
  std::string result;
  FILE* pipe = popen(cmd, "r");
  if (!pipe)
    throw std::runtime_error("popen() failed!");
  char buffer[200];  // fgets keeps 199 bytes per chunk and ends it with a NUL
  while (result.size() < cmd_output_limit && fgets(buffer, sizeof buffer, pipe))
    result.append(buffer, strlen(buffer));
  if (result.size() > cmd_output_limit)
    result.resize(cmd_output_limit);
  // the exit status does not matter, only the output; a command still writing after the
  // limit meets a closed pipe and ends
  pclose(pipe);
  return result;
}

std::string getCmdOut(std::string cmd) {
  return getCmdOut(cmd.c_str());
}
