// The stand-in telemetry client against a real TCP listener: its lines (a sender pass's among
// them), its reconnects after refusals, server restarts and failed writes, and its limits.
#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>

#include "harness.h"
#include "sender.h"
#include "signals.h"
#include "zqk.h"

namespace {

ZQKClient* client_for(int port) {
  setenv("ZQK_SERVER", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
  static std::vector<std::unique_ptr<ZQKClient>> kept;
  kept.emplace_back(new ZQKClient(NULL, NULL, NULL, NULL, 49000));
  EXPECT_EQ(0, kept.back()->init_error);
  return kept.back().get();
}

// Waits for n lines, and a moment more for lines that should not come.
std::vector<std::string> wait_texts(listener_t* l, size_t n) {
  EXPECT_TRUE(wait_until([&] { return received(l).size() >= n; }, 30));
  usleep(100000);
  return texts(l);
}

// Returns a socket listening on a free loopback port (stored in *port) that nobody reads, with a
// backlog of one; an accept on it waits 10 s at most.
int silent_server(int* port) {
  int fd = bind_loopback(SOCK_STREAM, port);
  timeval limit = {10, 0};
  EXPECT_EQ(0, fd < 0 || listen(fd, 1) || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit));
  return fd;
}

// Every wait for lines at the listener comes after the last put: the tail of a burst goes out
// without a later put.
TEST(ZqkClientTest, LinesAreExactAndRefusalsAndServerRestartsLoseNone) {
  int port = free_port(SOCK_STREAM);
  ZQKClient* c = client_for(port);
  Value v;
  EXPECT_EQ(-1, c->put(&v, 0));
  EXPECT_EQ(ZQK_ERROR_NOT_BUILT, c->last_error);
  makeAValue(&v, -7, 0, 1.0f / 3, 0, 0);
  EXPECT_EQ(-1, c->put(&v, 0));
  EXPECT_EQ(-ECONNREFUSED, c->last_error);
  listener_t* l = start_listener(port);
  EXPECT_EQ(0, c->put(&v, 0));
  makeAValue(&v, 8, 0, 1e10f, 0, 0);
  EXPECT_EQ(0, c->put(&v, 0));
  signal_t* on = new_signal();  // a boolean goes out as 1 whatever its number, and twice
  on->signum = 9;
  on->value_type = 2;
  on->int_value = 5;
  signalsVector = {on};
  client = c;
  EXPECT_EQ(0, send_pass());
  EXPECT_EQ((std::vector<std::string>{"signal.-7 0.33333334", "signal.8 1e+10", "signal.9 1", "signal.9 1"}),
            wait_texts(l, 4));
  drop_connections(l);
  usleep(10000);  // the next pass, a while later
  for (int i = 0; i < 5; i++) {
    makeAValue(&v, 10 + i, 0, 1.0f, 0, 0);
    EXPECT_EQ(0, c->put(&v, 0)) << i;
  }
  wait_texts(l, 9);
  std::vector<line_t> got = received(l);
  ASSERT_EQ(9u, got.size());
  for (int i = 4; i < 9; i++)
    EXPECT_EQ("signal." + std::to_string(6 + i) + " 1 @2", got[i].text + " @" + std::to_string(got[i].connection));
  stop_listener(l);
}

// A server whose accept queue is full drops the handshake: put gives up, not the kernel.
TEST(ZqkClientTest, ServerThatNeverAnswersTimesOut) {
  int port = 0, fd = unaccepting_listener(&port);
  ASSERT_GE(fd, 0);
  ZQKClient* c = client_for(port);
  Value v;
  makeAValue(&v, 1, 0, 1.0f, 0, 0);
  std::future<int> rc = std::async(std::launch::async, [&] { return c->put(&v, 0); });
  ASSERT_EQ(std::future_status::ready, rc.wait_for(std::chrono::seconds(30)));
  EXPECT_EQ(-1, rc.get());
  EXPECT_EQ(-ETIMEDOUT, c->last_error);
  close(fd);
}

// The server reads nothing, so the client's writes fill the socket buffers and then wait (1 s at
// most); the rows say how the server ends the first connection.
TEST(ZqkClientTest, AFailedWriteIsReportedAndDropsTheConnection) {
  enum { never, before_the_next_write };
  const int want[] = {-EAGAIN, -ECONNRESET};
  for (int row : {never, before_the_next_write}) {
    int port = 0, fd = silent_server(&port);
    ZQKClient* c = client_for(port);
    Value v;
    makeAValue(&v, 1, 0, 1.0f, 0, 0);
    std::atomic<int> left{row == before_the_next_write ? 1000 : INT_MAX};  // ends a row none fails
    std::future<int> failed = std::async(std::launch::async, [&] {
      while (--left > 0 && c->put(&v, 0) == 0)
        if (row == before_the_next_write)
          usleep(10000);  // a line at a time, each written long before the next
      return (int)c->last_error;
    });
    int first = accept(fd, NULL, NULL);
    char byte;
    if (row == before_the_next_write) {  // a close, then a reset for what it never read
      EXPECT_EQ(1, recv(first, &byte, 1, MSG_PEEK));
      close(first);
    }
    ASSERT_EQ(std::future_status::ready, failed.wait_for(std::chrono::seconds(30)));
    EXPECT_EQ(want[row], failed.get()) << row;
    makeAValue(&v, 2, 0, 1.0f, 0, 0);
    EXPECT_EQ(0, c->put(&v, 0));
    int second = accept(fd, NULL, NULL);
    std::string got;
    char buf[4096];
    for (ssize_t n; count_of(got, "signal.2 1 ") == 0 && (n = recv(second, buf, sizeof buf, 0)) > 0;)
      got.append(buf, n);
    EXPECT_EQ(1u, count_of(got, "signal.2 1 ")) << row << ": not on a new connection";
    close(second);
    if (row == never)
      close(first);
    close(fd);
  }
}

}  // namespace
