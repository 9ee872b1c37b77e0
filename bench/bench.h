// What the benchmarks share: the clock, child processes, loopback sockets, a telemetry listener,
// snmpget, CPU and memory from /proc, and a morvane run; agents.h has the agents and temp dirs.
#ifndef MORVANE_BENCH_H
#define MORVANE_BENCH_H

#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

#include "agents.h"

// Seconds on the monotonic clock.
double now();
// The middle value of v (the upper one of an even count); v must not be empty.
double median(std::vector<double> v);

// Standard output of line run by /bin/sh; "" when the shell cannot be started.
std::string run(const std::string& line);

// A socket listening on a free loopback TCP port, stored in *port; exits with a message when
// it cannot listen. Connections wait in its backlog until someone accepts them.
int listen_loopback(int* port);
// A socket connected to the loopback TCP port; exits with a message when it cannot connect.
int connect_loopback(int port);
// In a thread of its own, accepts every connection on listening fd and reads it to the end,
// adding its line ends to *lines; runs until the process ends.
void drain_lines(int fd, std::atomic<long>* lines);

// The values of oids (separated by blanks) at address, read with snmpget v2c (1 s, no retry)
// and printed as -Oqv prints them, one a line; "" when the agent does not answer.
std::string snmp_get(const std::string& address, const std::string& community,
                     const std::string& oids);
// Waits up to seconds for address to answer oid; false when it never did.
bool await_agent(const std::string& address, const std::string& community,
                 const std::string& oid, double seconds);

// CPU seconds in a /proc stat file: utime + stime, with_children also cutime + cstime (the
// children it has waited for); 0 when the file cannot be read.
double stat_cpu(const std::string& stat_file, bool with_children);
// CPU seconds process pid has used, as stat_cpu of /proc/PID/stat.
double process_cpu(pid_t pid, bool with_children);
// Ids of the threads of pid in ascending order, the main thread first; empty when pid is gone.
std::vector<int> thread_ids(pid_t pid);
// Resident memory of pid in kB (VmRSS); 0 when pid is gone.
long resident_kb(pid_t pid);

// A morvane that start_morvane runs in a temp dir of its own.
struct morvane_t {
  pid_t pid = -1;
  int input = -1;   // write end of its standard input
  std::string dir;  // holds its morvane.conf and its persistent SNMP files
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
// Writes "q" to it, waits up to 10 s for it to end and kills it otherwise, removes its dir.
void stop_morvane(morvane_t* m);

#endif
