// The loaders over configuration texts parsed by libconfig.
#include <gtest/gtest.h>
#include <libconfig.h>

#include "app.h"

namespace {

// Parses text, runs both loaders on a fresh table and returns what they wrote on stdout.
std::string load(const char* text) {
  for (signal_t* s : signalsVector)
    delete s;
  signalsVector.clear();
  delete global_snmp_conf;
  global_snmp_conf = NULL;
  config_t cfg;
  config_init(&cfg);
  EXPECT_EQ(CONFIG_TRUE, config_read_string(&cfg, text)) << text;
  testing::internal::CaptureStdout();
  load_global_conf(&cfg);
  load_signals(&cfg);
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  config_destroy(&cfg);
  return out;
}

TEST(LoaderTest, GlobalOverridesByGroupShape) {
  struct {
    const char* text;
    int timeout, retries, sec_level;
    const char* community;
  } cases[] = {
      {"", -1, -1, -1, ""},
      {"global = { snmp_timeout = 5; snmp_community = \"pub lic\"; };", 5, -1, -1, "pub lic"},
      {"global = { snmp_timeout = \"5\"; snmp_num_retries = 2.0; snmp_community = 7; };", -1, -1, -1, ""},
      // libconfig hands out a 64-bit value that does not fit an int as 0, and says it succeeded
      {"global = { snmp_sec_level = 2L; snmp_num_retries = 9999999999L; };", -1, 0, 2, ""},
      {"global = 5;", -1, -1, -1, ""},
      {"global = ( { snmp_timeout = 5; } );", -1, -1, -1, ""},
      {"global = { snmp_timeout = -1; snmp_community = \"\"; };", -1, -1, -1, ""},
  };
  for (const auto& c : cases) {
    load(c.text);
    ASSERT_NE(nullptr, global_snmp_conf) << c.text;
    EXPECT_EQ(c.timeout, global_snmp_conf->snmp_timeout) << c.text;
    EXPECT_EQ(c.retries, global_snmp_conf->snmp_num_retries) << c.text;
    EXPECT_EQ(c.sec_level, global_snmp_conf->snmp_sec_level) << c.text;
    EXPECT_EQ(c.community, global_snmp_conf->snmp_community) << c.text;
  }
}

TEST(LoaderTest, EveryGlobalKeyIsRead) {
  load(
      "global = { snmp_timeout = 1; snmp_num_retries = 2; snmp_sec_level = 3; snmp_priv_prot = 4;"
      " snmp_priv_pphrase = \"pa$$ word'\"; snmp_auth_prot = 5; snmp_auth_pphrase = \"a\";"
      " snmp_user = \"u\"; snmp_community = \"c\"; snmp_context = \"ctx\"; };");
  const snmp_conf_t& g = *global_snmp_conf;
  EXPECT_EQ(1, g.snmp_timeout);
  EXPECT_EQ(2, g.snmp_num_retries);
  EXPECT_EQ(3, g.snmp_sec_level);
  EXPECT_EQ(4, g.snmp_priv_prot);
  EXPECT_EQ("pa$$ word'", g.snmp_priv_pphrase);
  EXPECT_EQ(5, g.snmp_auth_prot);
  EXPECT_EQ("a", g.snmp_auth_pphrase);
  EXPECT_EQ("u", g.snmp_user);
  EXPECT_EQ("c", g.snmp_community);
  EXPECT_EQ("ctx", g.snmp_context);
}

TEST(LoaderTest, SignalListShapesAndLineEnd) {
  struct {
    const char* text;
    size_t count;
    const char* out;
  } cases[] = {
      {"", 0, ""},
      {"global = {};", 0, ""},
      {"signals = ();", 0, "\n"},
      {"signals = 5;", 0, "\n"},
      {"signals = \"abc\";", 0, "\n"},
      {"signals = {};", 0, "\n"},
      {"signals = [1, 2];", 2, "\n"},
      {"signals = ( {}, {}, {} );", 3, "\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.out, load(c.text)) << c.text;
    EXPECT_EQ(c.count, signalsVector.size()) << c.text;
  }
}

TEST(LoaderTest, KeepsFileOrderAndDefaultsNonGroupElements) {
  load("signals = ( { name = \"first\"; }, 42, { name = \"third\"; signum = 3; }, \"x\" );");
  ASSERT_EQ(4u, signalsVector.size());
  EXPECT_EQ("first", signalsVector[0]->name);
  EXPECT_EQ("", signalsVector[1]->name);
  EXPECT_EQ(0, signalsVector[1]->signum);
  EXPECT_EQ(0, signalsVector[1]->call_type);
  EXPECT_EQ("third", signalsVector[2]->name);
  EXPECT_EQ(3, signalsVector[2]->signum);
  EXPECT_EQ("", signalsVector[3]->name);
}

TEST(LoaderTest, WrongTypesKeepDefaultsAndOutOfRangeIsStored) {
  load(
      "signals = ( { name = 5; cmd = [\"echo\"]; signum = \"12\"; call_type = 9;"
      " value_type = -4; snmp_timeout = 2.5; oid = \"1.3.6\"; divider = 3000000000L; } );");
  const signal_t& s = *signalsVector[0];
  EXPECT_EQ("", s.name);
  EXPECT_EQ("", s.cmd);
  EXPECT_EQ(0, s.signum);
  EXPECT_EQ(9, s.call_type);
  EXPECT_EQ(-4, s.value_type);
  EXPECT_EQ(0, s.snmp_timeout);
  EXPECT_EQ("1.3.6", s.oid);
  EXPECT_EQ(0, s.divider);  // out of int range: libconfig gives 0
}

TEST(LoaderTest, EverySignalKeyIsRead) {
  load(
      "signals = ( { id = 1; signum = 2; dev_name = \"dev\"; dev_id = 3; name = \"T\\u00e4mp\";"
      " cmd = \"echo 'a b' $HOME\"; oid = \"SNMPv2-MIB::sysDescr.0\"; call_type = 2;"
      " snmp_timeout = 4; snmp_num_retries = 5; snmp_sec_level = 1; snmp_priv_prot = 1;"
      " snmp_priv_pphrase = \"priv\"; snmp_auth_prot = 3; snmp_auth_pphrase = \"auth\";"
      " snmp_user = \"user\"; ip_addr = \"udp:127.0.0.1:1161\"; snmp_community = \"public\";"
      " snmp_context = \"ctx\"; value_type = 3; divider = 10; active_value = \"on\";"
      " inactive_value = \"off\"; } );");
  const signal_t& s = *signalsVector[0];
  EXPECT_EQ(1, s.id);
  EXPECT_EQ(2, s.signum);
  EXPECT_EQ("dev", s.dev_name);
  EXPECT_EQ(3, s.dev_id);
  EXPECT_EQ("T\\u00e4mp", s.name);  // libconfig takes no \u escapes: kept as written
  EXPECT_EQ("echo 'a b' $HOME", s.cmd);
  EXPECT_EQ("SNMPv2-MIB::sysDescr.0", s.oid);
  EXPECT_EQ(2, s.call_type);
  EXPECT_EQ(4, s.snmp_timeout);
  EXPECT_EQ(5, s.snmp_num_retries);
  EXPECT_EQ(1, s.snmp_sec_level);
  EXPECT_EQ(1, s.snmp_priv_prot);
  EXPECT_EQ("priv", s.snmp_priv_pphrase);
  EXPECT_EQ(3, s.snmp_auth_prot);
  EXPECT_EQ("auth", s.snmp_auth_pphrase);
  EXPECT_EQ("user", s.snmp_user);
  EXPECT_EQ("udp:127.0.0.1:1161", s.ip_addr);
  EXPECT_EQ("public", s.snmp_community);
  EXPECT_EQ("ctx", s.snmp_context);
  EXPECT_EQ(3, s.value_type);
  EXPECT_EQ(10, s.divider);
  EXPECT_EQ("on", s.active_value);
  EXPECT_EQ("off", s.inactive_value);
  EXPECT_EQ(0.0f, s.float_value);
  EXPECT_EQ(0, s.int_value);
  EXPECT_EQ("", s.text_value);
}

}  // namespace
