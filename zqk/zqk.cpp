// Stand-in for the closed telemetry client: ZQKClient resolves the server named by ZQK_SERVER
// (host, host:port or [v6addr]:port; default 127.0.0.1 and the constructor's port) and puts
// each reading as one Graphite plaintext line over TCP: "signal.<signum> <value> <unix-seconds>".
#include "zqk.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <string>

// Limit for a connect and for a write that the server does not take up, in milliseconds.
static const int io_limit_ms = 1000;
// A connection is looked at for a close by the server before a write once this many
// nanoseconds have passed since the last look. A look costs about as much as the write, so the
// puts of one burst share it, while the first put after a pause always looks.
static const int64_t look_gap_ns = 1000000;

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

ZQKClient::ZQKClient(zqk_callback on_value, void* value_ctx, zqk_callback on_state,
                     void* state_ctx, unsigned short port) {
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
  memcpy(&addr_, res->ai_addr, res->ai_addrlen);
  addr_len_ = res->ai_addrlen;
  freeaddrinfo(res);
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

// True when the server has closed or reset the connection: a line written into it now would be
// lost without an error, and only the next write would fail. One poll when nothing has arrived;
// whatever the server sent (it should send nothing) is read and dropped.
static bool peer_closed(int fd) {
  pollfd pfd = {fd, POLLIN | POLLRDHUP, 0};
  if (poll(&pfd, 1, 0) <= 0)
    return false;
  char discard[512];
  ssize_t n;
  while ((n = recv(fd, discard, sizeof discard, MSG_DONTWAIT)) > 0 || (n < 0 && errno == EINTR)) {
  }
  return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

// True when the last look, at looked_ns, is look_gap_ns old or more, or lies ahead (the wall
// clock was set back).
static bool look_due(int64_t now_ns, int64_t looked_ns) {
  return now_ns - looked_ns >= look_gap_ns || now_ns < looked_ns;
}

ZQKClient::~ZQKClient() {
  if (fd_ >= 0)
    close(fd_);
}

int ZQKClient::put(Value* v, int flags) {
  (void)flags;
  if (!v || (v->kind != ZQK_KIND_FLOAT && v->kind != ZQK_KIND_STATE)) {
    last_error = ZQK_ERROR_NOT_BUILT;
    return -1;
  }
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  int64_t now_ns = now.tv_sec * 1000000000LL + now.tv_nsec;
  char line[line_max];
  size_t n = format_line(v, now.tv_sec, line);
  if (fd_ >= 0 && look_due(now_ns, looked_ns_)) {
    looked_ns_ = now_ns;
    if (peer_closed(fd_)) {
      close(fd_);
      fd_ = -1;
    }
  }
  if (fd_ < 0) {
    fd_ = open_connection(addr_, addr_len_);
    looked_ns_ = now_ns;
  }
  int rc = fd_ < 0 ? fd_ : send_all(fd_, line, n);
  if (rc == 0)
    return 0;
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
  last_error = (int16_t)rc;
  return -1;
}
