// The real binary in a temporary directory: banner, pause, configuration errors, exit statuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "e2e.h"

namespace {

const char banner[] = "MORVANE ver. 0.1.1.334, 12:07:32 29-03-2023\n";

// A configuration whose signals never run anything, so the output stays predictable.
const char quiet_conf[] =
    "signals = ( { name = \"idle\"; call_type = 9; value_type = 9; } );\n";

TEST(StartupTest, MissingFileNamesMorvaneConfAndExits1) {
  std::string dir = make_temp_dir();
  proc_t p = start_morvane(dir, {"ZQK_SERVER"});
  // the banner is out at once, well before the 5 s pause ends
  EXPECT_TRUE(wait_until([&] { return read_file(p.out_path) == banner; }, 3));
  EXPECT_EQ("", read_file(p.err_path));
  EXPECT_EQ(1, wait_exit(p, 30));
  EXPECT_EQ(banner, read_file(p.out_path));
  EXPECT_EQ("morvane.conf:0 - file I/O error\n", read_file(p.err_path));
}

TEST(StartupTest, MalformedFileGivesLibconfigLineAndExits1) {
  std::string dir = make_temp_dir();
  write_file(dir + "/morvane.conf", "global = { snmp_timeout = 5; };\nsignals = ( { name = ; } );\n# end\n");
  proc_t p = start_morvane(dir, {"ZQK_SERVER"});
  EXPECT_EQ(1, wait_exit(p, 30));
  EXPECT_EQ(banner, read_file(p.out_path));
  EXPECT_EQ("morvane.conf:2 - syntax error\n", read_file(p.err_path));
}

TEST(StartupTest, UnknownSnmpEngineExits1BeforeAnyCommandRuns) {
  std::string dir = make_temp_dir();
  write_file(dir + "/morvane.conf",
             "global = { snmp_engine = \"net-snmp\"; };\n"
             "signals = ( { name = \"x\"; call_type = 3; cmd = \"touch ran\"; } );\n");
  proc_t p = start_morvane(dir, {"ZQK_SERVER"});
  EXPECT_EQ(1, wait_exit(p, 30));
  EXPECT_EQ(std::string(banner) + "\n", read_file(p.out_path));
  EXPECT_EQ("morvane.conf: unknown snmp_engine \"net-snmp\" (snmpget or builtin)\n", read_file(p.err_path));
  EXPECT_EQ("", read_file(dir + "/ran")) << "a thread ran";
}

TEST(StartupTest, MalformedServerExits255WithoutReadingConfig) {
  std::string dir = make_temp_dir();
  write_file(dir + "/morvane.conf", "this is not libconfig");
  proc_t p = start_morvane(dir, {"ZQK_SERVER=127.0.0.1:notaport"});
  EXPECT_EQ(255, wait_exit(p, 30));
  EXPECT_EQ(std::string(banner) + "ZQK Client error:-22\n", read_file(p.out_path));
  EXPECT_EQ("", read_file(p.err_path));
}

// The lines typed reach morvane, never a polled command that reads its standard input: head
// reads /dev/null, so its reading stays "". A head sharing morvane's input would take one of
// the two writes, whichever of the readers waits longer.
TEST(StartupTest, LowerCaseQAnywhereInALineEndsWithStatus0AndNoCommandReadsIt) {
  std::string dir = make_temp_dir();
  write_file(dir + "/morvane.conf",
             "signals = ( { name = \"head\"; call_type = 3; value_type = 3; cmd = \"head -n1\"; } );\n");
  proc_t p = start_morvane(dir, {"ZQK_SERVER"});
  ASSERT_TRUE(wait_for_prompt(p, 30));
  EXPECT_EQ(0, read_file(p.out_path).compare(0, sizeof banner, std::string(banner) + "\n"));
  send_input(p, "Q\nQUIT\n");
  usleep(1000000);  // time enough for an upper-case Q to end it
  EXPECT_TRUE(send_input(p, "Qxq\n")) << "upper-case Q ended it";
  EXPECT_EQ(0, wait_exit(p, 5));
  EXPECT_EQ("", read_file(p.err_path));
  std::string out = read_file(p.out_path);
  EXPECT_GT(count_of(out, "\x1b[0mhead\x1b[36m\"\"\x1b[0m\n"), 0u);
  EXPECT_EQ(0u, count_of(out, "\x1b[36m\"Q")) << "a command read the input";
}

TEST(StartupTest, EndOfInputKeepsItRunningUntilKilled) {
  std::string dir = make_temp_dir();
  write_file(dir + "/morvane.conf", quiet_conf);
  proc_t p = start_morvane(dir, {"ZQK_SERVER"});
  ASSERT_TRUE(wait_for_prompt(p, 30));
  close_input(p);
  EXPECT_EQ(-1, wait_exit(p, 2)) << "ended at end of input";
}

}  // namespace
