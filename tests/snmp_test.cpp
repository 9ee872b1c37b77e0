// SNMP readings end to end: lines built by make_snmp_cmd, run by getCmdOut against a real snmpd
// on a loopback port, parsed by res_parse. Each test starts its own agent and stops it after.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app.h"
#include "e2e.h"
#include "getcmdout.h"
#include "parser.h"
#include "poller.h"
#include "snmpcmd.h"
#include "snmpengine.h"

namespace {

const char hostile_auth[] = "pa$$ w'or!d";
const char hostile_priv[] = "pr$v 'x!y z";

// Objects of the agent: a negative integer, a counter above 2^31, a string and a gauge.
const char int_oid[] = ".1.3.6.1.4.1.99999.1.0";
const char counter_oid[] = ".1.3.6.1.4.1.99999.2.0";
const char string_oid[] = ".1.3.6.1.4.1.99999.3.0";
const char gauge_oid[] = ".1.3.6.1.4.1.99999.4.0";

// A pass script serving one object of every type snmpget prints its own way.
const char typed_objects[] =
    "#!/bin/sh\n"
    "v() { echo \"$2\"; echo \"$1\"; echo \"$3\"; }\n"
    "[ \"$1\" = -g ] || exit 0\n"
    "case \"$2\" in\n"
    ".1.3.6.1.4.1.99998.1) v octet \"$2\" '00 FF 1B 0A 41' ;;\n"
    ".1.3.6.1.4.1.99998.2) v objectid \"$2\" .1.3.6.1.2.1.1.1 ;;\n"
    ".1.3.6.1.4.1.99998.3) v timeticks \"$2\" 123456 ;;\n"
    ".1.3.6.1.4.1.99998.4) v counter \"$2\" 4294967295 ;;\n"
    ".1.3.6.1.4.1.99998.5) v counter64 \"$2\" 18446744073709551615 ;;\n"
    ".1.3.6.1.4.1.99998.6) v gauge \"$2\" 23 ;;\n"
    ".1.3.6.1.4.1.99998.7) v ipaddress \"$2\" 10.1.2.3 ;;\n"
    ".1.3.6.1.4.1.99998.8) v string \"$2\" 'say \"hi\" $HOME' ;;\n"
    ".1.3.6.1.4.1.99998.9.0) v integer \"$2\" 2 ;;\n"
    "esac\n";

// A MIB module of the test's own: the agent's .9.0 by name, with an enumeration.
const char test_mib[] =
    "MORVANE-TEST-MIB DEFINITIONS ::= BEGIN\n"
    "morvaneTest OBJECT IDENTIFIER ::= { iso 3 6 1 4 1 99998 }\n"
    "testLevel OBJECT-TYPE\n"
    "    SYNTAX INTEGER { low(1), high(2) }\n"
    "    MAX-ACCESS read-only\n"
    "    STATUS current\n"
    "    DESCRIPTION \"A level.\"\n"
    "    ::= { morvaneTest 9 }\n"
    "END\n";

std::string agent_conf(const std::string& dir) {
  return std::string(
             "rocommunity pub1 127.0.0.1\n"
             "rocommunity pub2c 127.0.0.1\n"
             "createUser md5des MD5 \"md5passphrase\" DES \"despassphrase\"\n"
             "createUser shaaes SHA \"shapassphrase\" AES \"aespassphrase\"\n"
             "createUser sha256aes SHA-256 \"sha256passphrase\" AES \"aes2passphrase\"\n"
             "createUser authonly SHA-256 \"authonlypassphrase\"\n"
             "createUser noauth\n"
             "createUser hostile SHA \"") +
         hostile_auth + "\" AES \"" + hostile_priv +
         "\"\n"
         "rouser md5des priv\nrouser shaaes priv\nrouser sha256aes priv\nrouser hostile priv\n"
         "rouser authonly auth\nrouser noauth noauth\n"
         "override .1.3.6.1.4.1.99999.1.0 integer -7\n"
         "override .1.3.6.1.4.1.99999.2.0 counter 4294967295\n"
         "override .1.3.6.1.4.1.99999.3.0 octet_str \"up\"\n"
         "override .1.3.6.1.4.1.99999.4.0 unsigned 23\n"
         "pass .1.3.6.1.4.1.99998 " + dir + "/typed\n";
}

class SnmpAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = make_temp_dir();
    // both the agent and snmpget keep their state here, never in the system's directory
    setenv("SNMP_PERSISTENT_DIR", (dir + "/persist").c_str(), 1);
    write_file(dir + "/typed", typed_objects);
    chmod((dir + "/typed").c_str(), 0755);
    mkdir((dir + "/mibs").c_str(), 0755);
    write_file(dir + "/mibs/MORVANE-TEST-MIB.txt", test_mib);
    setenv("MIBDIRS", ("+" + dir + "/mibs").c_str(), 1);
    port = free_port(SOCK_DGRAM);
    address = "127.0.0.1:" + std::to_string(port);
    pid = start_snmpd(dir, address, agent_conf(dir));
    std::string probe = "snmpget -t 1 -r 0 -Oqv -v 2c -c pub1 " + address + " " + int_oid +
                        " 2>/dev/null";
    ASSERT_TRUE(wait_until([&] { return getCmdOut(probe) == "-7\n"; }, 20))
        << read_file(dir + "/snmpd.log");
  }

  void TearDown() override {
    stop_snmpd(pid);
    unsetenv("SNMP_PERSISTENT_DIR");
    unsetenv("MIBDIRS");
  }

  signal_t* signal_for(int call_type, const char* oid) {
    signal_t* s = new_signal();
    s->call_type = call_type;
    s->snmp_timeout = 1;
    s->ip_addr = address;
    s->oid = oid;
    s->value_type = 1;
    s->int_value = 555;
    return s;
  }

  signal_t* v3_for(const char* user, int level, int auth, const char* auth_pass, int priv,
                   const char* priv_pass) {
    signal_t* s = signal_for(2, int_oid);
    s->snmp_user = user;
    s->snmp_sec_level = level;
    s->snmp_auth_prot = auth;
    s->snmp_auth_pphrase = auth_pass;
    s->snmp_priv_prot = priv;
    s->snmp_priv_pphrase = priv_pass;
    return s;
  }

  // Builds, runs and parses one turn of s as the poller does; returns the reply.
  std::string poll(signal_t* s, const snmp_conf_t* conf = NULL) {
    std::string reply = getCmdOut(make_snmp_cmd(s, conf));
    res_parse(s, reply);
    return reply;
  }

  std::string dir, address;
  int port = 0;
  pid_t pid = -1;
};

TEST_F(SnmpAgentTest, EveryVersionAndSecurityModelReadsTheAgent) {
  signal_t* v1 = signal_for(0, int_oid);
  v1->snmp_community = "pub1";
  signal_t* v2c = signal_for(1, int_oid);
  v2c->snmp_community = "pub2c";
  signal_t* cases[] = {
      v1,
      v2c,
      v3_for("md5des", 2, 0, "md5passphrase", 0, "despassphrase"),
      v3_for("shaaes", 2, 1, "shapassphrase", 1, "aespassphrase"),
      v3_for("sha256aes", 2, 3, "sha256passphrase", 1, "aes2passphrase"),
      v3_for("noauth", 0, 0, "", 0, ""),
      v3_for("hostile", 2, 1, hostile_auth, 1, hostile_priv),
  };
  for (signal_t* s : cases) {
    EXPECT_EQ("-7\n", poll(s)) << make_snmp_cmd(s, NULL);
    EXPECT_EQ(-7, s->int_value.load()) << make_snmp_cmd(s, NULL);
  }
}

TEST_F(SnmpAgentTest, RepliesBecomeTypedReadings) {
  signal_t* text = signal_for(1, string_oid);
  text->snmp_community = "pub1";
  text->value_type = 3;
  poll(text);
  EXPECT_EQ("\"up\"\n", get_text_value(text));

  signal_t* gauge = signal_for(1, gauge_oid);
  gauge->snmp_community = "pub1";
  gauge->value_type = 0;
  poll(gauge);
  EXPECT_EQ(23.0f, gauge->float_value.load());

  signal_t* counter = signal_for(1, counter_oid);
  counter->snmp_community = "pub1";
  EXPECT_EQ("4294967295\n", poll(counter));
  EXPECT_EQ(INT32_MAX, counter->int_value.load());
  counter->value_type = 2;
  counter->int_value = 0;
  poll(counter);
  EXPECT_EQ(1, counter->int_value.load());
}

TEST_F(SnmpAgentTest, MissingObjectAndSilentAgentLeaveValueUnchanged) {
  // sysDescr.1: the object exists, the instance does not
  signal_t* missing = signal_for(1, ".1.3.6.1.2.1.1.1.1");
  missing->snmp_community = "pub1";
  EXPECT_EQ("No Such Instance currently exists at this OID\n", poll(missing));
  EXPECT_EQ(555, missing->int_value.load());

  signal_t* silent = signal_for(1, int_oid);
  silent->snmp_community = "pub1";
  silent->ip_addr = "127.0.0.1:" + std::to_string(free_port(SOCK_DGRAM));
  EXPECT_EQ("", poll(silent));
  EXPECT_EQ(555, silent->int_value.load());

  signal_t* wrong_pass = v3_for("shaaes", 2, 1, "notthepassphrase", 1, "aespassphrase");
  EXPECT_EQ("", poll(wrong_pass));
  EXPECT_EQ(555, wrong_pass->int_value.load());
}

TEST_F(SnmpAgentTest, GlobalOverridesReplaceTheSignalsOwnSettings) {
  snmp_conf_t g;
  g.snmp_community = "pub1";
  g.snmp_user = "hostile";
  g.snmp_sec_level = 2;
  g.snmp_auth_prot = 1;
  g.snmp_auth_pphrase = hostile_auth;
  g.snmp_priv_prot = 1;
  g.snmp_priv_pphrase = hostile_priv;
  signal_t* v2c = signal_for(1, int_oid);
  v2c->snmp_community = "wrong";
  EXPECT_EQ("-7\n", poll(v2c, &g));
  signal_t* v3 = v3_for("nobody", 7, 4, "wrongpassphrase", 0, "wrongpassphrase");
  EXPECT_EQ("-7\n", poll(v3, &g));

  // the global value wins over a signal's correct one
  snmp_conf_t bad;
  bad.snmp_community = "wrong";
  signal_t* right = signal_for(1, int_oid);
  right->snmp_community = "pub1";
  EXPECT_EQ("", poll(right, &bad));
  EXPECT_EQ(555, right->int_value.load());
}

// snmpget refuses "-t 0": a signal left at its default timeout, or a global timeout of 0,
// must still be read.
TEST_F(SnmpAgentTest, DefaultOrZeroTimeoutStillReadsTheAgent) {
  signal_t* v2c = signal_for(1, int_oid);
  v2c->snmp_community = "pub1";
  signal_t* v3 = v3_for("shaaes", 2, 1, "shapassphrase", 1, "aespassphrase");
  for (signal_t* s : {v2c, v3}) {
    s->snmp_timeout = 0;
    EXPECT_EQ("-7\n", poll(s)) << make_snmp_cmd(s, NULL);
    s->snmp_timeout = 9;
    s->snmp_num_retries = -1;
    snmp_conf_t zero;
    zero.snmp_timeout = 0;
    EXPECT_EQ("-7\n", poll(s, &zero)) << make_snmp_cmd(s, &zero);
  }
}

// Every case read through its snmpget line and through the built-in engine: the same text,
// byte for byte, and so the same reading of every type.
TEST_F(SnmpAgentTest, BuiltinEngineReadsWhatSnmpgetPrints) {
  struct engine_case {
    signal_t* signal;
    const char* snmpget_prints;
  };
  auto v2c = [&](const char* oid, const char* community = "pub1") {
    signal_t* s = signal_for(1, oid);
    s->snmp_community = community;
    return s;
  };
  signal_t* v1 = v2c(int_oid);
  v1->call_type = 0;
  signal_t* v1_missing = v2c(".1.3.6.1.2.1.1.1.1");
  v1_missing->call_type = 0;
  signal_t* silent = v2c(int_oid);
  silent->ip_addr = "udp:127.0.0.1:" + std::to_string(free_port(SOCK_DGRAM));
  signal_t* unset_timeout = v2c(string_oid);
  unset_timeout->snmp_timeout = 0;
  signal_t* by_transport = v2c(gauge_oid);
  by_transport->ip_addr = "udp:" + address;
  signal_t* over_tcp = v2c(gauge_oid);  // the agent serves UDP only
  over_tcp->ip_addr = "tcp:" + address;
  signal_t* overridden = v3_for("nobody", 7, 4, "wrongpassphrase", 0, "wrongpassphrase");
  snmp_conf_t g;
  g.snmp_timeout = 2;
  g.snmp_user = "hostile";
  g.snmp_sec_level = 2;
  g.snmp_auth_prot = 1;
  g.snmp_auth_pphrase = hostile_auth;
  g.snmp_priv_prot = 1;
  g.snmp_priv_pphrase = hostile_priv;
  const engine_case cases[] = {
      {v3_for("shaaes", 2, 1, "short", 1, "aespassphrase"), ""},  // refused after -Oqv is read
      {v2c(int_oid), "-7\n"},
      {v2c(counter_oid, "pub2c"), "4294967295\n"},
      {v2c(string_oid), "\"up\"\n"},
      {v2c(".1.3.6.1.4.1.99998.1"), "\"00 FF 1B 0A 41 \"\n"},
      {v2c(".1.3.6.1.4.1.99998.2"), "iso.3.6.1.2.1.1.1\n"},
      {v2c(".1.3.6.1.4.1.99998.3"), "0:0:20:34.56\n"},
      {v2c(".1.3.6.1.4.1.99998.4"), "4294967295\n"},
      {v2c(".1.3.6.1.4.1.99998.5"), "18446744073709551615\n"},
      {v2c(".1.3.6.1.4.1.99998.6"), "23\n"},
      {v2c(".1.3.6.1.4.1.99998.7"), "10.1.2.3\n"},
      {v2c(".1.3.6.1.4.1.99998.8"), "\"say \\\"hi\\\" $HOME\"\n"},
      {v2c("NO-SUCH-MIB::nothing.0"), ""},
      {v2c(".1.3.6.1.2.1.1.1.1"), "No Such Instance currently exists at this OID\n"},
      {v2c(".1.3.6.1.4.1.99997.1.0"), "No Such Object available on this agent at this OID\n"},
      {v2c(int_oid, "wrong"), ""},
      {v2c(int_oid, ""), ""},
      {v1, "-7\n"},
      {v1_missing, ""},
      {silent, ""},
      {unset_timeout, "\"up\"\n"},
      {by_transport, "23\n"},
      {over_tcp, ""},
      {v3_for("md5des", 2, 0, "md5passphrase", 0, "notthepassphrase"), ""},
      {v3_for("md5des", 2, 0, "md5passphrase", 0, "despassphrase"), "-7\n"},
      {v3_for("shaaes", 2, 1, "shapassphrase", 1, "aespassphrase"), "-7\n"},
      {v3_for("sha256aes", 2, 3, "sha256passphrase", 1, "aes2passphrase"), "-7\n"},
      {v3_for("authonly", 1, 3, "authonlypassphrase", 0, ""), "-7\n"},
      {v3_for("noauth", 0, 0, "", 0, ""), "-7\n"},
      {v3_for("hostile", 2, 1, hostile_auth, 1, hostile_priv), "-7\n"},
      {v3_for("shaaes", 2, 1, "notthepassphrase", 1, "aespassphrase"), ""},
      {v3_for("shaaes", 2, 7, "shapassphrase", 1, "aespassphrase"), ""},
  };
  for (const engine_case& k : cases)
    EXPECT_EQ(k.snmpget_prints, getCmdOut(make_snmp_cmd(k.signal, NULL))) << make_snmp_cmd(k.signal, NULL);
  EXPECT_EQ("-7\n", getCmdOut(make_snmp_cmd(overridden, &g)));
  // two cycles, as the poller makes them: sessions are shared and reused, and a user's wrong
  // pass phrase in one signal changes nothing for another signal of that user
  static snmp_engine_t* engine = snmp_engine_new();  // lives on, as the poller's does
  for (int cycle = 1; cycle <= 2; cycle++) {
    for (const engine_case& k : cases)
      EXPECT_EQ(k.snmpget_prints, snmp_engine_get(engine, k.signal, NULL))
          << "cycle " << cycle << ": " << make_snmp_cmd(k.signal, NULL);
    EXPECT_EQ("-7\n", snmp_engine_get(engine, overridden, &g)) << "cycle " << cycle;
  }
  // a MIB module the oid names is loaded for good, and names other signals' objects too
  signal_t* by_name = v2c("MORVANE-TEST-MIB::testLevel.0");
  EXPECT_EQ("high\n", getCmdOut(make_snmp_cmd(by_name, NULL)));
  EXPECT_EQ("high\n", snmp_engine_get(engine, by_name, NULL));
  // through the poller's turn, into the reading
  signal_t* text = v2c(".1.3.6.1.4.1.99998.8");
  text->value_type = 3;
  poll_signal(text, engine);
  EXPECT_EQ("\"say \\\"hi\\\" $HOME\"\n", get_text_value(text));
}

}  // namespace
