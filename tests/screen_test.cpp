// The operator's screen (display = "screen") in real terminals (tmux): one screenful at two
// sizes, the keys, the status line through an outage, every way out; without a terminal, the
// table. Misspelt keys are named in every mode.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <time.h>

#include <regex>

#include "getcmdout.h"
#include "harness.h"

namespace {

// A tmux server of the test's own; each session runs one morvane in its dir. The server ends
// with the test, however it ends, and the morvanes with their sessions.
struct tmux_t {
  std::string cmd;  // "tmux -S SOCKET -f /dev/null"
  pid_t server;
  ~tmux_t() {
    run("kill-server");
    waitpid(server, NULL, 0);
  }
  std::string run(const std::string& args) const { return getCmdOut(cmd + " " + args + " 2>&1"); }
  std::string screen(const std::string& session, bool colours = false) const {
    return run("capture-pane -p " + std::string(colours ? "-e " : "") + "-t " + session);
  }
  void keys(const std::string& session, const std::string& keys) const {
    run("send-keys -t " + session + " " + keys);
  }
};

tmux_t start_tmux() {
  std::string socket = make_temp_dir() + "/sock";
  return {"LC_ALL=C.UTF-8 tmux -S " + socket + " -f /dev/null", start_tmux_server(socket)};
}

// Starts morvane in dir in a new session of cols x rows with the environment words env and
// the redirection to; dir gets stty -g from before and after it (files before, after), its pid
// and its exit status. The shell's own INT trap lets it outlive a Ctrl-C that ends morvane.
void open_session(const tmux_t& t, const std::string& session, const std::string& dir, int cols,
                  int rows, const std::string& env, const std::string& to = "") {
  write_file(dir + "/run.sh", "cd " + dir + "\ntrap true INT\nstty -g > before\n"
             "sh -c 'echo $$ > pid; exec env LC_ALL=C.UTF-8 " + env + " " + MORVANE_BIN + " " + to + "'\n"
             "status=$?\nstty -g > after\necho $status > status\nexec sleep 600\n");
  t.run("new-session -d -x " + std::to_string(cols) + " -y " + std::to_string(rows) + " -s " +
        session + " 'sh " + dir + "/run.sh'");
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(text.substr(at, end - at));
  return lines;
}

// name in a column of cols terminal columns, then one blank and the reading (ASCII names).
std::string row(const std::string& name, int cols, const std::string& reading) {
  return name + std::string(cols + 1 - name.size(), ' ') + reading;
}

// 3000 signals: the first 30 read by commands (value types 0, 1, 2 in turn), the rest never;
// row 3 has wide characters, row 4 a name of 100 columns, row 5 a text with a tab, a line end
// and an escape, and 100 more characters that no row has room for.
const std::string long_name = "pdu-000 long " + std::string(87, 'x');

std::string name_of(int i) {
  char name[32];
  snprintf(name, sizeof name, "pdu-%03d outlet %02d", i / 24, i % 24);
  return i == 3 ? "\xe6\xb8\xa9\xe5\xba\xa6 sensor" : i == 4 ? long_name : i == 5 ? "pdu-000 status" : name;
}

std::string big_conf() {
  // send_retry: a listener held up on a busy machine must not end delivery for good
  std::string conf = "global = { display = \"screen\"; stale_afte = 1; send_retry = 500; };\nsignals = (\n";
  for (int i = 0; i < 3000; i++) {
    std::string cmd = i == 5 ? "printf 'a\\\\tb\\\\nc\\\\033" + std::string(100, 'y') + "'" : "echo " + std::to_string(i == 3 ? 21 : i);
    conf += "{ name = \"" + name_of(i) + "\"; signum = " + std::to_string(i) + "; value_type = " +
            std::to_string(i == 5 ? 3 : i % 3) +
            (i < 30 ? "; call_type = 3; cmd = \"" + cmd + "\"; }" : "; call_type = 9; }") +
            (i < 2999 ? ",\n" : "\n);\n");
  }
  return conf;
}

// What row i shows: its number when it is read (i < 30), else a dash.
std::string reading_of(int i) {
  if (i >= 30)
    return "-";
  return i % 3 == 0 ? std::to_string(i) + ".00" : i % 3 == 1 ? std::to_string(i) : i ? "TRUE" : "FALSE";
}

// The rows from first on, as many as fit, in a name column of cols columns.
std::vector<std::string> rows_from(int first, int count, int cols) {
  std::vector<std::string> rows;
  for (int i = first; i < first + count; i++)
    rows.push_back(i < 3 || i > 5 ? row(name_of(i), cols, reading_of(i))
                   : i == 3 ? "\xe6\xb8\xa9\xe5\xba\xa6 sensor" + std::string(cols - 10, ' ') + "21.00"
                   : i == 4 ? (cols < 100 ? long_name.substr(0, cols - 1) + "\xe2\x80\xa6 4" : long_name + " 4")
                            : row(name_of(i), cols, ("\"a\\tb\\nc\\x1b" + std::string(100, 'y')).substr(0, cols == 64 ? 14 : 98) + "\xe2\x80\xa6"));
  return rows;
}

// Line n of the screen, "" when it has none.
std::string line_at(const std::string& screen, size_t n) {
  std::vector<std::string> lines = lines_of(screen);
  return n < lines.size() ? lines[n] : "";
}

std::string last_line_of(const std::string& screen) {
  std::vector<std::string> lines = lines_of(screen);
  return lines.empty() ? "" : lines.back();
}

// Lines first to first + n of the screen.
std::vector<std::string> part(const std::string& screen, size_t first, size_t n) {
  std::vector<std::string> lines = lines_of(screen);
  return std::vector<std::string>(lines.begin() + std::min(first, lines.size()),
                                  lines.begin() + std::min(first + n, lines.size()));
}

const std::string all_read = "3000 signals: 30 read, 2970 never read | ";
const std::string keys = "( +q quit  / filter  s stale  h health  r reload)?";  // where the line leaves room
const std::regex delivering("delivering: [0-9]+ lines a second, last pass [0-2][0-9]:[0-5][0-9]:[0-5][0-9]" + keys);

TEST(ScreenTest, OneScreenfulAtEachSizePagesFiltersAndQGivesTheTerminalBack) {
  listener_t* l = start_listener();
  std::string dir = run_dir(big_conf());
  tmux_t t = start_tmux();
  open_session(t, "m", dir, 80, 24, "ZQK_SERVER=127.0.0.1:" + std::to_string(l->port));
  std::string screen;
  auto shows = [&](const std::string& summary, const std::vector<std::string>& rows) {
    return wait_until([&] {
      screen = t.screen("m");
      return part(screen, 0, 1) == std::vector<std::string>{summary} && part(screen, 2, rows.size()) == rows;
    }, 30);
  };
  // 80 x 24: the summary, the header, 21 rows in table order, the status line, nothing more
  ASSERT_TRUE(shows(all_read + "rows 1-21 of 3000", rows_from(0, 21, 64))) << screen;
  EXPECT_TRUE(wait_until([&] { return std::regex_match(line_at(screen = t.screen("m"), 23), delivering); }, 30))
      << screen;
  EXPECT_EQ(24u, lines_of(screen).size());
  EXPECT_EQ(row("Name", 64, "Value"), line_at(screen, 1));
  std::string colours = t.screen("m", true);
  EXPECT_NE(std::string::npos, colours.find("\x1b[1m\x1b[34mName")) << colours;
  EXPECT_NE(std::string::npos, colours.find("\x1b[36m21.00"));
  EXPECT_EQ(std::string::npos, colours.find("\x1b[33m")) << "yellow without stale_after";

  struct {
    const char* keys;
    std::string summary;
    std::vector<std::string> rows;
  } steps[] = {
      {"NPage", all_read + "rows 22-42 of 3000", rows_from(21, 21, 64)},
      {"End", all_read + "rows 2980-3000 of 3000", rows_from(2979, 21, 64)},
      {"Home", all_read + "rows 1-21 of 3000", rows_from(0, 21, 64)},
      {"Down", all_read + "rows 2-22 of 3000", rows_from(1, 21, 64)},
      {"Up Up", all_read + "rows 1-21 of 3000", rows_from(0, 21, 64)},
      {"Space", all_read + "rows 22-42 of 3000", rows_from(21, 21, 64)},
      {"b", all_read + "rows 1-21 of 3000", rows_from(0, 21, 64)},
      {"G", all_read + "rows 2980-3000 of 3000", rows_from(2979, 21, 64)},
      {"g PPage", all_read + "rows 1-21 of 3000", rows_from(0, 21, 64)},
      {"-l '/OUTLET 07' \\; send-keys -t m Enter", all_read + "rows 1-21 of 125 | filter \"OUTLET 07\"",
       {row(name_of(7), 64, "7"), row(name_of(31), 64, "-"), row(name_of(55), 64, "-")}},
      {"Escape", all_read + "rows 1-21 of 3000", rows_from(0, 21, 64)},
      {"s", all_read + "rows 1-21 of 2970 | stale only", rows_from(30, 21, 64)},
      {"s \\; send-keys -t m -l /pdu-1x \\; send-keys -t m BSpace 2 Enter",
       all_read + "rows 1-21 of 120 | filter \"pdu-12\"", rows_from(24 * 120, 3, 64)},
      {"-l '/' \\; send-keys -t m Enter", all_read + "rows 1-21 of 3000", rows_from(0, 21, 64)},
  };
  for (const auto& step : steps) {
    t.keys("m", step.keys);
    EXPECT_TRUE(shows(step.summary, step.rows)) << step.keys << "\n" << screen;
  }
  // a signal never read shows a dash in yellow, with or without stale_after
  t.keys("m", "G");
  EXPECT_TRUE(shows(all_read + "rows 2980-3000 of 3000", rows_from(2979, 21, 64))) << screen;
  EXPECT_NE(std::string::npos, t.screen("m", true).find(" \x1b[33m-"));
  t.keys("m", "-l /pdu");
  EXPECT_TRUE(wait_until([&] { return last_line_of(t.screen("m")) == "/pdu"; }, 30)) << "no prompt";
  t.keys("m", "Escape");
  EXPECT_TRUE(shows(all_read + "rows 1-21 of 3000", rows_from(0, 21, 64))) << screen;
  t.keys("m", "G");
  EXPECT_TRUE(shows(all_read + "rows 2980-3000 of 3000", rows_from(2979, 21, 64))) << screen;

  // 200 x 50: 47 rows, the last ones pulled into view, and the long name has room
  t.run("resize-window -t m -x 200 -y 50");
  EXPECT_TRUE(shows(all_read + "rows 2954-3000 of 3000", rows_from(2953, 47, 100))) << screen;
  t.keys("m", "Home");
  EXPECT_TRUE(shows(all_read + "rows 1-47 of 3000", rows_from(0, 47, 100))) << screen;
  EXPECT_EQ(50u, lines_of(screen).size());
  EXPECT_TRUE(wait_until([&] { return std::regex_match(line_at(screen = t.screen("m"), 49), delivering); }, 30))
      << line_at(screen, 49);

  t.keys("m", "q");
  EXPECT_TRUE(wait_until([&] { return read_file(dir + "/status") == "0\n"; }, 30));
  EXPECT_EQ(read_file(dir + "/before"), read_file(dir + "/after"));
  // the shell's screen is back as it was, the name of the misspelt key on it
  EXPECT_EQ("morvane.conf:1: unknown key \"stale_afte\" in global", line_at(t.screen("m"), 2));
  stop_listener(l);
}

// level is fresh until the test breaks its file; never is never read.
const char outage_conf[] =
    "global = { display = \"screen\"; stale_after = 8000; send_retry = 1000; };\n"
    "signals = (\n"
    "  { name = \"level\"; signum = 1; call_type = 3; cmd = \"cat level\"; value_type = 0; },\n"
    "  { name = \"ticks\"; signum = 2; call_type = 3; cmd = \"echo 7\"; value_type = 1; },\n"
    "  { name = \"never\"; signum = 3; call_type = 9; value_type = 2; }\n"
    ");\n";

// The seconds since midnight of "HH:MM:SS".
long seconds_of(const std::string& clock) {
  return atol(clock.c_str()) * 3600 + atol(clock.c_str() + 3) * 60 + atol(clock.c_str() + 6);
}

// "HH:MM:SS" of the local time t.
std::string clock_of(time_t t) {
  char text[16];
  strftime(text, sizeof text, "%H:%M:%S", localtime(&t));
  return text;
}

TEST(ScreenTest, StatusLineFollowsAnOutageAndEveryWayOutGivesTheTerminalBack) {
  int log = private_dev_log();
  listener_t* l = start_listener();
  int port = l->port;
  tmux_t t = start_tmux();
  std::string dir = run_dir(outage_conf);
  write_file(dir + "/level", "23.5\n");
  open_session(t, "o", dir, 100, 24, "ZQK_SERVER=127.0.0.1:" + std::to_string(port));
  // without a server, with one signal: the sender ends after the third failure
  const char* ways[] = {"int", "hup", "quit"};
  std::vector<std::string> dirs;
  for (const char* way : ways) {
    dirs.push_back(run_dir("global = { display = \"screen\"; };\n"
                           "signals = ( { name = \"a\"; call_type = 3; cmd = \"echo 1\"; value_type = 1; } );\n"));
    open_session(t, way, dirs.back(), 80, 24, "ZQK_SERVER=127.0.0.1:1");
  }
  // the keys from a terminal, the output into a file: the table, and "q" with Enter ends it
  std::string to_file = run_dir(outage_conf);
  open_session(t, "file", to_file, 80, 24, "ZQK_SERVER=127.0.0.1:1", "> table");
  std::string screen, records;  // the log is read as it comes: a full socket would hold up the sender
  auto last_line = [&](const std::string& session, const std::regex& want) {
    return wait_until([&] {
      records += log_records(log);
      return std::regex_match(last_line_of(screen = t.screen(session)), want);
    }, 30);
  };
  auto summary_is = [&](const std::string& want) {
    return wait_until([&] { return line_at(screen = t.screen("o"), 0) == want; }, 60);
  };
  EXPECT_TRUE(last_line("o", delivering)) << screen;
  EXPECT_TRUE(summary_is("3 signals: 2 fresh, 0 stale, 1 never read | rows 1-3 of 3")) << screen;
  std::string colours = t.screen("o", true);
  EXPECT_NE(std::string::npos, colours.find("level \x1b[36m23.50")) << colours;
  EXPECT_NE(std::string::npos, colours.find("never \x1b[33m-")) << colours;

  write_file(dir + "/level", "down\n");
  EXPECT_TRUE(summary_is("3 signals: 1 fresh, 1 stale, 1 never read | rows 1-3 of 3")) << screen;
  EXPECT_NE(std::string::npos, t.screen("o", true).find("level \x1b[33m23.50"));
  t.keys("o", "s");
  EXPECT_TRUE(summary_is("3 signals: 1 fresh, 1 stale, 1 never read | rows 1-2 of 2 | stale only")) << screen;
  EXPECT_EQ((std::vector<std::string>{"level 23.50", "never -"}), part(screen, 2, 2));
  // a page of one row at the second; level leaves the stale rows and the page is pulled back
  t.run("resize-window -t o -x 100 -y 4");
  EXPECT_TRUE(summary_is("3 signals: 1 fresh, 1 stale, 1 never read | rows 1-1 of 2 | stale only")) << screen;
  t.keys("o", "Down");
  EXPECT_TRUE(summary_is("3 signals: 1 fresh, 1 stale, 1 never read | rows 2-2 of 2 | stale only")) << screen;
  write_file(dir + "/level", "23.5\n");
  EXPECT_TRUE(summary_is("3 signals: 2 fresh, 0 stale, 1 never read | rows 1-1 of 1 | stale only")) << screen;
  EXPECT_EQ("never -", line_at(screen, 2));

  time_t away = time(NULL);
  stop_listener(l);
  std::regex failing("failing: -111 since ([0-9:]+), ([0-9]+) failures?, next try ([0-9:]+) "
                     "\\(Connection refused\\)" + keys);
  std::smatch m;
  ASSERT_TRUE(last_line("o", failing)) << screen;
  std::string status = last_line_of(screen);
  ASSERT_TRUE(std::regex_match(status, m, failing));
  EXPECT_LE((seconds_of(m[1]) - seconds_of(clock_of(away)) + 86400) % 86400, time(NULL) - away) << status;
  EXPECT_GT(m[3].str(), m[1].str()) << status;
  int failures = std::stoi(m[2]);
  std::string since = m[1];
  EXPECT_TRUE(wait_until([&] {  // one more with each retry, the outage's start the same
    std::string line = last_line_of(t.screen("o"));
    return std::regex_match(line, m, failing) && std::stoi(m[2]) > failures && m[1] == since;
  }, 30)) << last_line_of(t.screen("o"));
  for (const char* way : ways)
    EXPECT_TRUE(last_line(way, std::regex("ended [0-9:]+ after 3 failures: -111 \\(Connection refused\\)" + keys)))
        << screen;

  l = start_listener(port);
  EXPECT_TRUE(last_line("o", delivering)) << screen;
  // "r" reloads morvane.conf: a broken file is refused and changes nothing, a good one applies
  std::string more = outage_conf;
  write_file(dir + "/morvane.conf", more + "oops\n");
  t.keys("o", "r");
  EXPECT_TRUE(last_line("o", std::regex("delivering: .* morvane.conf refused: see the system log"))) << screen;
  // with an agent that never answers (a socket nobody reads) and a figure of its health
  int quiet_port, quiet = bind_loopback(SOCK_DGRAM, &quiet_port);
  std::string at = "ip_addr = \"127.0.0.1:" + std::to_string(quiet_port) + "\"; value_type = 1; ";
  more.insert(more.find("  { name = \"never\""), "  { name = \"added\"; signum = 4; call_type = 3; cmd = \"echo 4\"; value_type = 1; },\n"
              "  { name = \"quiet\"; signum = 5; call_type = 1; oid = \"1.3.6.1.2.1.1.3.0\"; snmp_timeout = 1; snmp_num_retries = 0; " + at + "},\n"
              "  { name = \"quiet lost\"; signum = 6; call_type = 4; health = \"lost\"; " + at + "},\n");
  write_file(dir + "/morvane.conf", more);
  t.keys("o", "r");
  EXPECT_TRUE(last_line("o", std::regex("delivering: .* morvane.conf reloaded"))) << screen;
  const std::string counts = "6 signals: 4 fresh, 0 stale, 2 never read | 1 agent silent or late | ";
  EXPECT_TRUE(summary_is(counts + "rows 1-1 of 2 | stale only")) << screen;
  t.keys("o", "s h");  // the figures of morvane's own alone
  EXPECT_TRUE(summary_is(counts + "rows 1-1 of 1 | health only")) << screen;
  EXPECT_TRUE(std::regex_match(line_at(screen, 2), std::regex("quiet lost +[1-9][0-9]*"))) << screen;
  close(quiet);
  EXPECT_TRUE(last_line("o", delivering)) << screen;  // the keys again after 5 s
  EXPECT_EQ(std::string::npos, t.run("capture-pane -p -S - -t o").find("Value put error"));
  std::string pid = std::to_string(atoi(read_file(dir + "/pid").c_str()));
  if (log >= 0) {
    EXPECT_LE(4u, count_of(records, " morvane-[" + pid + "]: ERROR: ZQK ERROR -111\n")) << records;
    EXPECT_EQ(1u, count_of(records, " morvane-[" + pid + "]: morvane.conf:8 - syntax error\n")) << records;
    EXPECT_EQ(1u, count_of(records, " morvane-[" + pid + "]: morvane: morvane.conf reloaded: 3 added, 0 removed, 0 changed\n"));
  }

  std::string table = read_file(to_file + "/table");
  EXPECT_NE(std::string::npos, table.find("Press \"q\" for exit ...\n")) << table;
  EXPECT_NE(std::string::npos, table.find("\x1b[0mticks\x1b[36m7\x1b[0m\n")) << table;
  EXPECT_NE(std::string::npos, table.find("Value put error:-111\n")) << table;
  t.keys("file", "q Enter");

  // SIGTERM, Ctrl-C, SIGHUP, SIGQUIT: the process ends by the signal, the terminal as it was found
  kill(atoi(pid.c_str()), SIGTERM);
  t.keys("int", "C-c");
  kill(atoi(read_file(dirs[1] + "/pid").c_str()), SIGHUP);
  kill(atoi(read_file(dirs[2] + "/pid").c_str()), SIGQUIT);
  const char* statuses[] = {"143\n", "130\n", "129\n", "131\n", "0\n"};
  std::vector<std::string> all = {dir, dirs[0], dirs[1], dirs[2], to_file};
  for (size_t i = 0; i < all.size(); i++) {
    EXPECT_TRUE(wait_until([&] { return read_file(all[i] + "/status") == statuses[i]; }, 30))
        << read_file(all[i] + "/status");
    EXPECT_EQ(read_file(all[i] + "/before"), read_file(all[i] + "/after"));
  }
  EXPECT_EQ(std::string::npos, t.run("capture-pane -p -S - -t o").find("Value put error"));
  stop_listener(l);
  if (log >= 0)
    umount2("/dev", MNT_DETACH);
}

// Standard input and output are not terminals: the table, as without the key. The misspelt keys
// are named before it, once each for each group that holds them, in the file's order.
TEST(ScreenTest, WithoutATerminalTheTableStaysAndMisspeltKeysAreNamedOnceWithTheirLine) {
  proc_t p = start_morvane(run_dir(
      "global = { display = \"screen\"; stale_afte = 1; snmp_comunity = \"x\"; };\n"
      "signal = ();\n"
      "signals = (\n"
      "  { name = \"Temp\"; call_type = 3; cmd = \"echo 21.5\"; value_type = 0; snmp_comunity = \"a\"; },\n"
      "  { name = \"Volt\"; call_type = 3; cmd = \"echo 230\"; value_typ = 1; snmp_comunity = \"b\"; },\n"
      "  { name = \"Flow\"; call_type = 3; cmd = \"echo 1\"; snmp_comunity = \"c\"; }\n"
      ");\n"), {"ZQK_SERVER=127.0.0.1:1"});
  ASSERT_TRUE(wait_for_prompt(p, 30));
  EXPECT_TRUE(wait_until([&] { return shown(p, "Temp") == "21.50" && shown(p, "Volt") == "230.00"; }, 30))
      << p.out();
  EXPECT_NE(std::string::npos, p.out().find("\x1b[2J\x1b[0m\x1b[34;1mNameValue\x1b[0m\n"));
  EXPECT_TRUE(wait_until([&] { return count_of(p.out(), "Value put error:-111\n") >= 3; }, 30));
  send_input(p, "q\n");
  EXPECT_EQ(0, wait_exit(p, 30));
  EXPECT_EQ("morvane.conf:1: unknown key \"stale_afte\" in global\n"
            "morvane.conf:1: unknown key \"snmp_comunity\" in global\n"
            "morvane.conf:2: unknown key \"signal\"\n"
            "morvane.conf:4: unknown key \"snmp_comunity\" in signals (and in 2 more)\n"
            "morvane.conf:5: unknown key \"value_typ\" in signals\n",
            p.err());
}

}  // namespace
