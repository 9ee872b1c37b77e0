// The real binary in a real terminal (tmux): the table's columns and colours as the operator
// sees them, and "q" typed at the keyboard.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "getcmdout.h"
#include "harness.h"

namespace {

// Every reading starts in the column of "Value": one blank after "Tämperatur", the first of the
// two longest names, whatever the bytes of each character (€ has three); the text's line end
// breaks its line inside the quotes.
const char table[] =
    "Name       Value\n"
    "Temp       21.50\n"
    "Voltage    230\n"
    "T\xc3\xa4mperatur TRUE\n"
    "Durchfluss \"a\\x1b[31mred\\x0d\n"
    "\"\n"
    "\xce\x94p         \"\"\n"
    "\xe2\x82\xac/kWh      0.30\n";

TEST(TerminalTest, ReadingsStartInTheColumnOfValueInCyanAndQEndsIt) {
  std::string dir = run_dir("signals = (\n"
      "{ name = \"Temp\"; call_type = 3; value_type = 0; cmd = \"echo 21.5\"; },\n"
      "{ name = \"Voltage\"; call_type = 3; value_type = 1; cmd = \"echo ' 230 V'\"; },\n"
      "{ name = \"T\xc3\xa4mperatur\"; call_type = 3; value_type = 2; cmd = \"echo 2\"; },\n"
      "{ name = \"Durchfluss\"; call_type = 3; value_type = 3; cmd = \"printf 'a\\\\033[31mred\\\\r\\\\n'\"; },\n"
      "{ name = \"\xce\x94p\"; call_type = 3; value_type = 3; cmd = \"true\"; },\n"
      "{ name = \"\xe2\x82\xac/kWh\"; call_type = 3; value_type = 0; cmd = \"echo 0.3\"; } );\n");
  std::string tmux = "tmux -S " + dir + "/tmux.sock -f /dev/null";  // a server of its own
  pid_t server = start_tmux_server(dir + "/tmux.sock");
  getCmdOut("LC_ALL=C.UTF-8 " + tmux + " new-session -d -x 80 -y 30 -s m 'cd " + dir +
            " && env LC_ALL=C.UTF-8 ZQK_SERVER=127.0.0.1:1 " + MORVANE_BIN + "; echo $? > status'");
  std::string screen;  // a capture may fall between the clear and the header: look again
  EXPECT_TRUE(wait_until([&] {
    return (screen = getCmdOut(tmux + " capture-pane -p -t m")).find(table) != std::string::npos;
  }, 30)) << screen;
  EXPECT_TRUE(wait_until([&] {
    screen = getCmdOut(tmux + " capture-pane -p -e -t m");
    return screen.find("\x1b[1m\x1b[34mName       Value") != std::string::npos;
  }, 30)) << screen;
  for (const char* r : {"21.50", "230", "TRUE", "\"a\\x1b"})
    EXPECT_NE(std::string::npos, screen.find(std::string("\x1b[36m") + r)) << r << " not in cyan";
  EXPECT_EQ(std::string::npos, screen.find("\x1b[31m")) << "the device recoloured the screen";
  getCmdOut(tmux + " send-keys -t m x Enter q Enter");
  EXPECT_TRUE(wait_until([&] { return read_file(dir + "/status") == "0\n"; }, 30));
  getCmdOut(tmux + " kill-server 2>/dev/null");
  waitpid(server, NULL, 0);
}

}  // namespace
