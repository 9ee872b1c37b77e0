// Helpers for tests that drive the real morvane binary in a temporary directory.
#ifndef MORVANE_TESTS_E2E_H
#define MORVANE_TESTS_E2E_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A running morvane: standard input is a pipe, standard output and error go to files in dir.
struct proc_t {
  pid_t pid = -1;
  int in_fd = -1;
  std::string dir;
  std::string out_path;
  std::string err_path;
};

// Returns a new empty directory under $TMPDIR (or /tmp); aborts the test run when it cannot.
std::string make_temp_dir();
// Writes content to path whole; aborts when it cannot.
void write_file(const std::string& path, const std::string& content);
// Returns the whole content of path, or "" when it cannot be read.
std::string read_file(const std::string& path);

// Starts MORVANE_BIN in dir with env added to this process's environment ("NAME=value";
// "NAME" alone removes it). Aborts when it cannot fork.
proc_t start_morvane(const std::string& dir, const std::vector<std::string>& env = {});
// Writes text to the process's standard input; false when it is gone.
bool send_input(const proc_t& p, const std::string& text);
// Closes the process's standard input.
void close_input(proc_t& p);
// Returns the exit status, or -1 when it has not ended within seconds (it is then killed),
// or 128+signal when a signal ended it.
int wait_exit(proc_t& p, double seconds);
// Kills the process (SIGKILL) and reaps it.
void kill_morvane(proc_t& p);
// True as soon as cond() holds; false when seconds pass first. Polls every 50 ms.
bool wait_until(const std::function<bool()>& cond, double seconds);
// True once the process has printed its "q" prompt; false when seconds pass first.
bool wait_for_prompt(const proc_t& p, double seconds);
// Returns how many times what occurs in text.
size_t count_of(const std::string& text, const std::string& what);

struct signal_t;
// Returns a default signal that lives until the test binary exits, as the tool's own do.
signal_t* new_signal();

// Starts snmpd in the foreground on udp:address with conf written to dir/snmpd.conf and its
// log in dir/snmpd.log; state goes where SNMP_PERSISTENT_DIR says. Aborts when it cannot fork.
pid_t start_snmpd(const std::string& dir, const std::string& address, const std::string& conf);
// Stops an agent started by start_snmpd and reaps it.
void stop_snmpd(pid_t pid);

// Returns a loopback port that was free a moment ago (type SOCK_STREAM or SOCK_DGRAM).
int free_port(int type);

#endif
