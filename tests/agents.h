// The agents the tests and the benchmarks run against (snmpd on loopback ports, cloned v3
// devices, a v2c agent of their own, a name server, a listener that never accepts), the children
// that die with their parent, and temporary directories and files.
#ifndef MORVANE_TESTS_AGENTS_H
#define MORVANE_TESTS_AGENTS_H

#include <netinet/in.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>

// Aborts with what and errno's message when ok is false: the caller cannot go on without it.
void check(bool ok, const std::string& what);
// Returns a new empty directory /tmp/PREFIX.XXXXXX; aborts when it cannot.
std::string make_temp_dir(const char* prefix = "morvane-test");
// Writes content to path whole with the given mode; aborts when it cannot.
void write_file(const std::string& path, const std::string& content, int mode = 0644);
// Returns the whole content of path, or "" when it cannot be read.
std::string read_file(const std::string& path);
// Removes dir and everything below it; nothing when dir is empty or missing.
void remove_tree(const std::string& dir);

// Returns the IPv4 address host (127.0.0.1 by default) with port.
sockaddr_in loopback(int port, uint32_t host = INADDR_LOOPBACK);
// Returns a socket of type (SOCK_STREAM or SOCK_DGRAM) bound to a free loopback port, stored in
// *port; -1 with errno set when it cannot be made.
int bind_loopback(int type, int* port);
// Returns a loopback port that was free a moment ago (its socket is closed again); aborts when
// there is none.
int free_port(int type);

// Sends sig to child pid (to its whole process group when group) and waits for it to end;
// nothing when pid is not positive.
void end_child(pid_t pid, int sig, bool group);
// Forks; the child, given 0, gets death_signal when the calling thread ends, so that no agent
// outlives what started it (it exits with 126 at once when that has ended already). Returns the
// child's pid to the parent, -1 when fork fails.
pid_t fork_child(int death_signal);

// Starts snmpd in the foreground on addresses ("127.0.0.1:P", or more after ",udp:") with conf,
// logging to dir/snmpd.log and keeping its state in dir/persist, which SNMP_PERSISTENT_DIR names
// for this process's tools too: started again, it keeps its engine ID and counts one more boot,
// as a device does. Returns its pid (SIGTERM when its parent ends), -1 when fork fails.
pid_t start_snmpd(const std::string& dir, const std::string& addresses, const std::string& conf);
// Ends snmpd with SIGTERM, so that it saves its state, and waits for it; nothing for pid <= 0.
void stop_snmpd(pid_t pid);
// Starts snmpd on udp:address as a device set up from the same template as every other clone:
// engine ID "cloned", user "clone" (authPriv, SHA and AES, "clonepassphrase"), community
// "public"; its boots count one more at each start. It answers reading for
// .1.3.6.1.4.1.99999.1.0. Returns as start_snmpd.
pid_t start_clone(const std::string& dir, const std::string& address, int reading);

// Runs an agent of one's own on udp:address in a child that dies with its parent (the library
// is not ours to share between threads): answer, a Net-SNMP session callback, gets each v2c
// message. Returns the child's pid, -1 when fork fails; the child exits with 1 when it cannot bind.
pid_t start_v2c_agent(const std::string& address, int (*answer)(int, struct snmp_session*, int, struct snmp_pdu*, void*));
// In that child: sends answer from the agent's session; false, answer freed, when it cannot.
bool send_answer(struct snmp_pdu* answer);

// A name server on 127.0.0.153:53: while answering, it gives agent-by-name the address
// 127.0.0.1; every other query, and every query once it has fallen silent, it reads and leaves
// unanswered.
struct name_server_t {
  int fd = -1;
  std::atomic<bool> answering{true}, stopping{false};
  std::atomic<int> silent_asks{0};  // queries for agent-by-name since it fell silent
  std::thread thread;
};
// Starts the name server in a thread and writes dir/resolv.conf naming it, with the resolver's
// options ("timeout:1 attempts:1"; "" for its defaults); null when port 53 cannot be bound.
name_server_t* start_name_server(const std::string& dir, const std::string& options);
// Stops its thread, closes its socket and frees ns.
void stop_name_server(name_server_t* ns);

// Returns a TCP socket listening on a loopback port, stored in *port, whose backlog is full, so
// that a connect to it waits without end; -1 when it cannot listen or fill it.
int unaccepting_listener(int* port);

#endif
