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
  while (fgets(buffer, sizeof buffer, pipe))
    result.append(buffer, strlen(buffer));
  pclose(pipe);  // the command's exit status does not matter: only its output does
  return result;
}

std::string getCmdOut(std::string cmd) {
  return getCmdOut(cmd.c_str());
}
