// SNMP against a real snmpd on a loopback port: each signal read through its snmpget line and
// through the built-in engine gives the same text, byte for byte, so the same reading; and both
// engines in the real binary follow an agent that goes away and comes back.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app.h"
#include "getcmdout.h"
#include "harness.h"
#include "snmpcmd.h"
#include "snmpengine.h"

namespace {

// Starts snmpd in the foreground on udp:address with conf, logging to dir/snmpd.log and keeping
// its state in dir/persist, as SNMP_PERSISTENT_DIR tells the tools too.
pid_t start_snmpd(const std::string& dir, const std::string& address, const std::string& conf) {
  std::string path = dir + "/snmpd.conf", log = dir + "/snmpd.log", at = "udp:" + address;
  write_file(path, conf);
  setenv("SNMP_PERSISTENT_DIR", (dir + "/persist").c_str(), 1);  // never the system's
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execlp("snmpd", "snmpd", "-f", "-C", "-c", path.c_str(), "-Lf", log.c_str(), at.c_str(), (char*)NULL);
    _exit(127);
  }
  return pid;
}

void stop_snmpd(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, NULL, 0);
}

const char hostile_auth[] = "pa$$ w'or!d";
const char hostile_priv[] = "pr$v 'x!y z";
const char int_oid[] = ".1.3.6.1.4.1.99999.1.0";

// A pass script serving one object of every type snmpget prints its own way.
const char typed_objects[] =
    "#!/bin/sh\n"
    "v() { echo \"$2\"; echo \"$1\"; echo \"$3\"; }\n"
    "case \"$2\" in\n"
    ".1.3.6.1.4.1.99998.1) v octet \"$2\" '00 FF 1B 0A 41' ;;\n"
    ".1.3.6.1.4.1.99998.2) v objectid \"$2\" .1.3.6.1.2.1.1.1 ;;\n"
    ".1.3.6.1.4.1.99998.3) v timeticks \"$2\" 123456 ;;\n"
    ".1.3.6.1.4.1.99998.4) v counter \"$2\" 4294967295 ;;\n"
    ".1.3.6.1.4.1.99998.5) v counter64 \"$2\" 18446744073709551615 ;;\n"
    ".1.3.6.1.4.1.99998.6) v gauge \"$2\" 23 ;;\n"
    ".1.3.6.1.4.1.99998.7) v ipaddress \"$2\" 10.1.2.3 ;;\n"
    ".1.3.6.1.4.1.99998.8) v string \"$2\" 'say \"hi\" $HOME' ;;\n"
    "esac\n";

std::string agent_conf(const std::string& dir, int reading) {
  return std::string(
             "rocommunity pub1 127.0.0.1\nrocommunity pub2c 127.0.0.1\n"
             "createUser md5des MD5 \"md5passphrase\" DES \"despassphrase\"\n"
             "createUser shaaes SHA \"shapassphrase\" AES \"aespassphrase\"\n"
             "createUser sha256aes SHA-256 \"sha256passphrase\" AES \"aes2passphrase\"\n"
             "createUser authonly SHA-256 \"authonlypassphrase\"\ncreateUser noauth\n"
             "createUser hostile SHA \"") + hostile_auth + "\" AES \"" + hostile_priv + "\"\n"
         "rouser md5des priv\nrouser shaaes priv\nrouser sha256aes priv\nrouser hostile priv\n"
         "rouser authonly auth\nrouser noauth noauth\n"
         "override .1.3.6.1.4.1.99999.1.0 integer " + std::to_string(reading) + "\n"
         "override .1.3.6.1.4.1.99999.3.0 octet_str \"up\"\n"
         "pass .1.3.6.1.4.1.99998 " + dir + "/typed\n";
}

// The real binary with either engine, a v2c and a v3 signal each; the built-in one is given a
// stand-in snmpget that prints 666, which it must never run.
std::vector<proc_t> start_both_engines(const std::string& dir, const std::string& address) {
  write_file(dir + "/snmpget", "#!/bin/sh\necho 666\n", 0755);
  std::string signal = "value_type = 1; snmp_timeout = 1; snmp_community = \"pub1\"; oid = \"" +
                       std::string(int_oid) + "\"; ip_addr = \"" + address + "\"; snmp_user = \"sha256aes\";"
                       " snmp_sec_level = 2; snmp_auth_prot = 3; snmp_priv_prot = 1;"
                       " snmp_auth_pphrase = \"sha256passphrase\"; snmp_priv_pphrase = \"aes2passphrase\";";
  std::vector<proc_t> procs;
  for (std::string engine : {"snmpget", "builtin"})
    procs.push_back(start_morvane(
        run_dir("global = { snmp_engine = \"" + engine + "\"; };\nsignals = ( { name = \"v2c\";"
                " call_type = 1; " + signal + " }, { name = \"v3\"; call_type = 2; " + signal + " } );\n"),
        {"ZQK_SERVER=127.0.0.1:1", "PATH=" + (engine == "builtin" ? dir + ":" : "") + getenv("PATH")}));
  return procs;
}

TEST(SnmpTest, BothEnginesReadWhatSnmpgetPrintsAndFollowARestartedAgent) {
  std::string dir = make_temp_dir();
  write_file(dir + "/typed", typed_objects, 0755);
  std::string address = "127.0.0.1:" + std::to_string(free_port(SOCK_DGRAM));
  pid_t agent = start_snmpd(dir, address, agent_conf(dir, -7));
  std::vector<proc_t> procs = start_both_engines(dir, address);  // they read after their pause
  std::string probe = "snmpget -t 1 -r 0 -Oqv -v 2c -c pub1 " + address + " " + int_oid;
  ASSERT_TRUE(wait_until([&] { return getCmdOut(probe + " 2>/dev/null") == "-7\n"; }, 20))
      << read_file(dir + "/snmpd.log");

  auto v2c = [&](const char* oid, const char* community = "pub1", const std::string& at = "", int version = 1) {
    signal_t* s = new_signal();
    s->call_type = version;
    s->snmp_timeout = 1;
    s->ip_addr = at.empty() ? address : at;
    s->oid = oid;
    s->snmp_community = community;
    return s;
  };
  auto v3 = [&](const char* user, int level, int auth, const char* auth_pass, int priv,
                const char* priv_pass) {
    signal_t* s = v2c(int_oid, "");
    s->call_type = 2;
    s->snmp_user = user;
    s->snmp_sec_level = level;
    s->snmp_auth_prot = auth;
    s->snmp_auth_pphrase = auth_pass;
    s->snmp_priv_prot = priv;
    s->snmp_priv_pphrase = priv_pass;
    return s;
  };
  snmp_conf_t overrides, zero;
  overrides.snmp_timeout = 2;
  overrides.snmp_user = "hostile";
  overrides.snmp_auth_pphrase = hostile_auth;
  overrides.snmp_priv_pphrase = hostile_priv;
  zero.snmp_timeout = 0;  // snmpget refuses -t 0: the option is left out
  struct {
    signal_t* signal;
    const snmp_conf_t* conf;
    const char* snmpget_prints;
  } cases[] = {
      {v3("shaaes", 2, 1, "short", 1, "aespassphrase"), NULL, ""},  // refused after -Oqv is read
      {v2c(int_oid), NULL, "-7\n"},
      {v2c(".1.3.6.1.4.1.99998.4", "pub2c"), NULL, "4294967295\n"},
      {v2c(".1.3.6.1.4.1.99999.3.0"), &zero, "\"up\"\n"},
      {v2c(".1.3.6.1.4.1.99998.1"), NULL, "\"00 FF 1B 0A 41 \"\n"},
      {v2c(".1.3.6.1.4.1.99998.2"), NULL, "iso.3.6.1.2.1.1.1\n"},
      {v2c(".1.3.6.1.4.1.99998.3"), NULL, "0:0:20:34.56\n"},
      {v2c(".1.3.6.1.4.1.99998.5"), NULL, "18446744073709551615\n"},
      {v2c(".1.3.6.1.4.1.99998.6", "pub1", "udp:" + address), NULL, "23\n"},
      {v2c(".1.3.6.1.4.1.99998.6", "pub1", "tcp:" + address), NULL, ""},  // a UDP agent
      {v2c(".1.3.6.1.4.1.99998.7"), NULL, "10.1.2.3\n"},
      {v2c(".1.3.6.1.4.1.99998.8"), NULL, "\"say \\\"hi\\\" $HOME\"\n"},
      {v2c("NO-SUCH-MIB::nothing.0"), NULL, ""},
      {v2c(".1.3.6.1.2.1.1.1.1"), NULL, "No Such Instance currently exists at this OID\n"},
      {v2c(".1.3.6.1.4.1.99997.1.0"), NULL, "No Such Object available on this agent at this OID\n"},
      {v2c(int_oid, "wrong"), NULL, ""},
      {v2c(int_oid, ""), NULL, ""},
      {v2c(int_oid, "pub1", "udp:127.0.0.1:" + std::to_string(free_port(SOCK_DGRAM))), NULL, ""},
      {v2c(int_oid, "pub1", address, 0), NULL, "-7\n"},
      {v2c(".1.3.6.1.2.1.1.1.1", "pub1", address, 0), NULL, ""},
      {v3("md5des", 2, 0, "md5passphrase", 0, "notthepassphrase"), NULL, ""},
      {v3("md5des", 2, 0, "md5passphrase", 0, "despassphrase"), NULL, "-7\n"},
      {v3("shaaes", 2, 1, "shapassphrase", 1, "aespassphrase"), NULL, "-7\n"},
      {v3("sha256aes", 2, 3, "sha256passphrase", 1, "aes2passphrase"), NULL, "-7\n"},
      {v3("authonly", 1, 3, "authonlypassphrase", 0, ""), NULL, "-7\n"},
      {v3("noauth", 0, 0, "", 0, ""), NULL, "-7\n"},
      {v3("hostile", 2, 1, hostile_auth, 1, hostile_priv), NULL, "-7\n"},
      {v3("nobody", 2, 1, "wrongpassphrase", 1, "wrongpassphrase"), &overrides, "-7\n"},
      {v3("shaaes", 2, 1, "notthepassphrase", 1, "aespassphrase"), NULL, ""},
      {v3("shaaes", 2, 7, "shapassphrase", 1, "aespassphrase"), NULL, ""},
  };
  for (const auto& k : cases)
    EXPECT_EQ(k.snmpget_prints, getCmdOut(make_snmp_cmd(k.signal, k.conf)))
        << make_snmp_cmd(k.signal, k.conf);
  // two cycles, as the poller makes them: sessions are shared and reused, and a user's wrong
  // pass phrase in one signal changes nothing for another signal of that user
  static snmp_engine_t* engine = snmp_engine_new();  // lives on, as the poller's does
  for (int cycle = 1; cycle <= 2; cycle++)
    for (const auto& k : cases)
      EXPECT_EQ(k.snmpget_prints, snmp_engine_get(engine, k.signal, k.conf))
          << "cycle " << cycle << ": " << make_snmp_cmd(k.signal, k.conf);
  // the agent goes away and comes back with new engine boots, which open v3 sessions follow
  auto both_show = [&](const proc_t& p, const char* reading) {
    return wait_until([&] { return shown(p, "v2c") == reading && shown(p, "v3") == reading; }, 30);
  };
  for (const proc_t& p : procs)
    ASSERT_TRUE(both_show(p, "-7")) << p.dir;
  stop_snmpd(agent);
  sleep(3);  // a timeout and more
  for (const proc_t& p : procs)
    EXPECT_EQ("-7", shown(p, "v3")) << p.dir;
  agent = start_snmpd(dir, address, agent_conf(dir, 42));
  for (proc_t& p : procs) {
    ASSERT_TRUE(both_show(p, "42")) << p.dir;
    send_input(p, "q\n");
    EXPECT_EQ(0, wait_exit(p, 10));
    EXPECT_EQ("", p.err()) << "the library wrote on the terminal";
  }
  stop_snmpd(agent);
}

}  // namespace
