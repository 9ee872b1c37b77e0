// The real binary in a real terminal (tmux): the table's columns, colours and live readings as
// the operator sees them, and its exact bytes when standard output is a file.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include "e2e.h"
#include "getcmdout.h"
#include "listener.h"

namespace {

// morvane in an 80x30 pane of a tmux server of its own; its exit status lands in dir/status.
struct pane_t {
  std::string tmux;
  std::string dir;

  pane_t(const std::string& conf, int zqk_port) {
    dir = make_temp_dir();
    write_file(dir + "/morvane.conf", conf);
    tmux = "tmux -S " + dir + "/tmux.sock -f /dev/null";  // a server of its own
    std::string cmd = "cd " + dir + " && env LC_ALL=C.UTF-8 ZQK_SERVER=127.0.0.1:" +
                      std::to_string(zqk_port) + " " + MORVANE_BIN + "; echo $? > " + dir + "/status";
    getCmdOut("LC_ALL=C.UTF-8 " + tmux + " new-session -d -x 80 -y 30 -s m '" + cmd + "'");
  }
  ~pane_t() { getCmdOut(tmux + " kill-server 2>/dev/null"); }

  // The screen as text; with colours, as tmux's own SGR sequences.
  std::string capture(bool colours) { return getCmdOut(tmux + " capture-pane -p " + (colours ? "-e " : "") + "-t m"); }
  void keys(const std::string& keys) { getCmdOut(tmux + " send-keys -t m " + keys); }
  // The exit status written by the pane's shell, or -1 when morvane has not ended in seconds.
  int exit_status(double seconds) {
    std::string path = dir + "/status";
    if (!wait_until([&] { return !read_file(path).empty(); }, seconds))
      return -1;
    return atoi(read_file(path).c_str());
  }
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0, end;
  while ((end = text.find('\n', start)) != std::string::npos) {
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// Terminal columns of the first n bytes of a line of one-column characters.
int columns(const std::string& line, size_t n) {
  int cols = 0;
  for (size_t i = 0; i < n && i < line.size(); i++)
    cols += ((unsigned char)line[i] & 0xC0) != 0x80;
  return cols;
}

struct row_t {
  int column;           // where the reading starts
  std::string reading;  // to the end of the line
};

// The last whole table on the screen: the column of "Value" and each named row in order;
// false while the screen holds no whole table yet.
bool last_table(const std::string& screen, const std::vector<std::string>& names, int* value_column,
                std::vector<row_t>* rows) {
  std::vector<std::string> ls = lines(screen);
  for (size_t h = ls.size(); h-- > 0;) {
    if (ls[h].compare(0, 4, "Name") != 0 || ls[h].find("Value") == std::string::npos)
      continue;
    if (h + names.size() >= ls.size())
      return false;
    *value_column = columns(ls[h], ls[h].find("Value"));
    rows->clear();
    for (size_t i = 0; i < names.size(); i++) {
      const std::string& l = ls[h + 1 + i];
      if (l.compare(0, names[i].size(), names[i]) != 0)
        return false;
      size_t at = l.find_first_not_of(' ', names[i].size());
      if (at == std::string::npos)
        return false;
      rows->push_back({columns(l, at), l.substr(at)});
    }
    return true;
  }
  return false;
}

const std::vector<std::string> four_names = {"Temp", "Voltage", "T\xc3\xa4mperatur", "\xce\x94p"};

// Four command signals reading files of dir, one of each value type.
std::string four_signals(const std::string& dir) {
  return "signals = (\n"
         "  { name = \"Temp\"; call_type = 3; value_type = 0; cmd = \"cat " + dir + "/temp\"; },\n"
         "  { name = \"Voltage\"; call_type = 3; value_type = 1; cmd = \"cat " + dir + "/volt\"; },\n"
         "  { name = \"T\xc3\xa4mperatur\"; call_type = 3; value_type = 2; cmd = \"cat " + dir + "/on\"; },\n"
         "  { name = \"\xce\x94p\"; call_type = 3; value_type = 3; cmd = \"cat " + dir + "/text\"; }\n"
         ");\n";
}

TEST(TerminalTest, EveryReadingStartsInTheColumnOfValueAndQEndsIt) {
  listener_t* zqk = start_listener();
  std::string data = make_temp_dir();
  write_file(data + "/temp", "21.5\n");
  pane_t pane(four_signals(data), zqk->port);
  int value_column = 0;
  std::vector<row_t> rows;
  ASSERT_TRUE(wait_until([&] { return last_table(pane.capture(false), four_names, &value_column, &rows); }, 30))
      << pane.capture(false);
  EXPECT_EQ(11, value_column);  // "Tämperatur" and one blank
  for (size_t i = 0; i < rows.size(); i++)
    EXPECT_EQ(value_column, rows[i].column) << four_names[i] << ": " << rows[i].reading;
  std::string coloured;  // a capture may fall between the clear and the header: look again
  EXPECT_TRUE(wait_until([&] {
    coloured = pane.capture(true);
    return coloured.find("\x1b[1m\x1b[34mName       Value") != std::string::npos;
  }, 10)) << coloured;
  for (const row_t& r : rows)
    EXPECT_NE(std::string::npos, coloured.find("\x1b[36m" + r.reading)) << r.reading << " not in cyan";
  pane.keys("x Enter q Enter");
  EXPECT_EQ(0, pane.exit_status(10));
  stop_listener(zqk);
}

TEST(TerminalTest, ReadingsFollowTheCommands) {
  listener_t* zqk = start_listener();
  std::string data = make_temp_dir();
  write_file(data + "/temp", "21.5\n");
  write_file(data + "/volt", " 230 V\n");
  write_file(data + "/on", "2\n");
  write_file(data + "/text", "a\x1b[31mred\x1b[0m\r\n");
  pane_t pane(four_signals(data), zqk->port);
  int value_column = 0;
  std::vector<row_t> rows;
  auto shows = [&](std::vector<std::string> want) {
    return wait_until([&] {
      if (!last_table(pane.capture(false), four_names, &value_column, &rows))
        return false;
      for (size_t i = 0; i < want.size(); i++)
        if (rows[i].reading != want[i])
          return false;
      return true;
    }, 30);
  };
  // the text's line end breaks the line inside the quotes; its escape bytes are only shown
  EXPECT_TRUE(shows({"21.50", "230", "TRUE", "\"a\\x1b[31mred\\x1b[0m\\x0d"})) << pane.capture(false);
  EXPECT_EQ(std::string::npos, pane.capture(true).find("\x1b[31m")) << "the device recoloured the screen";
  write_file(data + "/temp", "-3.125\n");
  write_file(data + "/volt", "-7\n");
  write_file(data + "/on", "0\n");
  write_file(data + "/text", "up");
  EXPECT_TRUE(shows({"-3.12", "-7", "FALSE", "\"up\""})) << pane.capture(false);
  for (size_t i = 0; i < rows.size(); i++)
    EXPECT_EQ(value_column, rows[i].column) << four_names[i];
  pane.keys("q Enter");
  EXPECT_EQ(0, pane.exit_status(10));
  stop_listener(zqk);
}

TEST(TerminalTest, FrameBytesAreClearHeaderRowsAndALineEnd) {
  // signals that are never fetched keep their first readings, so every frame is the same
  std::string dir = make_temp_dir();
  write_file(dir + "/morvane.conf",
             "signals = (\n"
             "  { name = \"Temp\"; call_type = 9; value_type = 0; },\n"
             "  { name = \"Voltage\"; call_type = 9; value_type = 1; },\n"
             "  { name = \"\xce\x94p\"; call_type = 9; value_type = 2; },\n"
             "  { name = \"hidden\"; call_type = 9; value_type = 7; },\n"
             "  { name = \"T\xc3\xa4xt\"; call_type = 9; value_type = 3; }\n"
             ");\n");
  listener_t* zqk = start_listener();
  proc_t p = start_morvane(dir, {"ZQK_SERVER=127.0.0.1:" + std::to_string(zqk->port)});
  const std::string frame =
      "\x1b[2J\x1b[0m\x1b[34;1mName   Value\x1b[0m\n"
      "\x1b[0mTemp   \x1b[36m0.00\x1b[0m\n"
      "\x1b[0mVoltage\x1b[36m0\x1b[0m\n"
      "\x1b[0m\xce\x94p     \x1b[36mFALSE\x1b[0m\n"
      "\x1b[0mT\xc3\xa4xt   \x1b[36m\"\"\x1b[0m\n"
      "\n";
  // the whole frame, twice: it is redrawn, and never with a cursor move
  EXPECT_TRUE(wait_until([&] {
    std::string out = read_file(p.out_path);
    size_t first = out.find(frame);
    return first != std::string::npos && out.find(frame, first + frame.size()) != std::string::npos;
  }, 30))
      << read_file(p.out_path);
  send_input(p, "q\n");
  EXPECT_EQ(0, wait_exit(p, 10));
  stop_listener(zqk);
}

}  // namespace
