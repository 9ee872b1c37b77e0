// Socket and descriptor helpers of the built-in engine, apart from its loop.
#include "sockets.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "signals.h"

bool watch_fd(int epoll, int fd, uint32_t events, uint64_t tag) {
  epoll_event ev = {};
  ev.events = events;
  ev.data.u64 = tag;
  return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void unwatch_fd(int epoll, int fd) {
  epoll_ctl(epoll, EPOLL_CTL_DEL, fd, NULL);
}

int connect_nonblocking(const sockaddr_storage* peer, socklen_t length) {
  int fd = length ? socket(peer->ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0) : -1;
  if (fd >= 0 && connect(fd, (const sockaddr*)peer, length) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

int connect_error(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
    error = errno;
  return error;
}

int wait_for_events(int epoll, epoll_event* events, int size, int64_t deadline_ns) {
  int n;
  if (deadline_ns < 0) {
    n = epoll_wait(epoll, events, size, -1);
  } else {
    int64_t left = std::max<int64_t>(0, deadline_ns - monotonic_ns());
    timespec t = {(time_t)(left / 1000000000), (long)(left % 1000000000)};
    n = epoll_pwait2(epoll, events, size, &t, NULL);
    if (n < 0 && errno == ENOSYS)  // kernels before 5.11: whole milliseconds
      n = epoll_wait(epoll, events, size, (int)((left + 999999) / 1000000));
  }
  return n < 0 && errno == EINTR ? epoll_wait(epoll, events, size, 0) : n;
}

// 256: the rest of morvane and its commands.
void allow_descriptors(size_t count) {
  rlimit r;
  rlim_t want = (rlim_t)count + 256;
  if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= want)
    return;
  r.rlim_cur = r.rlim_max == RLIM_INFINITY || r.rlim_max > want ? want : r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
}
