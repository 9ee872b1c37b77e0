// Socket and descriptor helpers of the built-in engine: epoll registration, connects that never
// block, and the descriptor limit.
#ifndef MORVANE_SOCKETS_H
#define MORVANE_SOCKETS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

// Watches fd on the epoll descriptor for events, its wake-ups carrying tag; false when the
// kernel refuses (errno says why).
bool watch_fd(int epoll, int fd, uint32_t events, uint64_t tag);
// Stops watching fd; a descriptor not watched is no error.
void unwatch_fd(int epoll, int fd);
// Returns a stream socket, non-blocking and close-on-exec, connecting to peer; -1 when none can
// be made or the connect failed at once. It is writable once the connect has ended.
int connect_nonblocking(const sockaddr_storage* peer, socklen_t length);
// Returns 0 when the connect of fd succeeded, else its error.
int connect_error(int fd);
// Waits on the epoll descriptor for up to size events, until deadline_ns (monotonic; -1: no
// deadline); returns how many are ready, or -1 (errno says why). A wait cut short by a signal, as
// a stopped process's is when it goes on, still looks at what has arrived meanwhile.
int wait_for_events(int epoll, struct epoll_event* events, int size, int64_t deadline_ns);
// Raises the soft limit on descriptors to cover count sockets and a margin for the rest of
// morvane and its commands; the hard limit is never passed, and a limit that cannot be raised is
// left as it is.
void allow_descriptors(size_t count);

#endif
