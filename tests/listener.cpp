// A telemetry server for tests. Its thread reads byte by byte, so each line's receive time is
// the kernel's time stamp of the packet that carried its first byte, not the thread's wake-up.
#include "listener.h"

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

struct conn_t {
  int fd;
  int number;
  std::string partial;
  int64_t first_ns;
};

static void die(const char* what) {
  perror(what);
  abort();
}

// Reads one byte with its time stamp; returns 1, 0 at end of stream, -1 when nothing waits.
static int read_byte(int fd, char* c, int64_t* ns) {
  char control[CMSG_SPACE(sizeof(timespec))];
  iovec iov = {c, 1};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
  if (n <= 0)
    return n == 0 ? 0 : -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec ts;
      memcpy(&ts, CMSG_DATA(c), sizeof ts);
      *ns = ts.tv_sec * 1000000000LL + ts.tv_nsec;
    }
  return 1;
}

// Moves every complete line waiting on c into l; returns false at end of stream.
static bool read_lines(listener_t* l, conn_t* c) {
  char ch;
  int64_t ns = 0;
  int rc;
  while ((rc = read_byte(c->fd, &ch, &ns)) == 1) {
    if (c->partial.empty())
      c->first_ns = ns;
    c->partial += ch;
    if (ch == '\n') {
      std::lock_guard<std::mutex> hold(l->lock);
      l->lines.push_back({c->partial, c->first_ns, c->number});
      c->partial.clear();
    }
  }
  return rc != 0;
}

static void accept_one(listener_t* l, std::vector<conn_t>* conns) {
  int fd = accept4(l->fd, NULL, NULL, SOCK_CLOEXEC);
  if (fd < 0)
    return;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  std::lock_guard<std::mutex> hold(l->lock);
  conns->push_back({fd, ++l->accept_count, "", 0});
}

// Drains and closes every connection; a drained socket closes with FIN rather than RST.
static void close_all(listener_t* l, std::vector<conn_t>* conns) {
  for (conn_t& c : *conns) {
    read_lines(l, &c);
    close(c.fd);
  }
  conns->clear();
}

static void run(listener_t* l) {
  std::vector<conn_t> conns;
  while (!l->stopping) {
    if (l->dropping) {
      close_all(l, &conns);
      l->dropping = false;
    }
    std::vector<pollfd> fds = {{l->fd, POLLIN, 0}};
    for (const conn_t& c : conns)
      fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 20) <= 0)
      continue;
    for (size_t i = conns.size(); i-- > 0;)
      if (fds[i + 1].revents && !read_lines(l, &conns[i])) {
        close(conns[i].fd);
        conns.erase(conns.begin() + i);
      }
    if (fds[0].revents)  // after the reads: fds holds no entry for a new connection
      accept_one(l, &conns);
  }
  close_all(l, &conns);
  close(l->fd);
}

listener_t* start_listener(int port) {
  listener_t* l = new listener_t;
  l->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  socklen_t len = sizeof a;
  if (l->fd < 0 || setsockopt(l->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(l->fd, (sockaddr*)&a, sizeof a) != 0 || listen(l->fd, 16) != 0 ||
      getsockname(l->fd, (sockaddr*)&a, &len) != 0)
    die("start_listener");
  l->port = ntohs(a.sin_port);
  l->reader = std::thread(run, l);
  return l;
}

void stop_listener(listener_t* l) {
  l->stopping = true;
  if (l->reader.joinable())
    l->reader.join();
  delete l;
}

void drop_connections(listener_t* l) {
  l->dropping = true;
  while (l->dropping)
    usleep(1000);
}

std::vector<line_t> received(listener_t* l) {
  std::lock_guard<std::mutex> hold(l->lock);
  return l->lines;
}

int accepted(listener_t* l) {
  std::lock_guard<std::mutex> hold(l->lock);
  return l->accept_count;
}

std::string strip_time(const std::string& line, int64_t from, int64_t to) {
  size_t blank = line.rfind(' ');
  if (line.empty() || line.back() != '\n' || blank == std::string::npos || blank == 0)
    return "";
  std::string seconds = line.substr(blank + 1, line.size() - blank - 2);
  if (seconds.empty() || seconds.size() > 18 || seconds.find_first_not_of("0123456789") != std::string::npos)
    return "";
  long long t = atoll(seconds.c_str());
  if (t < from || t > to)
    return "";
  return line.substr(0, blank);
}
