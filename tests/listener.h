// A telemetry server for tests: a TCP listener on a loopback port that keeps every line it
// receives, with the kernel's receive time of the line's first byte.
#ifndef MORVANE_TESTS_LISTENER_H
#define MORVANE_TESTS_LISTENER_H

#include <stdint.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct line_t {
  std::string text;     // with its line end
  int64_t received_ns;  // system clock, nanoseconds since the epoch
  int connection;       // 1 for the first connection accepted, 2 for the next...
};

// Owned by the test; its thread reads the connections and appends to lines under lock.
struct listener_t {
  int port = 0;
  int fd = -1;
  std::thread reader;
  std::atomic<bool> stopping{false};
  std::atomic<bool> dropping{false};
  std::mutex lock;
  std::vector<line_t> lines;
  int accept_count = 0;
};

// Listens on 127.0.0.1:port (0: any free port) and starts reading; aborts when it cannot.
listener_t* start_listener(int port = 0);
// Reads what has arrived, closes every connection and the listening socket, and frees l.
void stop_listener(listener_t* l);
// Reads what has arrived, then closes the connections but goes on listening.
void drop_connections(listener_t* l);
// Returns a copy of the complete lines received so far.
std::vector<line_t> received(listener_t* l);
// Returns how many connections have been accepted so far.
int accepted(listener_t* l);

// Returns the line without its time field and line end ("signal.12 7"), or "" when it is not
// "NAME VALUE SECONDS\n" with SECONDS (Unix time) from `from` to `to`.
std::string strip_time(const std::string& line, int64_t from, int64_t to);

#endif
