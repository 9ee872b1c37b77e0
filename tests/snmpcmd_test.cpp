// snmpget lines: exact bytes for ordinary settings, overrides, the option tables, empty values,
// the length limit, and shell quoting proved by running the line with a stand-in snmpget.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "app.h"
#include "e2e.h"
#include "getcmdout.h"
#include "snmpcmd.h"

namespace {

signal_t* v2c_signal() {
  signal_t* s = new_signal();
  s->call_type = 1;
  s->snmp_timeout = 2;
  s->snmp_num_retries = 1;
  s->snmp_community = "public";
  s->ip_addr = "10.0.0.5";
  s->oid = ".1.3.6.1.2.1.1.3.0";
  return s;
}

signal_t* v3_signal() {
  signal_t* s = v2c_signal();
  s->call_type = 2;
  s->snmp_sec_level = 2;
  s->snmp_priv_prot = 1;
  s->snmp_priv_pphrase = "privsecret";
  s->snmp_auth_prot = 1;
  s->snmp_auth_pphrase = "authsecret";
  s->snmp_user = "ops";
  return s;
}

TEST(SnmpCmdTest, OrdinaryLinesAreTheFormatsFilledWithSingleBlanks) {
  signal_t* s = v2c_signal();
  snmp_conf_t unset;
  EXPECT_EQ("snmpget -t 2 -r 1 -Oqv -v 2c -c public 10.0.0.5 .1.3.6.1.2.1.1.3.0 2>/dev/null",
            make_snmp_cmd(s, &unset));
  s->call_type = 0;
  EXPECT_EQ("snmpget -t 2 -r 1 -Oqv -v 1 -c public 10.0.0.5 .1.3.6.1.2.1.1.3.0 2>/dev/null",
            make_snmp_cmd(s, &unset));
  EXPECT_EQ(make_snmp_cmd(s, &unset), make_snmp_cmd(s, NULL));
  EXPECT_EQ(
      "snmpget -t 2 -r 1 -Oqv -v 3 -l authPriv -x AES -X privsecret -a SHA -A authsecret"
      " -c public -u ops 10.0.0.5 .1.3.6.1.2.1.1.3.0 2>/dev/null",
      make_snmp_cmd(v3_signal(), &unset));
}

TEST(SnmpCmdTest, FormatConstantsHoldBothLayouts) {
  EXPECT_STREQ("snmpget -t %d -r %d -Oqv -v %s -c %s %s %s 2>/dev/null", snmp_v1_2c_cmd);
  EXPECT_STREQ(
      "snmpget -t %d -r %d -Oqv -v %s -l %s -x %s -X %s -a %s -A %s -c %s -u %s %s %s 2>/dev/null",
      snmp_v3_cmd);
}

TEST(SnmpCmdTest, UnsetSignalLeavesTheTimeoutToSnmpgetAndTakesFirstTableEntries) {
  signal_t s;
  s.call_type = 2;
  s.snmp_user = "u";
  EXPECT_EQ("snmpget -r 0 -Oqv -v 3 -l noAuthNoPriv -x DES -a MD5 -u u   2>/dev/null",
            make_snmp_cmd(&s, NULL));
}

TEST(SnmpCmdTest, GlobalOverridesInForceReplaceEverySetting) {
  signal_t* s = v3_signal();
  snmp_conf_t g;
  g.snmp_timeout = 5;
  g.snmp_num_retries = 0;
  g.snmp_sec_level = 1;
  g.snmp_priv_prot = 0;
  g.snmp_priv_pphrase = "gpriv1234";
  g.snmp_auth_prot = 5;
  g.snmp_auth_pphrase = "gauth1234";
  g.snmp_user = "guser";
  g.snmp_community = "gcomm";
  g.snmp_context = "ignored";
  EXPECT_EQ(
      "snmpget -t 5 -r 0 -Oqv -v 3 -l authNoPriv -x DES -X gpriv1234 -a SHA-512 -A gauth1234"
      " -c gcomm -u guser 10.0.0.5 .1.3.6.1.2.1.1.3.0 2>/dev/null",
      make_snmp_cmd(s, &g));
  g.snmp_timeout = -1;  // unset again: the signal's own 2 comes back
  EXPECT_EQ(0, make_snmp_cmd(s, &g).compare(0, 17, "snmpget -t 2 -r 0"));
}

TEST(SnmpCmdTest, TablesNameWhatSnmpgetAccepts) {
  const char* auth[] = {"MD5", "SHA", "SHA-224", "SHA-256", "SHA-384", "SHA-512"};
  for (int i = 0; i < 6; i++)
    EXPECT_STREQ(auth[i], getAuthProtById(i));
  EXPECT_STREQ("noAuthNoPriv", getSecLevelById(0));
  EXPECT_STREQ("authNoPriv", getSecLevelById(1));
  EXPECT_STREQ("authPriv", getSecLevelById(2));
  EXPECT_STREQ("DES", getPrivProtById(0));
  EXPECT_STREQ("AES", getPrivProtById(1));
  for (int out : {-1, 3, 7, 1 << 30}) {
    EXPECT_STREQ("", getSecLevelById(out));
    EXPECT_STREQ("", getPrivProtById(out < 3 ? 2 : out));
  }
  EXPECT_STREQ("", getAuthProtById(6));
  EXPECT_STREQ("", getAuthProtById(-2));
}

TEST(SnmpCmdTest, EmptyValuesDropTheirOption) {
  signal_t* s = v3_signal();
  s->snmp_sec_level = 7;
  s->snmp_priv_prot = 9;
  s->snmp_priv_pphrase = "";
  s->snmp_auth_prot = 6;
  s->snmp_auth_pphrase = "";
  s->snmp_community = "";
  EXPECT_EQ("snmpget -t 2 -r 1 -Oqv -v 3 -u ops 10.0.0.5 .1.3.6.1.2.1.1.3.0 2>/dev/null",
            make_snmp_cmd(s, NULL));
  s->call_type = 1;
  EXPECT_EQ("snmpget -t 2 -r 1 -Oqv -v 2c 10.0.0.5 .1.3.6.1.2.1.1.3.0 2>/dev/null",
            make_snmp_cmd(s, NULL));
}

TEST(SnmpCmdTest, LinesOver8191BytesComeBackEmpty) {
  signal_t* s = v2c_signal();
  std::string base = make_snmp_cmd(s, NULL);
  s->oid += std::string(8191 - base.size(), '1');
  EXPECT_EQ(8191u, make_snmp_cmd(s, NULL).size());
  s->oid += "1";
  EXPECT_EQ("", make_snmp_cmd(s, NULL));
}

TEST(SnmpCmdTest, QuotesOnlyTextsThatNeedIt) {
  signal_t* s = v2c_signal();
  s->snmp_community = "Az09@%+=:,./_-";
  s->ip_addr = "udp:[::1]:161";
  s->oid = "it's";
  EXPECT_EQ(
      "snmpget -t 2 -r 1 -Oqv -v 2c -c Az09@%+=:,./_- 'udp:[::1]:161' 'it'\\''s' 2>/dev/null",
      make_snmp_cmd(s, NULL));
}

// What a stand-in snmpget on PATH receives, one argument a line.
std::string arguments_seen(const signal_t* s) {
  static std::string dir;
  if (dir.empty()) {
    dir = make_temp_dir();
    write_file(dir + "/snmpget", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done\n");
    chmod((dir + "/snmpget").c_str(), 0755);
  }
  std::string path = getenv("PATH");
  setenv("PATH", (dir + ":" + path).c_str(), 1);
  std::string seen = getCmdOut(make_snmp_cmd(s, NULL));
  setenv("PATH", path.c_str(), 1);  // later tests in this process need the real snmpget
  return seen;
}

TEST(SnmpCmdTest, HostileTextsReachSnmpgetUnchanged) {
  const char* hostile[] = {"pa$$word", "$HOME", "pa$$ word!", "it's", "\"dq\" 'sq'", "`touch x`",
                           "$(id)", "a;b|c&d", "*", "~root", "#x", "tab\there", "back\\slash",
                           "<in >out", "line\nbreak", "'", "''", "{a,b}", "!!"};
  for (const char* text : hostile) {
    signal_t* s = v3_signal();
    s->snmp_priv_pphrase = text;
    s->snmp_auth_pphrase = std::string(text) + "A";
    s->snmp_user = text;
    s->snmp_community = text;
    s->ip_addr = text;
    s->oid = text;
    std::string t = text;
    EXPECT_EQ("-t\n2\n-r\n1\n-Oqv\n-v\n3\n-l\nauthPriv\n-x\nAES\n-X\n" + t + "\n-a\nSHA\n-A\n" + t +
                  "A\n-c\n" + t + "\n-u\n" + t + "\n" + t + "\n" + t + "\n",
              arguments_seen(s))
        << "for " << text;
  }
}

}  // namespace
