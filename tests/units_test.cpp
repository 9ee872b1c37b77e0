// The pieces in this process: the loaders over libconfig texts, reply parsing, snmpget lines
// (their words seen by a stand-in snmpget through /bin/sh), the command runner, the frame.
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <libconfig.h>
#include <math.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <set>
#include <stdexcept>

#include "config.h"
#include "getcmdout.h"
#include "harness.h"
#include "numbers.h"
#include "parser.h"
#include "rows.h"
#include "sender.h"
#include "shard.h"
#include "signals.h"
#include "snmpcmd.h"
#include "snmpsession.h"
#include "snmpwindow.h"
#include "view.h"

namespace {

// libconfig reads a 64-bit value beyond int as 0 and says it succeeded.
TEST(LoaderTest, SignalsAndGlobalOverridesMakeTheirSnmpgetLines) {
  config_t cfg;
  config_init(&cfg);
  ASSERT_EQ(CONFIG_TRUE, config_read_string(&cfg,
      "global = { snmp_timeout = 4; snmp_num_retries = 9999999999L; snmp_community = 7; snmp_sec_level = 1;"
      " snmp_auth_prot = 5; snmp_auth_pphrase = \"ga\"; snmp_user = \"gu\"; snmp_priv_prot = 0;"
      " snmp_priv_pphrase = \"gp\"; snmp_engine = \"builtin\"; };\n"
      "signals = (\n"
      "{ call_type = 1; snmp_timeout = 2; snmp_num_retries = 1; snmp_community = \"c\"; ip_addr = \"i\"; oid = \"o\"; },\n"
      "{ call_type = 0; snmp_community = \"Az09@%+=:,./_-\"; ip_addr = \"$HOME\"; oid = \"it's\"; },\n"
      "{ call_type = 2; snmp_timeout = 1; snmp_num_retries = 2; snmp_sec_level = 2; snmp_auth_prot = 2;"
      "  snmp_auth_pphrase = \"a\"; snmp_priv_prot = 1; snmp_priv_pphrase = \"p\"; snmp_user = \"u\";"
      "  snmp_community = \"c\"; ip_addr = \"i\"; oid = \"o\"; },\n"
      "{ call_type = 2; snmp_sec_level = 7; snmp_auth_prot = 6; snmp_priv_prot = 9; snmp_timeout = -3;"
      "  snmp_num_retries = -1; snmp_auth_pphrase = \"a\"; snmp_user = \"u\"; ip_addr = \"i\"; oid = \"o\"; },\n"
      "{ call_type = 3; }, 42 );"));
  testing::internal::CaptureStdout();
  load_global_conf(&cfg);
  load_signals(&cfg);
  config_destroy(&cfg);
  EXPECT_EQ("\n", testing::internal::GetCapturedStdout());
  struct {
    const char *own, *overridden;
  } lines[] = {
      {"-t 2 -r 1 -Oqv -v 2c -c c i o", "-t 4 -r 0 -Oqv -v 2c -c c i o"},
      {"-r 0 -Oqv -v 1 -c Az09@%+=:,./_- '$HOME' 'it'\\''s'", "-t 4 -r 0 -Oqv -v 1 -c Az09@%+=:,./_- '$HOME' 'it'\\''s'"},
      {"-t 1 -r 2 -Oqv -v 3 -l authPriv -x AES -X p -a SHA-224 -A a -c c -u u i o",
       "-t 4 -r 0 -Oqv -v 3 -l authNoPriv -x DES -X gp -a SHA-512 -A ga -c c -u gu i o"},
      {"-Oqv -v 3 -A a -u u i o", "-t 4 -r 0 -Oqv -v 3 -l authNoPriv -x DES -X gp -a SHA-512 -A ga -u gu i o"},
  };
  ASSERT_EQ(6u, signalsVector.size());
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(std::string("snmpget ") + lines[i].own + " 2>/dev/null", make_snmp_cmd(signalsVector[i], NULL));
    EXPECT_EQ(std::string("snmpget ") + lines[i].overridden + " 2>/dev/null",
              make_snmp_cmd(signalsVector[i], global_snmp_conf));
  }
  std::string tables;
  for (int i = -1; i < 8; i++)
    tables += std::string(getSecLevelById(i)) + "," + getPrivProtById(i) + "," + getAuthProtById(i) + ";";
  EXPECT_EQ(",,;noAuthNoPriv,DES,MD5;authNoPriv,AES,SHA;authPriv,,SHA-224;,,SHA-256;,,SHA-384;,,SHA-512;,,;,,;",
            tables);
  signal_t* longest = signalsVector[0];
  longest->oid += std::string(8191 - make_snmp_cmd(longest, NULL).size(), '1');
  EXPECT_EQ(8191u, make_snmp_cmd(longest, NULL).size());
  longest->oid += "1";
  EXPECT_EQ("", make_snmp_cmd(longest, NULL));
  EXPECT_TRUE(snmp_args(longest, NULL).empty());
}

// The split must not change at an upgrade: these shards are FNV-1a's and the jump hash's own,
// worked out apart from the code. An agent is its address and port, however it is written.
TEST(ShardTest, SignalsFallByAFixedHashOfTheirAgentOrCommandAndSplitEvenly) {
  const int counts[] = {1, 2, 3, 4, 5, 8, 100};
  struct {
    int call_type;
    const char* at;  // ip_addr, or cmd for call type 3
    int shard[7];    // of 1, 2, 3, 4, 5, 8 and 100
  } cases[] = {
      {1, "192.0.2.1", {0, 0, 0, 3, 3, 3, 97}},
      {0, "udp:192.0.2.1:161", {0, 0, 0, 3, 3, 3, 97}},
      {2, "UDP:192.0.2.1", {0, 0, 0, 3, 3, 3, 97}},
      {1, "192.0.2.3:161", {0, 0, 2, 2, 2, 5, 57}},
      {1, "10.1.2.3:1161", {0, 0, 0, 0, 0, 5, 45}},
      {1, "[2001:db8::1]", {0, 1, 1, 1, 1, 7, 13}},
      // other transports by any alias: the IPv6 host bracketed or not, the port named or not
      {1, "tcp:192.0.2.1", {0, 1, 2, 2, 2, 2, 62}},
      {0, "TCP:192.0.2.1:0161", {0, 1, 2, 2, 2, 2, 62}},
      {1, "udp6:[2001:db8::1]", {0, 0, 0, 3, 3, 6, 56}},
      {1, "UDPv6:2001:db8::1", {0, 0, 0, 3, 3, 6, 56}},
      {2, "ipv6:[2001:db8::1]:161", {0, 0, 0, 3, 3, 6, 56}},
      {1, "udp6:2001:db8::1:161", {0, 0, 0, 0, 0, 0, 0}},  // no brackets: all host, another agent
      {1, "tcp6:[2001:db8::1]:1161", {0, 1, 1, 1, 1, 1, 30}},
      {1, "tcpipv6:[2001:db8::1]:01161", {0, 1, 1, 1, 1, 1, 30}},
      {1, "tcp6:fe80::1@eth0", {0, 0, 0, 0, 0, 7, 47}},
      {1, "tcpv6:[fe80::1]@eth0:161", {0, 0, 0, 0, 0, 7, 47}},
      {3, "sensors -u", {0, 1, 1, 1, 1, 1, 73}},
      {3, "cat /sys/class/thermal/thermal_zone0/temp", {0, 1, 2, 2, 2, 5, 36}},
      {3, "", {0, 1, 1, 1, 1, 1, 90}},
  };
  signal_t* s = new_signal();
  for (const auto& c : cases) {
    s->call_type = c.call_type;
    (c.call_type == 3 ? s->cmd : s->ip_addr) = c.at;
    (c.call_type == 3 ? s->ip_addr : s->cmd) = "192.0.2.3:161";  // the other field counts for nothing
    for (int i = 0; i < 7; i++)
      EXPECT_EQ(c.shard[i], shard_of(s, counts[i])) << c.at << " of " << counts[i];
  }
  // 3000 agents: within 10% of an even split, and a shard added takes agents only for itself
  s->call_type = 1;
  for (int n = 2; n <= 8; n++) {
    std::vector<int> in(n);
    for (int a = 0; a < 3000; a++) {
      s->ip_addr = "10.0." + std::to_string(a / 256) + "." + std::to_string(a % 256);
      int k = shard_of(s, n), before = shard_of(s, n - 1);
      in[k]++;
      EXPECT_TRUE(k == before || k == n - 1) << s->ip_addr << " moved from " << before << " to " << k;
    }
    for (int k = 0; k < n; k++)
      EXPECT_NEAR(3000.0 / n, in[k], 300.0 / n) << k << " of " << n;
  }
}

TEST(ShardTest, OnlyKSlashNWithKBelowNIsAShard) {
  struct {
    const char* text;
    int k, n;  // -1: refused
  } cases[] = {{"0/1", 0, 1}, {"2/3", 2, 3}, {"07/10", 7, 10}, {"2147483646/2147483647", 2147483646, 2147483647},
               {"3/3", -1, -1}, {"0/0", -1, -1}, {"-1/3", -1, -1}, {"+1/3", -1, -1}, {" 1/3", -1, -1},
               {"1/3 ", -1, -1}, {"1/ 3", -1, -1}, {"1", -1, -1}, {"/3", -1, -1}, {"1/", -1, -1},
               {"1/3/5", -1, -1}, {"a/b", -1, -1}, {"0x1/3", -1, -1}, {"1/2147483648", -1, -1}, {"", -1, -1}};
  for (const auto& c : cases) {
    int k = -1, n = -1;
    EXPECT_EQ(c.k >= 0, parse_shard(c.text, &k, &n)) << '"' << c.text << '"';
    EXPECT_EQ(c.k, k) << c.text;
    EXPECT_EQ(c.n, n) << c.text;
  }
}

// Whatever bytes a hostile morvane.conf or agent puts in an agent, a column or a key come back
// as they were; the same numbers make the same file.
TEST(NumbersTest, HostileRowsComeBackExactlyFromTheFileInTheStateDirectory) {
  struct {
    const char *state_directory, *path;  // null: unset
  } paths[] = {{nullptr, "morvane.numbers"}, {"", "morvane.numbers"}, {"/a:/b", "/a/morvane.numbers"},
               {"/s/", "/s/morvane.numbers"}, {":/b", "morvane.numbers"}};
  const char* was = getenv("STATE_DIRECTORY");
  std::string kept = was ? was : "";
  for (const auto& c : paths) {
    c.state_directory ? setenv("STATE_DIRECTORY", c.state_directory, 1) : unsetenv("STATE_DIRECTORY");
    EXPECT_EQ(c.path, numbers_path()) << (c.state_directory ? c.state_directory : "unset");
  }
  was ? setenv("STATE_DIRECTORY", kept.c_str(), 1) : unsetenv("STATE_DIRECTORY");
  std::string dir = make_temp_dir(), path = dir + "/morvane.numbers";
  const std::string u = "udp:[2001:db8::1]:161", o = ".1.3.6.1.2.1.2.2.1.10", at = " " + u + " " + o + " ";
  numbers_t hostile = {{{u, o}, {{"eth0", 1}, {"1.4", INT32_MIN}, {"", INT32_MAX}, {" a  \"b\" \\x41 \\", 7},
                                 {"line\nend\ttab\r", 0}, {std::string("nul\0", 4), -1}, {"\xff caf\xc3\xa9", 2}}},
                        {{"a b\\x20\n", " oid\x7f"}, {{" ", 8}}}, {{"", ""}, {{"\\", 3}}}};
  numbers_t read = {{{"stale", "column"}, {{"row", 1}}}};
  testing::internal::CaptureStderr();
  read_numbers(path, &read);  // no file yet
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_EQ(numbers_t(), read);
  EXPECT_EQ("", write_numbers(path, {{{u, o}, {{"old", 5}}}}));
  EXPECT_EQ("", write_numbers(path, hostile));
  EXPECT_EQ("# morvane: the numbers of walked table rows; delete this file to number them afresh\n"
            "3   \\\\\n8 a\\x20b\\\\x20\\x0a \\x20oid\\x7f  \n2147483647" + at + "\n7" + at + " a  \"b\" \\\\x41 \\\\\n"
            "-2147483648" + at + "1.4\n1" + at + "eth0\n0" + at + "line\\x0aend\\x09tab\\x0d\n-1" + at + "nul\\x00\n"
            "2" + at + "\xff caf\xc3\xa9\n", read_file(path));
  check(mkdir((dir + "/taken").c_str(), 0755) == 0, dir + "/taken");
  struct {
    std::string path, why;  // why write_numbers fails, naming the file at fault; "": it does not
  } writes[] = {{path, ""},
                {dir + "/none/morvane.numbers", "cannot write " + dir + "/none/morvane.numbers.new: No such file or directory"},
                {dir + "/taken", "cannot rename " + dir + "/taken.new to " + dir + "/taken: Is a directory"}};
  for (const auto& w : writes) {
    EXPECT_EQ(w.why, write_numbers(w.path, hostile));
    EXPECT_EQ(-1, access((w.path + ".new").c_str(), F_OK)) << w.path << ": the temporary file left beside it";
  }
  read_numbers(path, &read);
  EXPECT_EQ(hostile, read);
  remove_tree(dir);
}

// A file that cannot be trusted numbers no row: it is named with why and kept aside, replacing
// the file kept before, or left where it is when even that fails.
TEST(NumbersTest, ADamagedFileIsNamedAndMovedAsideAndGivesNoNumbers) {
  const std::string refused = "; moved to @.bad, rows are numbered afresh\n";
  struct {
    const char* content;  // null: a directory at the path
    std::string told;     // after "morvane: ", @ the path
    bool stuck = false;   // a directory that holds a file at @.bad
  } cases[] = {
      {"1 a b c\ngarbage\n", "@:2: not \"NUMBER AGENT COLUMN KEY\"" + refused},
      {"1 a b\n", "@:1: not \"NUMBER AGENT COLUMN KEY\"" + refused},
      {"1 a b c\\x4\n", "@:1: not \"NUMBER AGENT COLUMN KEY\"" + refused},
      {"1 a\\q b c\n", "@:1: not \"NUMBER AGENT COLUMN KEY\"" + refused},
      {"1 a b c\td\n", "@:1: not \"NUMBER AGENT COLUMN KEY\"" + refused},
      {"#\n\n1x a b c\n", "@:3: \"1x\" is not a number from -2147483648 to 2147483647" + refused},
      {"2147483648 a b c\n", "@:1: \"2147483648\" is not a number from -2147483648 to 2147483647" + refused},
      {"-2147483649 a b c\n", "@:1: \"-2147483649\" is not a number from -2147483648 to 2147483647" + refused},
      {"+1 a b c\n", "@:1: \"+1\" is not a number from -2147483648 to 2147483647" + refused},
      {"7 a b c\n7 a b d\n", "@:2: number 7 is also that of line 1 in the same column" + refused},
      {"7 a b c\n8 a x c\n7 b b d\n", "@:3: number 7 is also that of line 1, of another column" + refused},
      {"7 a b c\n8 a b c\n", "@:2: the same row as line 1" + refused},
      {nullptr, "cannot read @: Is a directory" + refused},
      {"x\n", "@:1: not \"NUMBER AGENT COLUMN KEY\"; cannot move it to @.bad (Is a directory), rows are"
               " numbered afresh\n", true},
  };
  for (const auto& c : cases) {
    std::string dir = make_temp_dir(), path = dir + "/morvane.numbers", told = "morvane: " + c.told;
    for (size_t i; (i = told.find('@')) != std::string::npos;)
      told.replace(i, 1, path);
    c.content ? write_file(path, c.content) : check(mkdir(path.c_str(), 0755) == 0, path);
    if (c.stuck)
      check(mkdir((path + ".bad").c_str(), 0755) == 0, path + ".bad");
    write_file(path + (c.stuck ? ".bad/kept" : ".bad"), "kept before");
    numbers_t read = {{{"stale", "column"}, {{"row", 1}}}};
    testing::internal::CaptureStderr();
    read_numbers(path, &read);
    EXPECT_EQ(told, testing::internal::GetCapturedStderr());
    EXPECT_EQ(numbers_t(), read) << told;
    std::string now_at = c.stuck ? path : path + ".bad";
    EXPECT_EQ(c.content ? c.content : "", read_file(now_at)) << told;
    struct stat st = {};
    EXPECT_EQ(!c.content, stat(now_at.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << told;
    EXPECT_EQ(c.stuck, access(path.c_str(), F_OK) == 0) << told;
    remove_tree(dir);
  }
  // a file past any table's size is damaged, before it is read whole
  std::string dir = make_temp_dir(), path = dir + "/morvane.numbers";
  write_file(path, "1 a b c\n");
  check(truncate(path.c_str(), (64 << 20) + 1) == 0, path);
  numbers_t read;
  testing::internal::CaptureStderr();
  read_numbers(path, &read);
  EXPECT_EQ("morvane: " + path + " is larger than 64 MiB; moved to " + path + ".bad, rows are numbered afresh\n",
            testing::internal::GetCapturedStderr());
  EXPECT_EQ(numbers_t(), read);
  remove_tree(dir);
}

// Rows whose labels repeat, one of them spelling another's derived key, each get a key and a
// number of their own that the next walk keeps; keys made from an index are not remembered, so
// rows that churn through indexes (process IDs) leave the book as it was; a column a reload let
// go takes no rows from a walk still in flight.
TEST(RowsTest, EveryRowHasANumberOfItsOwnAndOnlyLabelsAreRemembered) {
  std::string dir = make_temp_dir();
  book_t book;
  testing::internal::CaptureStderr();
  book_open(&book, dir + "/morvane.numbers", {1003});
  signal_t* s = new_signal();
  s->name = "c";
  s->signum = 1000;
  s->ip_addr = "agent";
  s->oid = ".1.3.6.1.4.1.99994.1.1.3";
  column_t* c = column_new(s, ".1.3.6.1.4.1.99994.1.1.2", "morvane.conf:1", &book);
  auto row = [](uint32_t index, const std::string& label) {
    return row_t{std::to_string(index), index, ".1.3.6.1.4.1.99994.1.1.3." + std::to_string(index), label};
  };
  std::vector<row_t> found = {row(3, "eth0"), row(7, "eth0"), row(9, "eth0 (7)"), row(2, ""), row(5, "lo")};
  EXPECT_TRUE(take_walk(c, found, "", 1));
  std::vector<std::string> names;
  std::set<int32_t> numbers;
  for (const auto& r : c->rows) {
    names.push_back(r->name);
    numbers.insert(r->signum);
  }
  EXPECT_EQ((std::vector<std::string>{"c eth0", "c eth0 (7) (7)", "c eth0 (7)", "c 2", "c lo"}), names);
  EXPECT_EQ((std::set<int32_t>{1001, 1002, 1005, 1007, 1009}), numbers);  // 1003 is a signal's
  std::vector<signal_t*> before;
  for (const auto& r : c->rows)
    before.push_back(r.get());
  EXPECT_FALSE(take_walk(c, found, "", 2));
  for (size_t i = 0; i < before.size(); i++)
    EXPECT_EQ(before[i], c->rows[i].get()) << "row " << i << " made anew";
  numbers_t remembered = book.numbers;
  std::map<std::string, int32_t> labels = {{"eth0", 1001}, {"eth0 (7)", 1009}, {"lo", 1005}};
  EXPECT_EQ(labels, (remembered[{"agent", s->oid + "@1000"}])) << "only labels as the agent gives them";
  testing::internal::GetCapturedStderr();
  testing::internal::CaptureStderr();
  take_walk(c, {row(3, "eth0"), row(99, "bash"), row(1099, "bash")}, "", 3);
  EXPECT_EQ("morvane: 4 rows of \"c\" are no longer in its table: \"c eth0 (7) (7)\" (1007), \"c eth0 (7)\" (1009), "
            "\"c 2\" (1002) and 1 more\n", testing::internal::GetCapturedStderr());
  testing::internal::CaptureStderr();
  for (uint32_t pid = 100; pid < 130; pid++)
    take_walk(c, {row(3, "eth0"), row(pid, "bash"), row(pid + 1000, "bash")}, "", 3 + pid);
  EXPECT_EQ("c bash (1129)", c->rows[2]->name);
  remembered[{"agent", s->oid + "@1000"}]["bash"] = 1099;
  EXPECT_EQ(remembered, book.numbers);
  std::map<int32_t, int> held = book.held;
  std::vector<std::shared_ptr<signal_t>> gone = drop_column(c);
  EXPECT_EQ(3u, gone.size());
  EXPECT_FALSE(take_walk(c, found, "", 200));
  EXPECT_TRUE(c->rows.empty());
  held.erase(2129);  // bash (1129)'s own number, not remembered
  EXPECT_EQ(held, book.held);
  testing::internal::GetCapturedStderr();
  delete c;
  remove_tree(dir);
}

// A first send of ten GETs to a far agent: losing its last ones is the agent's queue, which the
// next first send stays within; losing one while a later one went through is the way's doing,
// which narrows nothing.
// Rows of a walked column come and go under the operator's screen: its filter, "s" and place
// stay, and its counts are those of the new table.
TEST(ViewTest, ANewTableKeepsTheFilterStaleOnlyAndPlaceWithCountsOfItsOwn) {
  std::vector<signal_t*> signals;
  for (const char* name : {"in eth0", "in eth1", "out eth0", "in lab", "in eth2"}) {
    signals.push_back(new_signal());
    signals.back()->name = name;
  }
  signals[0]->good_at = monotonic_ms();  // read; the rest never
  view_t v;
  std::vector<signal_t*> before(signals.begin(), signals.begin() + 3);
  view_init(&v, before, NULL, monotonic_ms());
  view_filter(&v, L"IN ");
  v.stale_only = true;
  v.top = 1;
  std::vector<signal_t*> after = {signals[0], signals[3], signals[2], signals[4]};  // eth1 gone, two new
  view_retable(&v, after, monotonic_ms());
  EXPECT_EQ(L"IN ", v.filter);
  EXPECT_TRUE(v.stale_only);
  EXPECT_EQ(1u, v.top);
  EXPECT_EQ((std::vector<size_t>{1, 3}), view_rows(&v));  // in lab and in eth2: never read
  EXPECT_EQ(1, v.counts[row_fresh]);
  EXPECT_EQ(3, v.counts[row_never]);
}

TEST(WindowTest, AFirstSendNarrowsForALostTailNotForAGetLostOnTheWay) {
  struct {
    std::set<size_t> lost;  // places in the first send
    size_t next_first_send;
  } cases[] = {{{8, 9, 10}, 7}, {{2}, 10}, {{1}, 10}, {{3, 6}, 10}};
  for (const auto& c : cases) {
    session_t s;
    s.window.size = s.window.limit = 10;
    for (int64_t i = 1; i <= 10; i++) {
      s.flight.emplace_back();
      window_sent(&s, &s.flight.back(), i);
    }
    for (size_t i = 0; i < 10; i++)
      if (!c.lost.count(i + 1)) {
        s.flight[i].answered_ns = 1000 + i;
        s.flight[i].read = true;
        window_answered(&s, i, false);
      }
    for (size_t place : c.lost)
      EXPECT_TRUE(window_lost(&s, s.flight[place - 1])) << place;
    window_round_end(&s, false);
    EXPECT_EQ(c.next_first_send, window_room(&s)) << "first lost: " << *c.lost.begin();
  }
}

TEST(ParserTest, EachValueTypeTakesItsNumberOrKeepsTheReading) {
  struct {
    int type;
    const char* reply;
    float f;
    int i;
    const char* text;  // -123.25, -123 and "old" mark a reading left as it was
  } cases[] = {
      {0, "23.5\n", 23.5f, -123, "old"},    {0, "  -7.25 degC", -7.25f, -123, "old"},
      {0, "1e39", INFINITY, -123, "old"},   {0, "true", -123.25f, -123, "old"},
      {1, " -7 units", -123.25f, -7, "old"}, {1, "12.9", -123.25f, 12, "old"},
      {1, "0x10", -123.25f, 0, "old"},      {1, "010", -123.25f, 10, "old"},
      {1, "4294967295\n", -123.25f, INT32_MAX, "old"}, {1, "-2147483649", -123.25f, INT32_MIN, "old"},
      {2, "2", -123.25f, 1, "old"},         {2, "0\n", -123.25f, 0, "old"},
      {2, "4294967296", -123.25f, 1, "old"}, {2, "No Such Instance\n", -123.25f, -123, "old"},
      {2, "-1", -123.25f, 1, "old"},
      {3, "\"up\"\n", -123.25f, -123, "\"up\"\n"}, {3, "", -123.25f, -123, ""},
      {4, "5", -123.25f, -123, "old"},
  };
  for (const auto& c : cases) {
    signal_t* s = new_signal();
    s->value_type = c.type;
    s->float_value = -123.25f;
    s->int_value = -123;
    set_text_value(s, "old");
    res_parse(s, c.reply);
    EXPECT_EQ(c.f, s->float_value.load()) << c.type << " " << c.reply;
    EXPECT_EQ(c.i, s->int_value.load()) << c.type << " " << c.reply;
    EXPECT_EQ(c.text, get_text_value(s)) << c.type << " " << c.reply;
    // a reply is good when it changed the reading, an empty text excepted
    bool good = c.f != -123.25f || c.i != -123 || (std::string(c.text) != "old" && *c.text);
    EXPECT_EQ(good, s->good_at.load() != 0) << c.type << " " << c.reply;
  }
}

// The built-in engine gives plain numbers without their text: the reading must be the text's.
TEST(ParserTest, ANumberGivesWhatItsDecimalTextGives) {
  for (long long n : {0LL, -7LL, 16777217LL, -16777219LL, 2147483647LL, 2147483648LL, -2147483649LL,
                      4294967295LL, 9007199254740993LL, LLONG_MAX, LLONG_MIN}) {
    for (int type = 0; type <= 4; type++) {
      signal_t *by_text = new_signal(), *by_number = new_signal();
      for (signal_t* s : {by_text, by_number}) {
        s->value_type = type;
        set_text_value(s, "old");
      }
      res_parse(by_text, std::to_string(n) + "\n");
      res_number(by_number, n);
      EXPECT_EQ(by_text->float_value.load(), by_number->float_value.load()) << n << " " << type;
      EXPECT_EQ(by_text->int_value.load(), by_number->int_value.load()) << n << " " << type;
      EXPECT_EQ(get_text_value(by_text), get_text_value(by_number)) << n << " " << type;
      EXPECT_EQ(by_text->good_at.load() != 0, by_number->good_at.load() != 0) << n << " " << type;
    }
  }
}

TEST(ParserTest, AReadingIsStaleBeforeItsFirstGoodReplyAndPastStaleAfter) {
  snmp_conf_t conf;
  signal_t* s = new_signal();
  EXPECT_FALSE(is_stale(s, &conf, monotonic_ms())) << "stale without stale_after";
  conf.stale_after = 1000;
  EXPECT_TRUE(is_stale(s, &conf, monotonic_ms()));
  res_parse(s, "7");
  int64_t at = s->good_at;
  EXPECT_NEAR(monotonic_ms(), at, 100);
  EXPECT_FALSE(is_stale(s, &conf, at + 1000));
  EXPECT_TRUE(is_stale(s, &conf, at + 1001));
  EXPECT_FALSE(is_stale(s, NULL, at + 1001));
  conf.stale_after = -1;
  EXPECT_FALSE(is_stale(s, &conf, at + 1001));
  res_parse(s, "down");
  EXPECT_EQ(at, s->good_at) << "a reply without a number stamped the reading";
}

TEST(GetCmdOutTest, ReturnsStandardOutputByteForByteUpToItsLimit) {
  struct {
    std::string cmd, out;
  } cases[] = {
      {"printf 'a\\n\\nb'", "a\n\nb"},
      {"printf ' \"up\"\\r\\n\\033[0m'", " \"up\"\r\n\x1b[0m"},
      {"printf 'ab\\000cd\\nef\\n'", "abef\n"},  // a NUL cuts its 199-byte chunk
      {"echo err >&2; echo out", "out\n"},
      {"exit 3", ""},
  };
  for (int timeout_ms : {0, 60000}) {  // the timed form gives the same replies, 16 MiB included
    for (const auto& c : cases)
      EXPECT_EQ(c.out, getCmdOut(c.cmd.c_str(), timeout_ms)) << c.cmd << " " << timeout_ms;
    std::string out = getCmdOut("yes 0123456789abcdefghijklmnopqrstuvwxyz", timeout_ms);
    EXPECT_EQ(cmd_output_limit, out.size());
    EXPECT_EQ("0123456789abcdefghijklmnopqrstuvwxyz\n0123", out.substr(0, 41));
    // output that ends at the limit exactly is all kept, and one byte past it is not
    for (size_t extra : {0, 1}) {
      std::string bytes = "head -c " + std::to_string(cmd_output_limit + extra) + " /dev/zero | tr '\\0' a";
      EXPECT_EQ(std::string(cmd_output_limit, 'a'), getCmdOut(bytes.c_str(), timeout_ms)) << extra;
    }
    // the NUL starts the second 199-byte chunk of the line, and cuts it whole
    EXPECT_EQ(std::string(199, 'a'), getCmdOut("head -c 199 /dev/zero | tr '\\0' a; printf '\\0b\\n'", timeout_ms));
    rlimit old;
    getrlimit(RLIMIT_NOFILE, &old);
    rlimit none = {0, old.rlim_max};  // no pipe can be made
    setrlimit(RLIMIT_NOFILE, &none);
    std::string what;
    try {
      getCmdOut("echo never", timeout_ms);
    } catch (const std::runtime_error& e) {
      what = e.what();
    }
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ("popen() failed!", what);
    EXPECT_TRUE(waitpid(-1, NULL, WNOHANG) < 0 && errno == ECHILD) << "a shell left unreaped " << timeout_ms;
  }
}

TEST(ElapsedtimerTest, GivesWholeMillisecondsTruncatedAndNeverNegative) {
  for (long long off_us : {-2000600LL, 0LL, 2000600LL}) {
    elapsedtimer t;  // a start ahead of now: a clock since set back
    t.start = std::chrono::system_clock::now() + std::chrono::microseconds(off_us);
    double e = t.elapsed();
    EXPECT_EQ(e, (double)(long long)e) << off_us;
    EXPECT_GE(e, llabs(off_us) / 1000 - 1) << off_us;
    EXPECT_LE(e, llabs(off_us) / 1000 + 50) << off_us;
  }
}

// Returns how many descriptors this process holds (the count's own included).
size_t open_fds() {
  DIR* d = opendir("/proc/self/fd");
  size_t n = 0;
  while (d && readdir(d))
    n++;
  closedir(d);
  return n;
}

// True once pid has ended; a zombie another process has to reap counts as ended.
bool ended(const std::string& pid) {
  std::string stat = read_file("/proc/" + pid + "/stat");
  return stat.empty() || stat.find(") Z ") != std::string::npos;
}

// Past its time a command is ended with all it started, whatever it printed: a shell that
// hangs (and gets SIGTERM first), a child that holds the pipe, a group that closed its output
// and ignores SIGTERM. On a busy machine a shell may not have begun by its time, or may not
// run its trap within the grace: such a try is made again, a few times at most.
TEST(GetCmdOutTest, ACommandPastItsTimeoutEndsWithAllItStartedAndGivesNoReply) {
  std::string dir = make_temp_dir();
  size_t fds = open_fds();
  struct {
    std::string cmd;
    bool traps;  // writes "term" on SIGTERM
  } cases[] = {{"trap 'echo > term; exit' TERM; echo 1; sleep 100", true},
               {"sleep 100 & echo $! > child; echo 1", false},
               {"trap '' TERM; exec >&-; sleep 100 & echo $! > child; sleep 100", false}};
  for (const auto& c : cases) {
    const std::string& cmd = c.cmd;
    bool trapped = !c.traps;
    for (int tries = 0; tries < 5; tries++) {
      std::string what;
      unlink((dir + "/shell").c_str());
      auto start = std::chrono::steady_clock::now();
      try {
        getCmdOut(("cd " + dir + " && rm -f child && echo $$ > shell && { " + cmd + "; }").c_str(), 1000);
      } catch (const std::runtime_error& e) {
        what = e.what();
      }
      EXPECT_EQ("command timed out", what) << cmd;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << cmd << ": its time was ignored";
      pid_t shell = atoi(read_file(dir + "/shell").c_str());
      EXPECT_TRUE(waitpid(shell ? shell : -1, NULL, WNOHANG) < 0 && errno == ECHILD) << cmd << ": not reaped";
      std::string child = read_file(dir + "/child");
      EXPECT_TRUE(wait_until([&] { return child.empty() || ended(std::to_string(atoi(child.c_str()))); }, 30))
          << cmd << ": the child lives on";
      EXPECT_EQ(fds, open_fds()) << cmd;
      trapped = trapped || read_file(dir + "/term") == "\n";
      if (shell > 0 && trapped)
        break;
    }
    EXPECT_TRUE(trapped) << "no SIGTERM before SIGKILL";
  }
}

}  // namespace
