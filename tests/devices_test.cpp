// Devices that misbehave, against the real binary: a command that never ends, huge and hostile
// replies, an agent that goes away and comes back. The tool stays up and the rest goes on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "e2e.h"
#include "listener.h"

namespace {

// Returns the reading shown for name in the newest frame of out, or "" before the first.
std::string last_reading(const std::string& out, const std::string& name) {
  size_t at = out.rfind("\x1b[0m" + name + " ");
  if (at == std::string::npos)
    at = out.rfind("\x1b[0m" + name + "\x1b[36m");
  if (at == std::string::npos)
    return "";
  size_t start = out.find("\x1b[36m", at);
  size_t end = out.find("\x1b[0m\n", start);
  if (start == std::string::npos || end == std::string::npos)
    return "";
  return out.substr(start + 5, end - start - 5);
}

size_t frames(const proc_t& p) {
  return count_of(read_file(p.out_path), "\x1b[2J");
}

// Waits until the process has drawn `more` further frames.
bool frames_go_on(const proc_t& p, size_t more) {
  size_t start = frames(p);
  return wait_until([&] { return frames(p) >= start + more; }, 10);
}

size_t deliveries_of(listener_t* l, const std::string& reading) {
  size_t n = 0;
  for (const line_t& line : received(l))
    if (strip_time(line.text, 0, INT64_MAX) == reading)
      n++;
  return n;
}

bool shows(const proc_t& p, const std::string& name, const std::string& reading) {
  return wait_until([&] { return last_reading(read_file(p.out_path), name) == reading; }, 30);
}

TEST(DevicesTest, CommandThatNeverEndsStallsReadingsWhileDisplayAndSenderGoOn) {
  std::string dir = make_temp_dir();
  std::string fifo = dir + "/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  listener_t* server = start_listener();
  write_file(dir + "/morvane.conf",
             "signals = (\n"
             "  { name = \"before\"; signum = 1; call_type = 3; cmd = \"echo 5\"; value_type = 1; },\n"
             "  { name = \"stuck\"; signum = 2; call_type = 3; cmd = \"timeout 120 cat fifo\"; value_type = 1; },\n"
             "  { name = \"after\"; signum = 3; call_type = 3; cmd = \"echo 9\"; value_type = 1; }\n"
             ");\n");
  proc_t p = start_morvane(dir, {"ZQK_SERVER=127.0.0.1:" + std::to_string(server->port)});
  ASSERT_TRUE(shows(p, "before", "5"));
  size_t sent = deliveries_of(server, "signal.1 5");
  EXPECT_TRUE(frames_go_on(p, 4));
  EXPECT_GT(deliveries_of(server, "signal.1 5"), sent);
  std::string out = read_file(p.out_path);
  EXPECT_EQ("0", last_reading(out, "stuck"));
  EXPECT_EQ("0", last_reading(out, "after"));

  int w = open(fifo.c_str(), O_WRONLY);  // the poller's cat holds the other end
  ASSERT_EQ(2, write(w, "7\n", 2));
  close(w);
  EXPECT_TRUE(shows(p, "stuck", "7"));
  EXPECT_TRUE(shows(p, "after", "9"));

  send_input(p, "q\n");
  EXPECT_EQ(0, wait_exit(p, 10));  // while the next cat waits on the fifo
  w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // lets that cat end (else its timeout does)
  if (w >= 0)
    close(w);
  stop_listener(server);
}

TEST(DevicesTest, HugeAndHostileRepliesAreContained) {
  std::string dir = make_temp_dir();
  listener_t* server = start_listener();
  write_file(dir + "/morvane.conf",
             "signals = (\n"
             "  { name = \"digits\"; signum = 1; call_type = 3; value_type = 1;\n"
             "    cmd = \"head -c 10000000 /dev/zero | tr '\\\\0' 7\"; },\n"
             "  { name = \"floats\"; signum = 2; call_type = 3; value_type = 0;\n"
             "    cmd = \"yes 1.5 | head -c 10000000\"; },\n"
             "  { name = \"hostile\"; signum = 3; call_type = 3; value_type = 3;\n"
             "    cmd = \"printf '\\\\033]0;pwned\\\\007\\\\033[31mred\\\\r\\\\n'\"; },\n"
             "  { name = \"nul\"; signum = 4; call_type = 3; value_type = 3;\n"
             "    cmd = \"printf 'ab\\\\000cd\\\\n'\"; }\n"
             ");\n");
  proc_t p = start_morvane(dir, {"ZQK_SERVER=127.0.0.1:" + std::to_string(server->port)});
  EXPECT_TRUE(shows(p, "digits", "2147483647"));
  EXPECT_TRUE(shows(p, "floats", "1.50"));
  EXPECT_TRUE(shows(p, "hostile", "\"\\x1b]0;pwned\\x07\\x1b[31mred\\x0d\n\""));
  EXPECT_TRUE(shows(p, "nul", "\"ab\""));
  EXPECT_TRUE(frames_go_on(p, 2));
  EXPECT_EQ(std::string::npos, read_file(p.out_path).find("\x1b]0;")) << "raw escape reached the terminal";
  EXPECT_GT(deliveries_of(server, "signal.2 1.5"), 0u);
  send_input(p, "q\n");
  EXPECT_EQ(0, wait_exit(p, 30));
  stop_listener(server);
}

// Both engines, v2c and v3: a restarted agent has new engine boots, which the built-in
// engine's open v3 session must follow. The built-in engine is given an snmpget it must not run.
TEST(DevicesTest, AgentStoppedAndRestartedFreezesThenFollowsAgain) {
  std::string dir = make_temp_dir();
  std::string persist = dir + "/persist";
  setenv("SNMP_PERSISTENT_DIR", persist.c_str(), 1);  // never the system's directory
  std::string address = "127.0.0.1:" + std::to_string(free_port(SOCK_DGRAM));
  auto agent_conf = [](int reading) {
    return "rocommunity pub 127.0.0.1\ncreateUser ops SHA-256 \"ops pass phrase\" AES \"ops priv phrase\"\n"
           "rouser ops priv\noverride .1.3.6.1.4.1.99999.1.0 integer " + std::to_string(reading) + "\n";
  };
  pid_t agent = start_snmpd(dir, address, agent_conf(41));
  write_file(dir + "/snmpget", "#!/bin/sh\necho 666\n");
  chmod((dir + "/snmpget").c_str(), 0755);
  std::vector<proc_t> procs;
  for (const char* engine : {"snmpget", "builtin"}) {
    std::string run = make_temp_dir();
    write_file(run + "/morvane.conf",
               "global = { snmp_engine = \"" + std::string(engine) + "\"; snmp_timeout = 1; };\n"
               "signals = ( { name = \"v2c\"; call_type = 1; value_type = 1; snmp_community = \"pub\";\n"
               "  ip_addr = \"" + address + "\"; oid = \".1.3.6.1.4.1.99999.1.0\"; },\n"
               "  { name = \"v3\"; call_type = 2; value_type = 1; snmp_sec_level = 2; snmp_auth_prot = 3;\n"
               "  snmp_auth_pphrase = \"ops pass phrase\"; snmp_priv_prot = 1; snmp_priv_pphrase = \"ops priv phrase\";\n"
               "  snmp_user = \"ops\"; ip_addr = \"" + address + "\"; oid = \".1.3.6.1.4.1.99999.1.0\"; } );\n");
    // the built-in engine must not run snmpget: the one it would find reads 666
    std::string path = std::string(engine) == "builtin" ? dir + ":" + getenv("PATH") : getenv("PATH");
    procs.push_back(start_morvane(run, {"ZQK_SERVER=127.0.0.1:1", "SNMP_PERSISTENT_DIR=" + persist,
                                        "PATH=" + path}));
  }
  for (const proc_t& p : procs) {
    EXPECT_TRUE(shows(p, "v2c", "41")) << p.dir << read_file(dir + "/snmpd.log");
    EXPECT_TRUE(shows(p, "v3", "41")) << p.dir;
  }

  stop_snmpd(agent);
  EXPECT_TRUE(frames_go_on(procs[1], 4));  // two seconds: a timeout and more have passed
  for (const proc_t& p : procs)
    EXPECT_EQ("41", last_reading(read_file(p.out_path), "v3")) << p.dir;

  agent = start_snmpd(dir, address, agent_conf(42));
  for (proc_t& p : procs) {
    EXPECT_TRUE(shows(p, "v2c", "42")) << p.dir << read_file(dir + "/snmpd.log");
    EXPECT_TRUE(shows(p, "v3", "42")) << p.dir;
    send_input(p, "q\n");
    EXPECT_EQ(0, wait_exit(p, 10));
    EXPECT_EQ("", read_file(p.err_path)) << "the library wrote on the terminal";
  }
  stop_snmpd(agent);
}

}  // namespace
