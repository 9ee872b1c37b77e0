// The poller in the real binary: every signal of a fetched call type runs in table order, cycle
// after cycle; other call types and SNMP lines too long to run whole never run.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <sstream>

#include "e2e.h"
#include "getcmdout.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

TEST(PollerTest, RunsFetchedSignalsInTableOrderCycleAfterCycle) {
  std::string dir = make_temp_dir();
  // a stand-in snmpget that logs the length of its last argument, the object identifier
  write_file(dir + "/snmpget",
             "#!/bin/sh\nfor a in \"$@\"; do last=$a; done\necho \"S${#last}\" >> log\n");
  chmod((dir + "/snmpget").c_str(), 0755);
  std::string long_oid(9000, '1');
  write_file(dir + "/morvane.conf",
             "signals = (\n"
             "  { name = \"a\"; call_type = 3; cmd = \"echo A >> log; echo 1\"; },\n"
             "  { name = \"never\"; call_type = 9; cmd = \"echo X >> log\"; oid = \"1.3\"; },\n"
             "  { name = \"b\"; call_type = 3; cmd = \"echo B >> log\"; value_type = 3; },\n"
             "  { name = \"too long\"; call_type = 1; oid = \"" + long_oid + "\"; },\n"
             "  { name = \"snmp\"; call_type = 1; ip_addr = \"127.0.0.1\"; oid = \"1.3\"; },\n"
             "  { name = \"c\"; call_type = 3; cmd = \"printf 'C\\\\n' >> log\"; value_type = 1; }\n"
             ");\n");
  proc_t p = start_morvane(dir, {"ZQK_SERVER", "PATH=" + dir + ":" + getenv("PATH")});
  bool cycled = wait_until([&] { return lines_of(read_file(dir + "/log")).size() >= 40; }, 60);
  kill_morvane(p);
  ASSERT_TRUE(cycled) << read_file(p.out_path) << read_file(p.err_path);
  const char* cycle[] = {"A", "B", "S3", "C"};
  std::vector<std::string> seen = lines_of(read_file(dir + "/log"));
  for (size_t i = 0; i < seen.size(); i++)
    ASSERT_EQ(cycle[i % 4], seen[i]) << "line " << i;
}

// Voluntary context switches of all the process's threads so far.
long wakeups(pid_t pid) {
  long total = 0;
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::istringstream ids(getCmdOut("ls " + tasks));
  std::string tid;
  while (ids >> tid) {
    std::string status = read_file(tasks + "/" + tid + "/status");
    size_t at = status.find("voluntary_ctxt_switches:");
    if (at != std::string::npos && (at == 0 || status[at - 1] == '\n'))
      total += atol(status.c_str() + at + 24);
  }
  return total;
}

TEST(PollerTest, TableWithNothingToFetchLeavesThePollerAsleep) {
  std::string dir = make_temp_dir();
  write_file(dir + "/morvane.conf",
             "signals = ( { name = \"a\"; call_type = 9; }, { name = \"b\"; call_type = -1; } );\n");
  proc_t p = start_morvane(dir, {"ZQK_SERVER=127.0.0.1:1"});
  ASSERT_TRUE(wait_for_prompt(p, 30));
  long before = wakeups(p.pid);
  sleep(1);
  long woken = wakeups(p.pid) - before;
  kill_morvane(p);
  // the display and the sender wake a few times a second; a poller pacing over skipped
  // signals would wake thousands of times
  EXPECT_LT(woken, 100);
}

}  // namespace
