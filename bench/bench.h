// What the benchmarks share: failing and interruptions, options, the clock, child processes,
// loopback sockets, telemetry listeners, snmpget, one snmpd as many agents, CPU and memory from
// /proc, and a morvane run; agents.h has the agents and temp dirs.
#ifndef MORVANE_BENCH_H
#define MORVANE_BENCH_H

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "agents.h"

// Prints the benchmark's name and the message on standard error and exits with 1; what the
// benchmark started is ended by its atexit handler.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
// From now on SIGINT, SIGTERM and SIGHUP sent to the benchmark make check_interrupted fail, and
// end the sleep under way at once.
void catch_interrupts();
// Fails with "interrupted" once one of those signals came.
void check_interrupted();
// Sleeps for seconds, in steps short enough to notice an interruption soon.
void pause_for(double seconds);

// Prints usage on standard error and exits with 2.
[[noreturn]] void usage_error(const char* usage);
// The number text given to option name, at least least; a usage error otherwise.
double number_option(const char* usage, const std::string& name, const char* text, double least);
// binary's absolute path, since morvane runs in a directory of its own; fails when it cannot be
// run.
std::string runnable(const std::string& binary);

// Seconds on the monotonic clock.
double now();
// The middle value of v (the upper one of an even count); v must not be empty.
double median(std::vector<double> v);

// Standard output of line run by /bin/sh; "" when the shell cannot be started.
std::string run(const std::string& line);

// "127.0.0.1:PORT".
std::string loopback_address(int port);

// A socket listening on a free loopback TCP port, stored in *port; exits with a message when
// it cannot listen. Connections wait in its backlog until someone accepts them.
int listen_loopback(int* port);
// A socket connected to the loopback TCP port; exits with a message when it cannot connect.
int connect_loopback(int port);
// In a thread of its own, accepts every connection on listening fd and reads it to the end,
// adding its line ends to *lines; runs until the process ends.
void drain_lines(int fd, std::atomic<long>* lines);
// A line as read_lines hands it over: conn numbers its connection (from 1, in the order they were
// accepted), line is without its end, at is when it arrived (monotonic seconds).
typedef std::function<void(long conn, const std::string& line, double at)> take_line_t;
// As drain_lines, but hands each whole line to take, in that thread; a connection's last line
// without an end is dropped.
void read_lines(int fd, take_line_t take);

// The values of oids (separated by blanks) at address, read with snmpget v2c (1 s, no retry)
// and printed as -Oqv prints them, one a line; "" when the agent does not answer.
std::string snmp_get(const std::string& address, const std::string& community,
                     const std::string& oids);
// Waits up to seconds for address to answer oid; false when it never did.
bool await_agent(const std::string& address, const std::string& community,
                 const std::string& oid, double seconds);

// One snmpd answering on several loopback UDP ports, standing in for as many agents.
struct agents_t {
  pid_t pid = -1;
  std::vector<int> ports;  // all different
};
// Starts snmpd in dir with conf, which must let community "public" read sysUpTime.0, on count
// free loopback UDP ports, and waits until each answers; fails naming the first that does not.
// a->pid is set as soon as snmpd runs, so that an exit on failure ends it (stop_snmpd).
void start_agents(agents_t* a, const std::string& dir, int count, const std::string& conf);

// A v2c signal of morvane.conf: "sN", signum N, an integer read from oid at the loopback port with
// community "public", 1 s timeout and no retry.
std::string v2c_signal(int n, int port, const std::string& oid);

// CPU seconds in a /proc stat file: utime + stime, with_children also cutime + cstime (the
// children it has waited for); 0 when the file cannot be read.
double stat_cpu(const std::string& stat_file, bool with_children);
// CPU seconds process pid has used, as stat_cpu of /proc/PID/stat.
double process_cpu(pid_t pid, bool with_children);
// Ids of the threads of pid in ascending order, the main thread first; empty when pid is gone.
std::vector<int> thread_ids(pid_t pid);
// On-CPU seconds of thread tid of process pid, from its schedstat, which counts nanoseconds where
// stat counts clock ticks; 0 when it is gone.
double thread_runtime(pid_t pid, int tid);
// Resident memory of pid in kB (VmRSS); 0 when pid is gone.
long resident_kb(pid_t pid);

// A morvane that start_morvane runs in a temp dir of its own.
struct morvane_t {
  pid_t pid = -1;
  int input = -1;   // write end of its standard input
  std::string dir;  // holds its morvane.conf and its persistent SNMP files
  bool keep_err = false;  // set before the start: standard error to dir/err, appended, not ours
};

// build/morvane: the morvane beside the folder that holds this benchmark's binary.
std::string morvane_beside_bench();
// Starts binary in a new temp dir holding conf as morvane.conf, with ZQK_SERVER=server,
// SNMP_PERSISTENT_DIR in that dir, standard input a pipe and standard output /dev/null, dying
// with the benchmark; false with a message on standard error when the pipe or the fork fails
// (stop_morvane then removes what was made), an abort when the conf cannot be written. A binary
// that cannot be run ends at once with status 127.
bool start_morvane(morvane_t* m, const std::string& binary, const std::string& conf,
                   const std::string& server);
// Starts binary again in m's dir, after quit_morvane, on the morvane.conf the dir holds now; as
// start_morvane otherwise.
bool restart_morvane(morvane_t* m, const std::string& binary, const std::string& server);
// Fails, naming it by name, when morvane has ended; when says at what point of the benchmark.
void check_running(morvane_t* m, const std::string& name, const char* when);
// Writes "q" to it, waits up to 10 s for it to end and kills it otherwise; keeps its dir.
void quit_morvane(morvane_t* m);
// quit_morvane, then removes its dir.
void stop_morvane(morvane_t* m);

#endif
