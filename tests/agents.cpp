// The agents the tests and the benchmarks share (see agents.h); a library that both tests/ and
// bench/ link.
#include "agents.h"

#include <fcntl.h>
#include <ftw.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

void check(bool ok, const std::string& what) {
  if (!ok) {
    perror(what.c_str());
    abort();
  }
}

std::string make_temp_dir(const char* prefix) {
  std::string path = std::string("/tmp/") + prefix + ".XXXXXX";
  check(mkdtemp(&path[0]), "mkdtemp " + path);
  return path;
}

void write_file(const std::string& path, const std::string& content, int mode) {
  std::ofstream f(path, std::ios::binary);
  check((f << content) && chmod(path.c_str(), mode) == 0, path);
}

std::string read_file(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

void remove_tree(const std::string& dir) {
  if (!dir.empty())  // depth first: a directory is emptied before it is removed
    nftw(dir.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path), 0; }, 16, FTW_DEPTH | FTW_PHYS);
}

sockaddr_in loopback(int port, uint32_t host) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(host);
  a.sin_port = htons(port);
  return a;
}

int bind_loopback(int type, int* port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, (sockaddr*)&a, len) != 0 || getsockname(fd, (sockaddr*)&a, &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

int free_port(int type) {
  int port = 0, fd = bind_loopback(type, &port);
  check(fd >= 0, "free_port");
  close(fd);
  return port;
}

void end_child(pid_t pid, int sig, bool group) {
  if (pid <= 0)
    return;
  kill(group ? -pid : pid, sig);
  waitpid(pid, NULL, 0);
}

pid_t fork_child(int death_signal) {
  pid_t parent = getpid(), pid = fork();
  if (pid == 0 && (prctl(PR_SET_PDEATHSIG, death_signal) != 0 || getppid() != parent))
    _exit(126);
  return pid;
}

// snmpd reads dir/persist/snmpd.conf only when it is on its configuration path, as -C leaves it.
pid_t start_snmpd(const std::string& dir, const std::string& addresses, const std::string& conf) {
  std::string path = dir + "/snmpd.conf", log = dir + "/snmpd.log", at = "udp:" + addresses;
  std::string persist = dir + "/persist/snmpd.conf";
  mkdir(dir.c_str(), 0700);
  write_file(path, conf);
  mkdir((dir + "/persist").c_str(), 0700);
  close(open(persist.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));  // -c fails on a missing file
  path += "," + persist;
  setenv("SNMP_PERSISTENT_DIR", (dir + "/persist").c_str(), 1);  // never the system's
  pid_t pid = fork_child(SIGTERM);
  if (pid == 0) {
    const char* argv[] = {"snmpd", "-f", "-C", "-c", path.c_str(), "-Lf", log.c_str(), at.c_str(), NULL};
    execvp("snmpd", (char**)argv);
    execv("/usr/sbin/snmpd", (char**)argv);  // /usr/sbin is on root's PATH only
    _exit(127);
  }
  return pid;
}

void stop_snmpd(pid_t pid) {
  end_child(pid, SIGTERM, false);
}

pid_t start_clone(const std::string& dir, const std::string& address, int reading) {
  return start_snmpd(dir, address, "engineID cloned\nrocommunity public 127.0.0.1\n"
                     "createUser clone SHA \"clonepassphrase\" AES \"clonepassphrase\"\n"
                     "rouser clone priv\noverride .1.3.6.1.4.1.99999.1.0 integer " + std::to_string(reading) + "\n");
}

static void* agent_session;  // in the agent's child

pid_t start_v2c_agent(const std::string& address, int (*answer)(int, snmp_session*, int, snmp_pdu*, void*)) {
  pid_t pid = fork_child(SIGKILL);
  if (pid != 0)
    return pid;
  netsnmp_session s;
  snmp_sess_init(&s);
  s.version = SNMP_VERSION_2c;
  s.callback = answer;
  netsnmp_transport* t = netsnmp_transport_open_server("snmp", ("udp:" + address).c_str());
  if (!t || !(agent_session = snmp_sess_add(&s, t, NULL, NULL)))
    _exit(1);
  for (;;) {
    fd_set fds;
    FD_ZERO(&fds);
    int n = 0, block = 1;
    timeval tv;
    snmp_sess_select_info(agent_session, &n, &fds, &tv, &block);
    if (select(n, &fds, NULL, NULL, NULL) > 0)
      snmp_sess_read(agent_session, &fds);
  }
}

bool send_answer(snmp_pdu* answer) {
  if (snmp_sess_send(agent_session, answer))
    return true;
  snmp_free_pdu(answer);
  return false;
}

// Answers an A query for agent-by-name in packet (n bytes) with 127.0.0.1; other queries for it
// get no address. Returns the reply's length.
static size_t answer_query(char* packet, size_t n) {
  const unsigned char address[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 0, 0, 4, 127, 0, 0, 1};
  bool a = n > 4 && packet[n - 3] == 1 && packet[n - 4] == 0;  // QTYPE A, before QCLASS
  packet[2] = (char)0x81, packet[3] = (char)0x80;  // a response, recursion available, no error
  packet[7] = a;  // ANCOUNT
  if (a)
    memcpy(packet + n, address, sizeof address);
  return n + (a ? sizeof address : 0);
}

static void serve_names(name_server_t* ns) {
  char packet[600];
  sockaddr_in from;
  while (!ns->stopping) {
    pollfd p = {ns->fd, POLLIN, 0};
    socklen_t len = sizeof from;
    ssize_t n = poll(&p, 1, 50) > 0 ? recvfrom(ns->fd, packet, 512, 0, (sockaddr*)&from, &len) : 0;
    if (n < 12 || std::string(packet, n).find("agent-by-name") == std::string::npos)
      continue;
    if (!ns->answering)
      ns->silent_asks++;
    else
      sendto(ns->fd, packet, answer_query(packet, n), 0, (sockaddr*)&from, len);
  }
}

name_server_t* start_name_server(const std::string& dir, const std::string& options) {
  write_file(dir + "/resolv.conf", "nameserver 127.0.0.153\n" + (options.empty() ? "" : "options " + options + "\n"));
  name_server_t* ns = new name_server_t;
  ns->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int on = 1;
  sockaddr_in a = loopback(53, 0x7f000099);
  setsockopt(ns->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(ns->fd, (sockaddr*)&a, sizeof a) != 0) {
    close(ns->fd);
    delete ns;
    return NULL;
  }
  ns->thread = std::thread(serve_names, ns);
  return ns;
}

void stop_name_server(name_server_t* ns) {
  ns->stopping = true;
  ns->thread.join();
  close(ns->fd);
  delete ns;
}

int unaccepting_listener(int* port) {
  int fd = bind_loopback(SOCK_STREAM, port);
  if (fd < 0 || listen(fd, 0) != 0)
    return -1;
  int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // the backlog's one place, kept open
  sockaddr_in a = loopback(*port);
  return connect(filler, (sockaddr*)&a, sizeof a) == 0 ? fd : -1;
}
