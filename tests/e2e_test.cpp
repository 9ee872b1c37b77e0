// The real binary in temporary directories: start-up and broken configurations; one run that
// polls, shows and delivers everything at once, a command that never ends included; the poller's
// order, the failure budget and the system log; one run with the long-run keys. The runs of a
// test start side by side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "getcmdout.h"
#include "harness.h"
#include "shard.h"
#include "signals.h"

namespace {

const char banner[] = "MORVANE ver. 0.1.1.334, 12:07:32 29-03-2023\n";
const std::string no_server = "ZQK_SERVER=127.0.0.1:1";

TEST(StartupTest, ConfigurationsAreRefusedWithTheirLineOrLoadAndEndOnQ) {
  signal_t* unread = new_signal();  // the figure's agent, of the shard that reads no SNMP signal
  unread->call_type = 4;
  unread->ip_addr = "127.0.0.1:8";
  int unread_shard = shard_of(unread, 2);
  signal_t* read = new_signal();  // an agent of that shard that an SNMP signal reads
  read->call_type = 1;
  for (int port = 9; read->ip_addr.empty() || shard_of(read, 2) != unread_shard; port++)
    read->ip_addr = "udp:127.0.0.1:" + std::to_string(port);
  std::string many = "signals = (\n";
  for (int i = 0; i < 100000; i++)
    many += "{ name = \"s" + std::to_string(i) + "\"; call_type = 9; value_type = 9; },\n";
  struct {
    const char* what;
    std::string conf;  // "-": no file
    std::string server;
    int status;        // 0: loads, runs until "q"
    std::string out, err;
  } cases[] = {
      {"no file", "-", no_server, 1, banner, "morvane.conf:0 - file I/O error\n"},
      {"malformed", "global = { snmp_timeout = 5; };\nsignals = ( { name = ; } );\n", no_server, 1,
       banner, "morvane.conf:2 - syntax error\n"},
      {"unknown engine", "global = { snmp_engine = \"net-snmp\"; };\n"
       "signals = ( { call_type = 3; cmd = \"touch ran\"; } );\n", no_server, 1,
       std::string(banner) + "\n", "morvane.conf: unknown snmp_engine \"net-snmp\" (snmpget or builtin)\n"},
      {"port out of range", "not libconfig", "ZQK_SERVER=127.0.0.1:65536", 255,
       std::string(banner) + "ZQK Client error:-22\n", ""},
      {"binary", "\x7f" "ELF\x02\xff\xfe\x1b[2J", no_server, 1, banner, "morvane.conf:1 - syntax error\n"},
      {"nested 20000 deep", "signals = " + std::string(20000, '(') + std::string(20000, ')'), no_server, 1, banner, "morvane.conf:1 - memory exhausted\n"},
      {"empty", "", no_server, 0, "", ""},
      {"NUL in a string", std::string("signals = ( { name = \"a\0b\"; } );", 32), no_server, 0, "", ""},
      {"100 000 signals", many.substr(0, many.size() - 2) + ");\n", no_server, 0, "", ""},
      {"wrong types", "global = { snmp_timeout = \"1\"; snmp_user = [\"u\"]; snmp_engine = 5; };\n"
       "signals = ( { signum = 1.5; name = 5; call_type = \"3\"; oid = { a = 1; }; ip_addr = (1); } );\n",
       no_server, 0, "", ""},
      {"rate of a boolean", "signals = (\n  { name = \"up\"; call_type = 3; cmd = \"touch ran\"; value_type = 0; rate = true; },\n"
       "  { name = \"on\"; value_type = 2;\n    rate = true; }\n);\n", no_server, 1,
       std::string(banner) + "\n", "morvane.conf:4: rate needs value_type 0 or 1, not 2\n"},
      {"walk of a command", "signals = (\n  { name = \"c\"; call_type = 3; cmd = \"touch ran\";\n    walk = true; }\n);\n",
       no_server, 1, std::string(banner) + "\n", "morvane.conf:3: walk needs call_type 0, 1 or 2, not 3\n"},
      {"shard past its count", "global = {\n  shard = \"3/3\"; };\nsignals = ( { call_type = 3; cmd = \"touch ran\"; } );\n",
       no_server, 1, std::string(banner) + "\n", "morvane.conf:2: shard needs \"K/N\" with 0 <= K < N, not \"3/3\"\n"},
      {"shard of a number", "global = { shard = 1; };\nsignals = ( { call_type = 3; cmd = \"touch ran\"; } );\n",
       no_server, 1, std::string(banner) + "\n", "morvane.conf:1: shard needs \"K/N\" with 0 <= K < N, not a text\n"},
      {"health of a command", "signals = (\n  { name = \"c\"; call_type = 3; cmd = \"touch ran\";\n    health = \"lost\"; }\n);\n",
       no_server, 1, std::string(banner) + "\n", "morvane.conf:3: health needs call_type 4, not 3\n"},
      {"unknown figure", "signals = (\n  { name = \"h\"; call_type = 4;\n    health = \"up\\x1b[2J\"; value_type = 1; }\n);\n",
       no_server, 1, std::string(banner) + "\n",
       "morvane.conf:3: unknown health \"up\\x1b[2J\" (round_ms, answered_ms, lost, late, in_flight, put_errors or pass_ms)\n"},
      {"figure without health", "signals = (\n  { name = \"h\";\n    call_type = 4; }\n);\n", no_server, 1,
       std::string(banner) + "\n",
       "morvane.conf:3: unknown health \"\" (round_ms, answered_ms, lost, late, in_flight, put_errors or pass_ms)\n"},
      {"figure as a text", "signals = ( { name = \"h\"; call_type = 4; health = \"pass_ms\";\n    value_type = 3; } );\n",
       no_server, 1, std::string(banner) + "\n", "morvane.conf:2: health needs value_type 0 or 1, not 3\n"},
      {"delivery figure of an agent", "signals = ( { name = \"h\"; call_type = 4; health = \"put_errors\";\n    ip_addr = \"10.0.0.1\"; } );\n",
       no_server, 1, std::string(banner) + "\n", "morvane.conf:2: health \"put_errors\" is the delivery's: it takes no ip_addr\n"},
      {"agent figure without agent", "signals = ( { name = \"h\"; call_type = 4;\n    health = \"lost\"; } );\n",
       no_server, 1, std::string(banner) + "\n", "morvane.conf:2: health \"lost\" needs the ip_addr of an agent\n"},
      {"figure of an agent no signal reads", "global = { shard = \"" + std::to_string(unread_shard) + "/2\"; };\nsignals = (\n"
       "  { name = \"a\"; call_type = 1; oid = \"1.3.6.1.2.1.1.3.0\"; ip_addr = \"" + read->ip_addr + "\"; },\n"
       "  { name = \"h\"; call_type = 4; health = \"lost\";\n    ip_addr = \"127.0.0.1:8\"; },\n"
       "  { name = \"c\"; call_type = 3; cmd = \"touch ran\"; }\n);\n", no_server, 1, std::string(banner) + "\n",
       "morvane.conf:5: health \"lost\" names agent \"127.0.0.1:8\", which no SNMP signal of shard " +
           std::to_string(unread_shard) + "/2 reads (an agent's figures go with its signals)\n"},
      {"in flight under snmpget", "signals = (\n  { name = \"a\"; call_type = 1; oid = \"1.3.6.1.2.1.1.3.0\"; ip_addr = \"127.0.0.1:9\"; },\n"
       "  { name = \"h\"; call_type = 4; ip_addr = \"udp:127.0.0.1:9\";\n    health = \"in_flight\"; }\n);\n", no_server, 1,
       std::string(banner) + "\n",
       "morvane.conf:4: health \"in_flight\" needs snmp_engine \"builtin\": snmpget has one GET in flight at most\n"},
      {"figures of one agent however written", "global = { snmp_engine = \"builtin\"; };\nsignals = (\n"
       "  { name = \"a\"; call_type = 1; oid = \"1.3.6.1.2.1.1.3.0\"; ip_addr = \"udp:127.0.0.1:9\"; },\n"
       "  { name = \"h\"; call_type = 4; health = \"in_flight\"; ip_addr = \"127.0.0.1:9\"; },\n"
       "  { name = \"p\"; call_type = 4; health = \"pass_ms\"; }\n);\n", no_server, 0, "", ""},
  };
  std::vector<proc_t> procs;
  time_t start = time(NULL);
  for (const auto& c : cases)
    procs.push_back(start_morvane(run_dir(c.conf), {c.server}));
  // the banner is out at once: seen alone in the empty configuration's run (cases[6]), which
  // prints its prompt once its pause has ended
  EXPECT_TRUE(wait_until([&] { return procs[6].out() == banner; }, 30));
  for (size_t i = 0; i < procs.size(); i++) {
    SCOPED_TRACE(cases[i].what);
    proc_t& p = procs[i];
    if (cases[i].status == 0) {
      EXPECT_TRUE(wait_for_prompt(p, 200));  // 100 000 signals load slowly under a sanitizer
      EXPECT_GE(time(NULL) - start, 4) << "no pause";
      send_input(p, "q\n");
    }
    EXPECT_EQ(cases[i].status, wait_exit(p, 200));
    if (cases[i].status != 0) {
      EXPECT_EQ(cases[i].out, p.out());
    }
    EXPECT_EQ(cases[i].err, p.err());
  }
  for (int i : {2, 10, 11, 12, 13, 14, 21})
    EXPECT_EQ("", read_file(procs[i].dir + "/ran")) << "a thread started: " << cases[i].what;
}

// The table of one run, with the frame it settles on: every value type, never-fetched and
// unknown ones, hostile and huge replies, a command that reads its standard input, and a last
// one that never ends until the test writes to its fifo.
const char busy_conf[] =
    "signals = (\n"
    "  { name = \"Temp\"; signum = 11; call_type = 9; value_type = 0; },\n"
    "  { name = \"float\"; signum = 21; call_type = 3; cmd = \"echo 23.5\"; value_type = 0; },\n"
    "  { name = \"int\"; signum = 22; call_type = 3; cmd = \"echo 7\"; value_type = 1; },\n"
    "  { name = \"bool\"; signum = 23; call_type = 3; cmd = \"echo 2\"; value_type = 2; },\n"
    "  { name = \"text\"; signum = 24; call_type = 3; value_type = 3;\n"
    "    cmd = \"printf '12\\\\033]0;pwned\\\\007\\\\033[31mred\\\\302\\\\233\\\\302\\\\200\\\\302\\\\237"
    "\\\\302\\\\240\\\\303\\\\244\\\\\\\\x\\\\177\\\\r\\\\n'\"; },\n"
    "  { name = \"head\"; signum = 25; call_type = 3; cmd = \"head -n1\"; value_type = 3; },\n"
    "  { name = \"digits\"; signum = 27; call_type = 3; value_type = 1;\n"
    "    cmd = \"head -c 10000000 /dev/zero | tr '\\\\0' 7\"; },\n"
    "  { name = \"odd\"; signum = 29; call_type = 3; cmd = \"echo 5\"; value_type = 4; },\n"
    "  { name = \"stuck\"; signum = 30; call_type = 3; cmd = \"timeout 120 cat fifo\"; value_type = 1; }\n"
    ");\n";
const char busy_frame[] =
    "\x1b[2J\x1b[0m\x1b[34;1mName  Value\x1b[0m\n"
    "\x1b[0mTemp  \x1b[36m0.00\x1b[0m\n"
    "\x1b[0mfloat \x1b[36m23.50\x1b[0m\n"
    "\x1b[0mint   \x1b[36m7\x1b[0m\n"
    "\x1b[0mbool  \x1b[36mTRUE\x1b[0m\n"
    "\x1b[0mtext  \x1b[36m\"12\\x1b]0;pwned\\x07\\x1b[31mred\\xc2\\x9b\\xc2\\x80\\xc2\\x9f\xc2\xa0\xc3\xa4"
    "\\\\x\\x7f\\x0d\n\"\x1b[0m\n"
    "\x1b[0mhead  \x1b[36m\"\"\x1b[0m\n"
    "\x1b[0mdigits\x1b[36m2147483647\x1b[0m\n"
    "\x1b[0mstuck \x1b[36m0\x1b[0m\n"
    "\n";

TEST(BinaryTest, OneRunShowsAndDeliversEveryReadingAndOnlyQEndsIt) {
  listener_t* l = start_listener();
  std::string dir = run_dir(busy_conf);
  ASSERT_EQ(0, mkfifo((dir + "/fifo").c_str(), 0600));
  proc_t p = start_morvane(dir, {"ZQK_SERVER=127.0.0.1:" + std::to_string(l->port)});
  const std::vector<std::string> pass = {
      "signal.11 0", "signal.11 0", "signal.21 23.5", "signal.21 23.5", "signal.22 7", "signal.22 7",
      "signal.23 1", "signal.23 1", "signal.27 2147483648", "signal.27 2147483648", "signal.30 0",
      "signal.30 0"};
  auto last_pass = [&] {
    std::vector<std::string> got = texts(l);
    return std::vector<std::string>(got.end() - std::min(got.size(), pass.size()), got.end());
  };
  ASSERT_TRUE(wait_until([&] { return last_pass() == pass; }, 40)) << testing::PrintToString(last_pass());
  ASSERT_TRUE(wait_until([&] { return count_of(p.out(), busy_frame) >= 2; }, 60)) << p.out();
  size_t frames = count_of(p.out(), "\x1b[2J");
  auto began = std::chrono::steady_clock::now();
  sleep(2);
  std::vector<line_t> got = received(l);
  EXPECT_EQ(0u, got.size() % pass.size());
  // the first pass may be read late (the connection's set-up, a loaded machine): the mean of
  // the passes since, not each, is held to the period
  EXPECT_GE((got.back().ms - got[0].ms) / (got.size() / pass.size() - 1), 480) << "a pass every 0.5 s";
  EXPECT_EQ(1, l->accepted) << "one connection serves every pass";
  std::string out = p.out();
  EXPECT_EQ(std::string(banner) + "\n", out.substr(0, sizeof banner));
  EXPECT_EQ(std::string::npos, out.find("\x1b]0;")) << "a raw escape reached the terminal";
  EXPECT_EQ(std::string::npos, out.find("\xc2\x9b")) << "a raw CSI reached the terminal";
  // a frame every 0.5 s: the bound allows for the time the machine took, as measured
  frames = count_of(out, "\x1b[2J") - frames;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  EXPECT_TRUE(frames >= 1 && frames <= seconds / 0.5 + 1) << frames << " frames in " << seconds << " s";
  int w = open((dir + "/fifo").c_str(), O_WRONLY);  // the poller's cat holds the other end
  ASSERT_EQ(2, write(w, "7\n", 2));
  close(w);
  EXPECT_TRUE(wait_until([&] { return shown(p, "stuck") == "7"; }, 30));
  send_input(p, "Q\nQUIT\n");
  sleep(1);
  EXPECT_EQ(0, waitpid(p.pid, NULL, WNOHANG)) << "upper-case Q ended it";
  EXPECT_EQ(std::string::npos, p.out().find("\"Q")) << "a command read the operator's keys";

  stop_listener(l);  // the server goes away: the process lives on
  EXPECT_TRUE(wait_until([&] { return count_of(p.out(), "Value put error:") >= 3; }, 30));
  send_input(p, "Qxq\n");
  EXPECT_EQ(0, wait_exit(p, 30));  // while the next cat waits on the fifo
  EXPECT_EQ("", p.err());
  close(open((dir + "/fifo").c_str(), O_WRONLY | O_NONBLOCK));  // lets that cat end
}

// The budget is looked at between passes only: a pass always covers every signal. The idle
// run's input ends at once, which must not end it. A third run keeps its period.
TEST(BinaryTest, PollerKeepsOrderSleepsWithNothingToFetchAndDeliveryStopsAfterThePassOfTheThirdFailure) {
  int log = private_dev_log();
  std::string dir = make_temp_dir();
  // a stand-in snmpget that logs the length of its last argument, the object identifier
  write_file(dir + "/snmpget", "#!/bin/sh\nfor a in \"$@\"; do last=$a; done\necho \"S${#last}\" >> log\n", 0755);
  write_file(dir + "/morvane.conf",
             "signals = (\n"
             "  { call_type = 3; cmd = \"echo A >> log\"; },\n"
             "  { call_type = 9; cmd = \"echo X >> log\"; oid = \"1.3\"; },\n"
             "  { call_type = 1; oid = \"" + std::string(9000, '1') + "\"; },\n"
             "  { call_type = 1; ip_addr = \"127.0.0.1\"; oid = \"1.3\"; },\n"
             "  { call_type = 3; cmd = \"echo C >> log\"; }\n);\n");
  proc_t p = start_morvane(dir, {no_server, "PATH=" + dir + ":" + getenv("PATH")});
  proc_t idle = start_morvane(run_dir("signals = ( { call_type = 9; }, { call_type = -1; value_type = 3; } );"),
                              {no_server});
  // a poller with a period: one cheap command a cycle, so an ignored period shows on any machine
  std::string paced_dir = run_dir("global = { poll_period = 300; };\nsignals = ( { call_type = 3; cmd = \"echo x >> runs\"; } );\n");
  proc_t paced = start_morvane(paced_dir, {no_server});
  shutdown(idle.in_fd, SHUT_WR);
  ASSERT_TRUE(wait_for_prompt(idle, 60));
  // voluntary context switches of all its threads: the display and the sender wake a few times
  // a second; a poller pacing over skipped signals would wake thousands of times
  std::string wakeups = "cat /proc/" + std::to_string(idle.pid) + "/task/*/status |"
                        " awk '/^voluntary_ctxt/ { n += $2 } END { print n }'";
  long before = atol(getCmdOut(wakeups).c_str());
  sleep(1);
  EXPECT_LT(atol(getCmdOut(wakeups).c_str()) - before, 100);
  auto runs = [&] { return count_of(read_file(paced_dir + "/runs"), "\n"); };
  ASSERT_TRUE(wait_until([&] { return runs() >= 3; }, 60)) << "the paced poller stalls";
  auto began = std::chrono::steady_clock::now();
  size_t cycles = runs();
  sleep(2);
  cycles = runs() - cycles;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  EXPECT_LE(cycles, seconds / 0.3 + 2) << "cycles in " << seconds << " s at 0.3 s each";
  wait_exit(paced, 0);
  ASSERT_TRUE(wait_until([&] { return count_of(read_file(dir + "/log"), "\n") >= 30; }, 60));
  EXPECT_TRUE(wait_until([&] { return count_of(idle.out(), "Value put error:") >= 3; }, 30));
  sleep(2);  // four more pass periods: a sender still running would have failed again
  std::string records = log_records(log);
  size_t failures[] = {5, 3};
  for (proc_t* run : {&p, &idle}) {
    size_t want = failures[run == &idle];
    EXPECT_EQ(want, count_of(run->out(), "Value put error:-111\n"));
    EXPECT_EQ(want, count_of(run->out(), "Value put error:"));
    if (log >= 0) {
      EXPECT_EQ(want, count_of(records, " morvane-[" + std::to_string(run->pid) + "]: ERROR: ZQK ERROR -111\n"));
    }
    EXPECT_EQ(0, waitpid(run->pid, NULL, WNOHANG)) << "ended";
    wait_exit(*run, 0);
  }
  std::string calls = read_file(dir + "/log"), cycle = "A\nS3\nC\n";
  for (size_t at = 0; at + cycle.size() <= calls.size(); at += cycle.size())
    ASSERT_EQ(cycle, calls.substr(at, cycle.size())) << calls;
  if (log < 0)
    GTEST_SKIP() << "the system log needs root for a private /dev";
  size_t paced_records = count_of(records, " morvane-[" + std::to_string(paced.pid) + "]: ");
  EXPECT_EQ(8u, count_of(records, "<11>") - paced_records) << records;
  umount2("/dev", MNT_DETACH);
}

// One run with every long-run key. never is never read, ticks counts the poller's cycles, hang
// and holder hang while the file "hold" exists (holder's child holds the pipe), level reads a
// file the test breaks and mends. A cycle with both hangs lasts about 2.2 s, well within
// stale_after even on a busy machine, where a plain command may take some hundred ms.
const char long_run_conf[] =
    "global = { cmd_timeout = 1000; stale_after = 8000; send_retry = 1000; };\n"
    "signals = (\n"
    "  { name = \"never\"; signum = 45; call_type = 9; value_type = 0; },\n"
    "  { name = \"ticks\"; signum = 41; call_type = 3; cmd = \"echo x >> ticks; echo 1\"; value_type = 1; },\n"
    "  { name = \"hang\"; signum = 42; call_type = 3; cmd = \"echo 3; [ -f hold ] && sleep 100\"; value_type = 1; },\n"
    "  { name = \"holder\"; signum = 43; call_type = 3; cmd = \"[ -f hold ] && sleep 100 & echo 5\"; value_type = 1; },\n"
    "  { name = \"level\"; signum = 44; call_type = 3; cmd = \"cat level\"; value_type = 0; },\n"
    "  { name = \"word\"; signum = 46; call_type = 3; cmd = \"cat word 2>/dev/null\"; value_type = 3; }\n"
    ");\n";

TEST(BinaryTest, HungCommandsAreEndedStaleReadingsAreYellowAndNotSentAndDeliveryComesBack) {
  listener_t* l = start_listener();
  int port = l->port;
  std::string dir = run_dir(long_run_conf);
  write_file(dir + "/hold", "");
  write_file(dir + "/level", "23.5\n");
  proc_t p = start_morvane(dir, {"ZQK_SERVER=127.0.0.1:" + std::to_string(port)});
  auto ticks = [&] { return count_of(read_file(dir + "/ticks"), "\n"); };
  auto sent = [&](const std::string& line, size_t from = 0) {
    std::vector<std::string> got = texts(l);
    return (size_t)std::count(got.begin() + std::min(from, got.size()), got.end(), line);
  };
  ASSERT_TRUE(wait_until([&] { return shown(p, "level") == "23.50"; }, 60)) << p.out();
  size_t before = ticks();
  EXPECT_TRUE(wait_until([&] { return ticks() >= before + 3; }, 60)) << "the poller stalls";
  EXPECT_EQ("0", shown(p, "hang", stale)) << "a reply ended at the timeout was taken";
  EXPECT_EQ("0", shown(p, "holder", stale));
  EXPECT_EQ("\"\"", shown(p, "word", stale)) << "an empty text is no good reply";
  write_file(dir + "/word", "up");
  EXPECT_TRUE(wait_until([&] { return shown(p, "word") == "\"up\""; }, 60));
  unlink((dir + "/word").c_str());
  EXPECT_TRUE(wait_until([&] { return shown(p, "word", stale) == "\"\""; }, 60));
  EXPECT_EQ(0u, sent("signal.42 0") + sent("signal.43 0")) << "a reading never read was sent";
  EXPECT_LT(0u, sent("signal.41 1"));
  EXPECT_LT(0u, sent("signal.44 23.5"));

  unlink((dir + "/hold").c_str());
  EXPECT_TRUE(wait_until([&] { return shown(p, "hang") == "3" && shown(p, "holder") == "5"; }, 60));
  std::string sleeps = "for p in $(pgrep -x sleep); do readlink /proc/$p/cwd; done | grep -cx " + dir;
  EXPECT_EQ("0\n", getCmdOut(sleeps)) << "a sleep of morvane's lives on";

  write_file(dir + "/level", "down\n");
  EXPECT_TRUE(wait_until([&] { return shown(p, "level", stale) == "23.50"; }, 60));
  usleep(600000);  // a pass that began before the reading went stale
  size_t from = texts(l).size();
  EXPECT_TRUE(wait_until([&] { return sent("signal.43 5", from) >= 4; }, 30));
  EXPECT_EQ(0u, sent("signal.44 23.5", from)) << "a stale reading was sent";
  write_file(dir + "/level", "24.5\n");
  EXPECT_TRUE(wait_until([&] { return shown(p, "level") == "24.50" && sent("signal.44 24.5") >= 2; }, 60));

  stop_listener(l);  // away for longer than the failure budget lasts
  EXPECT_TRUE(wait_until([&] { return count_of(p.out(), "Value put error:") >= 3; }, 30));
  usleep(600000);  // the pass that spent the budget
  // retries go on, one a send_retry at most: the bound allows for the time taken, as measured
  std::string out = p.out();
  auto errors = [&](const std::string& now) {
    return count_of(now, "Value put error:") - count_of(out, "Value put error:");
  };
  auto began = std::chrono::steady_clock::now();
  EXPECT_TRUE(wait_until([&] { return errors(p.out()) >= 2; }, 30)) << "no retries";
  sleep(2);
  std::string later = p.out();
  size_t seen = errors(later);
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count() + 1, seen) << "more than one error line a wait of 1 s";
  EXPECT_EQ(seen, count_of(later, "Value put error:-111\n") - count_of(out, "Value put error:-111\n"));
  l = start_listener(port);
  // the one put that found the server back, then passes every 0.5 s with a fresh budget
  std::vector<std::string> pass = {"signal.41 1", "signal.41 1", "signal.42 3", "signal.42 3",
                                   "signal.43 5", "signal.43 5", "signal.44 24.5", "signal.44 24.5"};
  std::vector<std::string> back = {"signal.41 1"};
  back.insert(back.end(), pass.begin(), pass.end());
  back.insert(back.end(), pass.begin(), pass.end());
  EXPECT_TRUE(wait_until([&] { return texts(l).size() >= back.size(); }, 30));
  std::vector<std::string> got = texts(l);
  EXPECT_EQ(back, std::vector<std::string>(got.begin(), got.begin() + std::min(got.size(), back.size())));
  EXPECT_EQ(0u, sent("signal.45 0")) << "a signal never read was sent";
  EXPECT_LT(0u, count_of(p.out(), "\x1b[0mnever \x1b[33m0.00\x1b[0m\n")) << "the stale line differs in more than colour";
  send_input(p, "q\n");
  EXPECT_EQ(0, wait_exit(p, 30));
  EXPECT_EQ("", p.err());
  stop_listener(l);
}

}  // namespace

// us and us_int count microseconds since the time in the file "base" (16 digits from 0), a
// million a second (fast, ten billion: past what an integer holds); word never prints a number;
// idle is a counter that never moves. Readings are only what a pass delivers.
const char rates_conf[] =
    "global = { poll_period = 2000; stale_after = 5000; };\n"
    "signals = (\n"
    "  { name = \"us\"; signum = 51; call_type = 3; value_type = 0; rate = true;\n"
    "    cmd = \"echo $(( ($(date +%s%N) - $(cat base)) / 1000 ))\"; },\n"
    "  { name = \"us_int\"; signum = 52; call_type = 3; value_type = 1; rate = true;\n"
    "    cmd = \"echo $(( ($(date +%s%N) - $(cat base)) / 1000 ))\"; },\n"
    "  { name = \"word\"; signum = 53; call_type = 3; value_type = 0; rate = true; cmd = \"echo down\"; },\n"
    "  { name = \"idle\"; signum = 54; call_type = 3; value_type = 0; rate = true; cmd = \"echo 5\"; },\n"
    "  { name = \"fast\"; signum = 55; call_type = 3; value_type = 1; rate = true;\n"
    "    cmd = \"echo $(( ($(date +%s%N) - $(cat base)) * 10 ))\"; }\n"
    ");\n";

TEST(BinaryTest, CountersGiveTheirRatePerSecondAndARestartGivesNoSpike) {
  listener_t* l = start_listener();
  std::string dir = run_dir(rates_conf);
  write_file(dir + "/base", "0\n");
  proc_t p = start_morvane(dir, {"ZQK_SERVER=127.0.0.1:" + std::to_string(l->port)});
  // every delivered rate: about a million, never 0, negative or a spike; the bounds leave room
  // for a busy machine, where a reply may reach morvane a second later than the one before
  auto rates = [&](const std::string& signal) { return numbers_sent(l, signal); };
  auto all_near_a_million = [&](const std::vector<double>& got) {
    for (double r : got)
      if (r < 400000 || r > 2500000)
        return false;
    return true;
  };
  ASSERT_TRUE(wait_until([&] { return rates("signal.51").size() >= 4 && rates("signal.52").size() >= 4; }, 60));
  double shown_rate = atof(shown(p, "us").c_str());
  EXPECT_TRUE(shown_rate > 400000 && shown_rate < 2500000) << shown_rate;
  EXPECT_TRUE(wait_until([&] { return shown(p, "idle") == "0.00"; }, 30)) << "an idle counter is not fresh at 0";
  // the counter starts again from 0, as after a reboot; the readings go on from the new base
  std::string restarted = getCmdOut("date +%s%N");
  write_file(dir + "/base.new", restarted);
  rename((dir + "/base.new").c_str(), (dir + "/base").c_str());
  size_t before = rates("signal.51").size();
  auto new_rates = [&] {  // a reading taken just before the restart may still come: one more
    std::vector<double> got = rates("signal.51");
    std::set<double> distinct(got.begin() + before, got.end());
    distinct.erase(got[before - 1]);
    return distinct.size();
  };
  ASSERT_TRUE(wait_until([&] { return new_rates() >= 2; }, 60)) << "no rate since the restart";
  for (const char* signal : {"signal.51", "signal.52"})
    EXPECT_TRUE(all_near_a_million(rates(signal))) << signal << " " << testing::PrintToString(rates(signal));
  EXPECT_TRUE(rates("signal.53").empty()) << "a reply without a number gave a reading";
  std::vector<double> idle = rates("signal.54");
  EXPECT_TRUE(!idle.empty() && idle == std::vector<double>(idle.size(), 0)) << testing::PrintToString(idle);
  std::vector<double> fast = rates("signal.55");  // pinned: 2147483647, delivered as a float
  EXPECT_TRUE(!fast.empty() && fast == std::vector<double>(fast.size(), 2147483648.0)) << testing::PrintToString(fast);
  send_input(p, "q\n");
  EXPECT_EQ(0, wait_exit(p, 30));
  EXPECT_EQ("", p.err());
  stop_listener(l);
}
