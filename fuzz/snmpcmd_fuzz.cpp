// Fuzzes the texts of an SNMP signal through make_snmp_cmd and runs the line with /bin/sh and a
// stand-in snmpget: it must receive each configured text as one argument, and exactly the words
// snmp_args gives the built-in engine.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "signals.h"
#include "snmpcmd.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char dir[] = "/tmp/morvane-fuzz.XXXXXX";
  if (!mkdtemp(dir))
    abort();
  std::string tool = std::string(dir) + "/snmpget";
  FILE* f = fopen(tool.c_str(), "w");
  if (!f)
    abort();
  fputs("#!/bin/sh\nprintf '%s\\0' \"$@\"\n", f);  // every argument, NUL-terminated
  fclose(f);
  chmod(tool.c_str(), 0755);
  setenv("PATH", (std::string(dir) + ":" + getenv("PATH")).c_str(), 1);
  return 0;
}

// Splits the input at 0x01 into texts; NUL never reaches a configured text.
static std::vector<std::string> texts_of(const uint8_t* data, size_t size) {
  std::vector<std::string> texts(1);
  for (size_t i = 0; i < size; i++) {
    if (data[i] == 1)
      texts.emplace_back();
    else if (data[i] != 0)
      texts.back() += (char)data[i];
  }
  texts.resize(6);
  return texts;
}

static std::vector<std::string> run(const std::string& line) {
  std::vector<std::string> args;
  FILE* p = popen(line.c_str(), "r");
  if (!p)
    abort();
  std::string out;
  char buf[4096];
  ssize_t n;
  // libFuzzer's timer interrupts reads: only the end of the output ends the loop
  while ((n = read(fileno(p), buf, sizeof buf)) != 0) {
    if (n > 0)
      out.append(buf, n);
    else if (errno != EINTR)
      abort();
  }
  pclose(p);
  for (size_t start = 0, end; (end = out.find('\0', start)) != std::string::npos; start = end + 1)
    args.push_back(out.substr(start, end - start));
  return args;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6)
    return 0;
  static signal_t s;
  s.call_type = data[0] % 3;
  s.snmp_sec_level = (signed char)data[1] % 4;
  s.snmp_priv_prot = (signed char)data[2] % 3;
  s.snmp_auth_prot = (signed char)data[3] % 7;
  s.snmp_timeout = (signed char)data[4];
  s.snmp_num_retries = (signed char)data[5];
  std::vector<std::string> t = texts_of(data + 6, size - 6);
  s.snmp_community = t[0];
  s.snmp_priv_pphrase = t[1];
  s.snmp_auth_pphrase = t[2];
  s.snmp_user = t[3];
  s.ip_addr = t[4];
  s.oid = t[5];
  snmp_conf_t unset;
  std::string line = make_snmp_cmd(&s, &unset);
  if (line.empty())
    return 0;  // too long to run whole: never run
  std::vector<std::string> args = run(line);
  // the words the built-in engine parses are the ones the shell hands snmpget
  if (line.size() > 8191 || args != snmp_args(&s, &unset))
    __builtin_trap();
  for (size_t i = 0; i < t.size(); i++)  // the user and pass phrases go to version 3 only
    if (!t[i].empty() && (s.call_type == 2 || i == 0 || i >= 4) &&
        std::find(args.begin(), args.end(), t[i]) == args.end())
      __builtin_trap();
  return 0;
}
