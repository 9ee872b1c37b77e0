// Stand-in for the closed telemetry client: ZQKClient resolves the server named by ZQK_SERVER
// (host, host:port or [v6addr]:port; default 127.0.0.1 and the constructor's port) and puts
// each reading as one Graphite plaintext line over TCP: "signal.<signum> <value> <unix-seconds>".
// put queues the line, and a flusher thread of the client writes a burst of lines in one write.
// The two share the client's zqk_link_t, whose changing fields they use under its lock only;
// init_error and last_error belong to the thread that calls put.
#include "zqk.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

// Limit for a connect and for a write that the server does not take up, in milliseconds.
static const int io_limit_ms = 1000;
// The flusher writes the queued lines this long after the first of them was queued, so that the
// puts of a burst share one system call.
static const std::chrono::microseconds flush_delay(1000);
// put writes the queued lines itself once they hold this many bytes: a long burst goes out in
// writes of this size rather than piling up for the flusher.
static const size_t write_at = 64 * 1024;

typedef std::chrono::steady_clock clock_type;

// What put and the flusher share: the fields below lock are used under it only. A line is
// queued only while connected, and the queue is emptied by every write, failed or not.
struct zqk_link_t {
  sockaddr_storage addr{};  // set before the flusher starts, read-only after
  socklen_t addr_len = 0;
  pthread_t flusher{};      // used by the constructor and the destructor only
  bool flusher_runs = false;
  std::mutex lock;
  std::condition_variable wake;  // a line queued into an empty queue, or stopping set
  std::string queued;            // lines not written yet
  clock_type::time_point queued_at;  // when the first of them was queued
  int fd = -1;
  int error = 0;          // -errno of a failed connect or write, or of a reset, no put returned yet
  bool stopping = false;  // the flusher writes what is queued and ends
};

void makeAValue(Value* v, int signum, int arg, float reading, unsigned int aux1, unsigned int aux2) {
  v->signum = signum;
  v->kind = ZQK_KIND_FLOAT;
  v->arg = arg;
  v->reading = reading;
  v->state = 0;
  v->aux1 = aux1;
  v->aux2 = aux2;
}

void makeBValue(Value* v, int signum, int arg, int state, unsigned int aux1, unsigned int aux2) {
  v->signum = signum;
  v->kind = ZQK_KIND_STATE;
  v->arg = arg;
  v->reading = 0;
  v->state = state != 0;
  v->aux1 = aux1;
  v->aux2 = aux2;
}

// Splits "host", "host:port", "[addr]" or "[addr]:port"; a bare text with several colons is
// an IPv6 address. Returns false when the text is malformed.
static bool split_server(const std::string& s, std::string* host, std::string* port) {
  std::string rest;
  if (!s.empty() && s[0] == '[') {
    size_t close = s.find(']');
    if (close == std::string::npos)
      return false;
    *host = s.substr(1, close - 1);
    rest = s.substr(close + 1);
    if (!rest.empty() && rest[0] != ':')
      return false;
  } else {
    size_t colon = s.find(':');
    if (colon != std::string::npos && s.find(':', colon + 1) == std::string::npos) {
      *host = s.substr(0, colon);
      rest = s.substr(colon);
    } else {
      *host = s;
    }
  }
  if (!rest.empty()) {
    *port = rest.substr(1);
    if (port->empty() || port->size() > 5 ||
        port->find_first_not_of("0123456789") != std::string::npos)
      return false;
    long n = strtol(port->c_str(), NULL, 10);
    if (n < 1 || n > 65535)
      return false;
  }
  return !host->empty() && host->find_first_of(" \t[]") == std::string::npos;
}

// Writes the reading's line into buf, which holds line_max bytes; returns its length.
// The float goes out in its shortest form that reads back to the same float ("23.5").
static const size_t line_max = 64;  // "signal." + 11 + ' ' + 15 + ' ' + 20 + '\n' at most
static size_t format_line(const Value* v, time_t now, char* buf) {
  char* end = buf + line_max - 1;  // room for the line end whatever to_chars does
  memcpy(buf, "signal.", 7);
  char* p = std::to_chars(buf + 7, end, v->signum).ptr;
  *p++ = ' ';
  if (v->kind == ZQK_KIND_STATE)
    *p++ = v->state ? '1' : '0';
  else
    p = std::to_chars(p, end, v->reading).ptr;
  *p++ = ' ';
  p = std::to_chars(p, end, (long long)now).ptr;
  *p++ = '\n';
  return p - buf;
}

// Waits up to io_limit_ms for a non-blocking connect to finish; returns 0 or an errno.
static int finish_connect(int fd) {
  pollfd pfd = {fd, POLLOUT, 0};
  int n;
  while ((n = poll(&pfd, 1, io_limit_ms)) < 0 && errno == EINTR) {
  }
  if (n < 0)
    return errno;
  if (n == 0)
    return ETIMEDOUT;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
    return errno;
  return err;
}

// Returns a blocking socket connected to addr whose writes give up after io_limit_ms, or
// -errno. Close-on-exec, so the commands the poller starts do not hold the connection open.
static int open_connection(const sockaddr_storage& addr, socklen_t len) {
  int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -errno;
  int err = 0;
  if (connect(fd, (const sockaddr*)&addr, len) != 0)
    err = errno == EINPROGRESS ? finish_connect(fd) : errno;
  timeval limit = {io_limit_ms / 1000, io_limit_ms % 1000 * 1000};
  if (err == 0 && (fcntl(fd, F_SETFL, 0) != 0 ||
                   setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0))
    err = errno;
  if (err != 0) {
    close(fd);
    return -err;
  }
  return fd;
}

// Writes all n bytes; returns 0 or -errno. MSG_NOSIGNAL: a closed peer gives EPIPE, not SIGPIPE.
static int send_all(int fd, const char* buf, size_t n) {
  while (n > 0) {
    ssize_t k = send(fd, buf, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR)
      continue;
    if (k < 0)
      return -errno;
    buf += k;
    n -= k;
  }
  return 0;
}

// Looks whether the server has ended the connection, as a restart does: 0 while it is open, 1
// after a close, -errno after a reset, which means lines written into it were never read. Whatever
// the server sent (it should send nothing) is read and dropped.
static int look(int fd) {
  pollfd pfd = {fd, POLLIN | POLLRDHUP, 0};
  if (poll(&pfd, 1, 0) <= 0)
    return 0;
  int err = 0;
  socklen_t len = sizeof err;
  if (pfd.revents & POLLERR)  // a recv would report the close, not the reset, after a FIN
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0 ? -err : 1;
  char discard[512];
  ssize_t n;
  while ((n = recv(fd, discard, sizeof discard, MSG_DONTWAIT)) > 0 || (n < 0 && errno == EINTR)) {
  }
  return n == 0 ? 1 : errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -errno;
}

// Drops the connection after a failure and keeps rc (-errno) for the next put to return.
static void drop(zqk_link_t* l, int rc) {
  if (l->fd >= 0)
    close(l->fd);
  l->fd = -1;
  l->error = rc;
}

// On failure the error is kept for the next put to return.
static void connect_link(zqk_link_t* l) {
  l->fd = open_connection(l->addr, l->addr_len);
  if (l->fd < 0)
    drop(l, l->fd);
}

// Writes the queued lines, on a new connection when the server has ended the old one. A failed
// connect or write loses them and drops the connection. Under l->lock.
static void write_queued(zqk_link_t* l) {
  int seen = look(l->fd);
  if (seen < 0)
    l->error = seen;  // lines the server never read: the next put reports them lost
  if (seen != 0) {
    close(l->fd);
    connect_link(l);
  }
  if (l->fd >= 0) {
    int rc = send_all(l->fd, l->queued.data(), l->queued.size());
    if (rc != 0)
      drop(l, rc);
  }
  l->queued.clear();
}

// Queues v's line; the first line of a burst wakes the flusher. Under l->lock, while connected.
static void queue_line(zqk_link_t* l, const Value* v) {
  if (l->queued.empty()) {
    l->queued_at = clock_type::now();
    l->wake.notify_one();
  }
  char line[line_max];
  l->queued.append(line, format_line(v, time(NULL), line));
  if (l->queued.size() >= write_at)
    write_queued(l);
}

// The flusher thread: writes the queued lines flush_delay after the first of them was queued,
// and what is left when the client ends.
static void* run_flusher(void* arg) {
  zqk_link_t* l = (zqk_link_t*)arg;
  std::unique_lock<std::mutex> hold(l->lock);
  while (!l->stopping) {
    if (l->queued.empty())
      l->wake.wait(hold);
    else if (clock_type::now() < l->queued_at + flush_delay)
      l->wake.wait_until(hold, l->queued_at + flush_delay);
    else
      write_queued(l);
  }
  if (!l->queued.empty())
    write_queued(l);
  return NULL;
}

ZQKClient::ZQKClient(zqk_callback on_value, void* value_ctx, zqk_callback on_state,
                     void* state_ctx, unsigned short port)
    : link_(new zqk_link_t) {
  (void)on_value, (void)value_ctx, (void)on_state, (void)state_ctx;
  std::string host = "127.0.0.1", service = std::to_string(port);
  const char* server = getenv("ZQK_SERVER");
  if (server && !split_server(server, &host, &service)) {
    init_error = 1;
    last_error = -EINVAL;
    return;
  }
  addrinfo hints{}, *res = NULL;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (rc != 0) {
    init_error = 1;
    last_error = rc == EAI_SYSTEM ? -errno : rc;  // glibc's EAI_ codes are negative
    return;
  }
  memcpy(&link_->addr, res->ai_addr, res->ai_addrlen);
  link_->addr_len = res->ai_addrlen;
  freeaddrinfo(res);
  link_->queued.reserve(write_at + line_max);
  rc = pthread_create(&link_->flusher, NULL, run_flusher, link_);
  if (rc != 0) {
    init_error = 1;
    last_error = -rc;
    return;
  }
  link_->flusher_runs = true;
}

ZQKClient::~ZQKClient() {
  zqk_link_t* l = link_;
  if (l->flusher_runs) {
    {
      std::lock_guard<std::mutex> hold(l->lock);
      l->stopping = true;
    }
    l->wake.notify_one();
    pthread_join(l->flusher, NULL);
  }
  if (l->fd >= 0)
    close(l->fd);
  delete l;
}

int ZQKClient::put(Value* v, int flags) {
  (void)flags;
  if (!v || (v->kind != ZQK_KIND_FLOAT && v->kind != ZQK_KIND_STATE)) {
    last_error = ZQK_ERROR_NOT_BUILT;
    return -1;
  }
  zqk_link_t* l = link_;
  std::lock_guard<std::mutex> hold(l->lock);
  if (l->error == 0 && l->fd < 0)
    connect_link(l);
  if (l->error == 0)
    queue_line(l, v);
  if (l->error == 0)
    return 0;
  last_error = (int16_t)l->error;
  l->error = 0;
  return -1;
}
