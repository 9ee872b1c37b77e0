// What the tests run against: the real morvane in a temporary directory, and a telemetry server
// of the test's own, a TCP listener on a loopback port.
#ifndef MORVANE_TESTS_HARNESS_H
#define MORVANE_TESTS_HARNESS_H

#include <netinet/in.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agents.h"

// True as soon as cond() holds; false when seconds pass first. Looks every 50 ms.
bool wait_until(const std::function<bool()>& cond, double seconds);
// Returns how many times what occurs in text.
size_t count_of(const std::string& text, const std::string& what);

// A running morvane: standard input is a socket of ours, standard output and error go to
// dir/out and dir/err. It dies with the test binary.
struct proc_t {
  pid_t pid = -1;
  int in_fd = -1;
  std::string dir;
  std::string out() const { return read_file(dir + "/out"); }
  std::string err() const { return read_file(dir + "/err"); }
};

// Starts morvane in dir through env(1) with the given words before it ("NAME=value" sets a
// variable, "-u", "NAME" removes one). Aborts when it cannot fork.
proc_t start_morvane(const std::string& dir, const std::vector<std::string>& env);
// Returns a new directory holding conf as morvane.conf, or no file for conf "-".
std::string run_dir(const std::string& conf);
// Writes text to the process's standard input; false when it is gone.
bool send_input(const proc_t& p, const std::string& text);
// Returns the exit status (128+signal after a signal), or -1 when it has not ended within
// seconds; it is then killed. seconds 0 kills it at once.
int wait_exit(proc_t& p, double seconds);
// True once the process has printed its "q" prompt; false when seconds pass first.
bool wait_for_prompt(const proc_t& p, double seconds);
// The colours of a fresh and of a stale reading in the table.
extern const char fresh[], stale[];
// Returns the reading shown for name in the newest frame of p's output when it is in colour, or
// "" before the first frame and when it is in another colour.
std::string shown(const proc_t& p, const std::string& name, const std::string& colour = fresh);

// Starts a tmux server on socket in the foreground, as a child that dies with the test binary,
// so that no session of a failed test lives on; returns once it listens. Aborts when it cannot.
pid_t start_tmux_server(const std::string& socket);

// Puts this process and the morvanes it starts in a /dev of their own, holding a datagram
// socket of ours at /dev/log and the devices a program and tmux need; returns that socket, or
// -1 when it cannot (it needs root).
int private_dev_log();
// Returns the records that arrived on the socket of private_dev_log, each with a line end; ""
// for -1.
std::string log_records(int log);

struct signal_t;
// Returns a default signal that lives until the test binary exits, as the tool's own do.
signal_t* new_signal();

struct line_t {
  std::string text;  // without the line end, and without the time field when it is now's
  int64_t ms;        // when the test read it, in ms of the monotonic clock
  int connection;    // 1 for the first connection accepted, 2 for the next...
};

// A telemetry server on a loopback port; its thread reads every connection and keeps the lines.
struct listener_t {
  int port = 0;
  int fd = -1;
  std::thread reader;
  std::atomic<bool> stopping{false};
  std::atomic<bool> dropping{false};
  std::mutex lock;
  std::vector<line_t> lines;
  std::atomic<int> accepted{0};
};

// Listens on 127.0.0.1:port (0: any free port); aborts when it cannot.
listener_t* start_listener(int port = 0);
// Closes every connection and the listening socket, and frees l.
void stop_listener(listener_t* l);
// Closes the connections, as a server restart does, and goes on listening.
void drop_connections(listener_t* l);
// Returns a copy of the lines received so far.
std::vector<line_t> received(listener_t* l);
// Returns the texts of the lines received so far.
std::vector<std::string> texts(listener_t* l);
// Returns the numbers of the lines received so far for metric ("signal.51"), in order.
std::vector<double> numbers_sent(listener_t* l, const std::string& metric);

#endif
