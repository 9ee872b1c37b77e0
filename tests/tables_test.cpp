// Walked tables of an agent that misbehaves as devices do: labels that repeat, a restart while
// out of reach, walks an error cuts short, a lost datagram, no sysUpTime.0, an uptime that stands.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agents.h"
#include "getcmdout.h"
#include "harness.h"
#include "signals.h"

namespace {

// Ten rows: labels at .2, values at .3, by index 1-10; 3 and 7 both "eth0" and 9 "eth0 (7)", the
// others "pN". A row's value is ten times its index, or a counter that grows 100 times its index
// a second.
const oid column[] = {1, 3, 6, 1, 4, 1, 99993, 1, 1};
const oid uptime_oid[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const int rows = 10;

// What the test has the agent do to the walker of one community ("tK": cases[K]), in memory it
// shares with the agent's child.
struct table_case_t {
  std::atomic<int64_t> boot_ms{0};  // the uptime counts from it; 0: the agent has no sysUpTime.0
  std::atomic<bool> frozen{false};  // the uptime stands
  std::atomic<bool> silent{false};
  std::atomic<bool> swapped{false};   // rows 1 and 2 trade places: index 1 is p2, with its value
  std::atomic<bool> counting{false};  // values are counters
  std::atomic<int> cut_after{rows};   // a walk's request past this index gets genErr
  std::atomic<int> labels_cut_after{rows};  // the same, of the label column alone
  std::atomic<int> drop_uptime{0};    // GETs of sysUpTime.0 alone to leave unanswered
  std::atomic<int> bump{0};           // added to every value
  std::atomic<long> walks{0};         // walks of the value column begun
};
table_case_t* cases;
int64_t agent_start_ms;

typedef std::vector<oid> name_t;

name_t cell(int col, int index) {
  name_t n(column, column + 9);
  n.push_back(col);
  n.push_back(index);
  return n;
}

bool in_table(const name_t& n) {
  return n.size() == 11 && snmp_oid_compare(n.data(), 9, column, 9) == 0;
}

// The agent's objects in order.
std::vector<name_t> objects(const table_case_t* c) {
  std::vector<name_t> all;
  if (c->boot_ms)
    all.push_back(name_t(uptime_oid, uptime_oid + 9));
  for (int col : {2, 3})
    for (int i = 1; i <= rows; i++)
      all.push_back(cell(col, i));
  return all;
}

void put(netsnmp_pdu* r, const name_t& n, const table_case_t* c, u_char missing) {
  std::vector<name_t> all = objects(c);
  if (std::find(all.begin(), all.end(), n) == all.end()) {
    snmp_pdu_add_variable(r, n.data(), n.size(), missing, NULL, 0);
  } else if (!in_table(n)) {
    u_long ticks = c->frozen ? 1234 : (u_long)(monotonic_ms() - c->boot_ms) / 10;
    snmp_pdu_add_variable(r, n.data(), n.size(), ASN_TIMETICKS, &ticks, sizeof ticks);
  } else {
    int i = (int)n[10], was = c->swapped && i <= 2 ? 3 - i : i;
    std::string label = was == 3 || was == 7 ? "eth0" : was == 9 ? "eth0 (7)" : "p" + std::to_string(was);
    long value = 10 * was + c->bump;
    u_long count = (u_long)(monotonic_ms() - agent_start_ms) / 10 * was;
    if (n[9] == 2)
      snmp_pdu_add_variable(r, n.data(), n.size(), ASN_OCTET_STR, label.data(), label.size());
    else if (c->counting)
      snmp_pdu_add_variable(r, n.data(), n.size(), ASN_COUNTER, &count, sizeof count);
    else
      snmp_pdu_add_variable(r, n.data(), n.size(), ASN_INTEGER, &value, sizeof value);
  }
}

name_t next_of(const name_t& n, const table_case_t* c) {
  for (const name_t& o : objects(c))
    if (snmp_oid_compare(o.data(), o.size(), n.data(), n.size()) > 0)
      return o;
  return {};
}

// A GETNEXT's or a GETBULK's names, each repeater's in turn; true when one lies past a cut.
bool walk_names(const netsnmp_pdu* pdu, const table_case_t* c, std::vector<name_t>* out) {
  std::vector<name_t> at;
  for (netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable)
    at.push_back(name_t(v->name, v->name + v->name_length));
  bool bulk = pdu->command == SNMP_MSG_GETBULK;
  size_t plain = bulk ? std::min<size_t>(pdu->non_repeaters, at.size()) : at.size();
  long reps = bulk ? std::min<long>(pdu->max_repetitions, 60 / std::max<size_t>(1, at.size())) : 0;
  bool cut = false;
  auto step = [&](name_t* n) {
    *n = n->empty() ? *n : next_of(*n, c);
    out->push_back(*n);
    cut |= in_table(*n) && (int)(*n)[10] > ((*n)[9] == 2 ? std::min(c->cut_after.load(), c->labels_cut_after.load())
                                                          : c->cut_after.load());
  };
  for (size_t j = 0; j < plain; j++)
    step(&at[j]);
  for (long r = 0; r < reps; r++)
    for (size_t j = plain; j < at.size(); j++)
      step(&at[j]);
  return cut;
}

int answer_table(int op, netsnmp_session*, int, netsnmp_pdu* pdu, void*) {
  if (op != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE)
    return 1;
  table_case_t* c = &cases[atoi(std::string((const char*)pdu->community + 1, pdu->community_len - 1).c_str())];
  name_t first(pdu->variables->name, pdu->variables->name + pdu->variables->name_length);
  bool uptime_alone = !pdu->variables->next_variable && first == name_t(uptime_oid, uptime_oid + 9);
  if (c->silent || (pdu->command == SNMP_MSG_GET && uptime_alone && c->drop_uptime-- > 0))
    return 1;
  netsnmp_pdu* r = snmp_clone_pdu(pdu);
  r->command = SNMP_MSG_RESPONSE;
  r->errstat = r->errindex = 0;
  snmp_free_varbind(r->variables);
  r->variables = NULL;
  std::vector<name_t> names;
  if (pdu->command == SNMP_MSG_GET) {
    for (netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable)
      put(r, name_t(v->name, v->name + v->name_length), c, in_table(name_t(v->name, v->name + v->name_length)) ?
          SNMP_NOSUCHINSTANCE : SNMP_NOSUCHOBJECT);
  } else {
    name_t start(column, column + 9);
    start.push_back(3);
    for (netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable)
      c->walks += name_t(v->name, v->name + v->name_length) == start;
    if (walk_names(pdu, c, &names)) {
      snmp_free_pdu(r);
      r = snmp_clone_pdu(pdu);
      r->command = SNMP_MSG_RESPONSE;
      r->errstat = SNMP_ERR_GENERR, r->errindex = 1;
    } else {
      for (const name_t& n : names)
        if (n.empty())
          snmp_pdu_add_variable(r, first.data(), first.size(), SNMP_ENDOFMIBVIEW, NULL, 0);
        else
          put(r, n, c, SNMP_NOSUCHOBJECT);
    }
  }
  send_answer(r);
  return 1;
}

// The newest number delivered for each signum, and every (signum, number) ever delivered from
// line from on.
std::map<int, double> newest(listener_t* l, std::set<std::pair<int, int>>* ever = NULL, size_t from = 0) {
  std::map<int, double> last;
  std::vector<std::string> lines = texts(l);
  for (size_t i = from; i < lines.size(); i++) {
    int signum = atoi(lines[i].c_str() + 7);
    last[signum] = atof(lines[i].c_str() + lines[i].find(' '));
    if (ever)
      ever->insert({signum, (int)last[signum]});
  }
  return last;
}

}  // namespace

// Each case its own community of one agent, and its own morvane; every table's rows read under
// their own labels first (eth0 twice and "eth0 (7)" each a number of its own), then the agent
// misbehaves: walks cut short by genErr, of the values or of the labels alone, keep every row; a
// restart while out of reach is seen though the uptime comes back above the last one read;
// the one uptime look after a walk lost, no sysUpTime.0 at all, or one that stands beside rates:
// the rows are read all the same, and walked no more than their period asks.
TEST(TablesTest, AgentsThatMisbehaveNeitherLoseRowsNorMoveTheirReadings) {
  std::string address = "127.0.0.1:" + std::to_string(free_port(SOCK_DGRAM));
  const struct {
    const char* engine;
    int poll_period, walk_period;
    const char* more;  // signal keys
  } runs[] = {
      {"snmpget", 1000, 1000, ""},                // 0: walks cut short
      {"builtin", 1000, 1000, ""},                // 1: the same
      {"snmpget", 1000, 1000, ""},                // 2: label walks cut short
      {"snmpget", 500, 600000, ""},               // 3: a restart out of reach
      {"snmpget", 1000, 600000, ""},              // 4: the uptime look lost
      {"snmpget", 1000, 600000, ""},              // 5: no sysUpTime.0
      {"builtin", 3000, 600000, "rate = true; "},  // 6: an uptime that stands
  };
  const int n = sizeof runs / sizeof *runs;
  cases = new (mmap(NULL, n * sizeof(table_case_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0))
      table_case_t[n];
  agent_start_ms = monotonic_ms();
  for (int k = 0; k < n; k++)
    cases[k].boot_ms = agent_start_ms;
  cases[4].drop_uptime = 1;
  cases[5].boot_ms = 0;
  cases[6].frozen = cases[6].counting = true;
  pid_t agent = start_v2c_agent(address, answer_table);
  ASSERT_TRUE(wait_until([&] { return getCmdOut("snmpget -t 1 -r 0 -Oqv -v 2c -c t0 " + address + " .1.3.6.1.4.1.99993.1.1.3.9 2>/dev/null") == "90\n"; }, 60));
  std::vector<listener_t*> listeners;
  std::vector<proc_t> procs;
  for (const auto& r : runs) {
    listeners.push_back(start_listener());
    std::string k = std::to_string(procs.size());
    procs.push_back(start_morvane(
        run_dir("global = { poll_period = " + std::to_string(r.poll_period) + "; walk_period = " + std::to_string(r.walk_period) +
                "; snmp_engine = \"" + r.engine + "\"; };\nsignals = (\n  { name = \"c\"; signum = 1000; call_type = 1; "
                "value_type = 1; snmp_timeout = 1; snmp_num_retries = 0; snmp_community = \"t" + k + "\"; ip_addr = \"" + address + "\"; " + r.more +
                "oid = \".1.3.6.1.4.1.99993.1.1.3\"; walk = true; label_oid = \".1.3.6.1.4.1.99993.1.1.2\"; }\n);\n"),
        {"ZQK_SERVER=127.0.0.1:" + std::to_string(listeners.back()->port)}));
  }
  std::map<int, double> table;
  for (int i = 1; i <= rows; i++)
    table[1000 + i] = 10 * i;
  auto rates_near = [&](const std::map<int, double>& got) {
    for (int i = 1; i <= rows; i++)
      if (!got.count(1000 + i) || got.at(1000 + i) < 80 * i || got.at(1000 + i) > 120 * i)
        return false;
    return true;
  };
  for (int k = 0; k < n; k++)
    EXPECT_TRUE(wait_until([&] { return k == 6 ? rates_near(newest(listeners[k])) : newest(listeners[k]) == table; }, 60))
        << "run " << k << ": " << ::testing::PrintToString(newest(listeners[k])) << "\n" << procs[k].err();
  for (int k : {3, 4, 5, 6})
    EXPECT_LE(cases[k].walks, 2) << "run " << k << " walked again";
  // every walk cut short from index 6 on, of both columns or of the labels; the restart
  cases[0].cut_after = cases[1].cut_after = cases[2].labels_cut_after = 5;
  cases[0].bump = cases[1].bump = cases[2].bump = 1;
  long walked[] = {cases[0].walks, cases[1].walks, cases[2].walks};
  size_t before = texts(listeners[3]).size();
  int64_t up = monotonic_ms() - cases[3].boot_ms;
  cases[3].silent = true;
  cases[3].boot_ms = monotonic_ms();
  cases[3].swapped = true;
  ASSERT_TRUE(wait_until([&] { return monotonic_ms() - cases[3].boot_ms > up + 3000; }, 120));
  cases[3].silent = false;
  std::map<int, double> bumped = table;
  for (auto& row : bumped)
    row.second++;
  for (int k = 0; k < 3; k++) {
    SCOPED_TRACE("run " + std::to_string(k));
    EXPECT_TRUE(wait_until([&] { return cases[k].walks >= walked[k] + 3; }, 60));
    size_t from = texts(listeners[k]).size();
    EXPECT_TRUE(wait_until([&] { return newest(listeners[k], NULL, from) == bumped; }, 60)) << "every row read: " << ::testing::PrintToString(newest(listeners[k], NULL, from)) << "\n" << procs[k].err();
    EXPECT_EQ(std::string::npos, procs[k].err().find("no longer")) << procs[k].err();
    EXPECT_EQ(std::string::npos, procs[k].err().find("takes")) << procs[k].err();
  }
  EXPECT_TRUE(wait_until([&] { return cases[3].walks == 2; }, 60)) << "walked again after the restart";
  size_t walked_again = texts(listeners[3]).size();
  EXPECT_TRUE(wait_until([&] { return newest(listeners[3], NULL, walked_again) == table; }, 60)) << "rows read again";
  std::set<std::pair<int, int>> ever;
  newest(listeners[3], &ever, before);
  EXPECT_EQ(0u, ever.count({1001, 20})) << "p2's reading delivered as p1's";
  EXPECT_EQ(0u, ever.count({1002, 10})) << "p1's reading delivered as p2's";
  EXPECT_EQ(2, cases[3].walks) << "a restart seen where there was none";
  for (int k = 0; k < n; k++) {
    send_input(procs[k], "q\n");
    EXPECT_EQ(0, wait_exit(procs[k], 30));
    stop_listener(listeners[k]);
  }
  end_child(agent, SIGKILL, false);
}
