// Broken configurations against the real binary: each is refused with libconfig's line and
// status 1, or loads and runs until "q"; never a crash or a hang.
#include <gtest/gtest.h>

#include "e2e.h"

namespace {

std::string nested(int depth) {
  return "signals = " + std::string(depth, '(') + std::string(depth, ')') + ";\n";
}

std::string many_signals(int n) {
  std::string s = "signals = (\n";
  for (int i = 0; i < n; i++)
    s += "{ name = \"s" + std::to_string(i) + "\"; signum = " + std::to_string(i) +
         "; call_type = 9; value_type = 9; },\n";
  s.erase(s.size() - 2);  // the last comma
  return s + "\n);\n";
}

struct bad_conf_t {
  const char* what;
  std::string text;
  const char* error;  // libconfig's line on standard error, or NULL when the file loads
};

TEST(BadConfigTest, RefusedWithLibconfigLineOrLoaded) {
  std::vector<bad_conf_t> cases = {
      {"empty file", "", NULL},
      {"truncated in a group", "global = {\n  snmp_timeout = 1;\n};\nsignals = (\n  { name = \"a\"; },\n  { name",
       "morvane.conf:6 - syntax error"},
      {"truncated in a string", "signals = ( { name = \"Temp", "morvane.conf:1 - syntax error"},
      {"NUL byte in a string", std::string("signals = ( { name = \"a\0b\"; } );", 32), NULL},
      {"binary bytes", "\x7f" "ELF\x02\x01\x01\xff\xfe\x1b[2J\x00\x00", "morvane.conf:1 - syntax error"},
      {"escape bytes in a name", "signals = ( { name = \"\x1b[31mred\x1b]0;title\x07\"; } );", NULL},
      {"nested 3000 deep", nested(3000), NULL},
      {"nested 20000 deep", nested(20000), "morvane.conf:1 - memory exhausted"},
      {"100 000 signals", many_signals(100000), NULL},
      {"every key of the wrong type",
       "global = { snmp_timeout = \"1\"; snmp_community = 5; snmp_user = [\"u\"]; };\n"
       "signals = ( { id = \"x\"; signum = 1.5; name = 5; cmd = [\"echo\"]; call_type = \"3\";"
       " value_type = true; oid = { a = 1; }; snmp_timeout = 99999999999L; ip_addr = (1); } );\n",
       NULL},
      {"unknown include", "@include \"no-such-file.conf\"\n", "morvane.conf:1 - cannot open include file"},
  };
  // all start at once: the start-up pause is paid once
  std::vector<proc_t> procs;
  for (const bad_conf_t& c : cases) {
    std::string dir = make_temp_dir();
    write_file(dir + "/morvane.conf", c.text);
    procs.push_back(start_morvane(dir, {"ZQK_SERVER=127.0.0.1:1"}));
  }
  for (size_t i = 0; i < cases.size(); i++) {
    SCOPED_TRACE(cases[i].what);
    proc_t& p = procs[i];
    if (cases[i].error) {
      EXPECT_EQ(1, wait_exit(p, 60));
      EXPECT_EQ(std::string(cases[i].error) + "\n", read_file(p.err_path));
      continue;
    }
    EXPECT_TRUE(wait_for_prompt(p, 60));
    send_input(p, "q\n");
    EXPECT_EQ(0, wait_exit(p, 30));
    EXPECT_EQ("", read_file(p.err_path));
  }
}

}  // namespace
