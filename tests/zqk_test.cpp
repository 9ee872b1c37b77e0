// The stand-in telemetry client against a real TCP listener: its lines (a sender pass's among
// them), its reconnects after refusals and server restarts, and its limits.
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <memory>

#include "app.h"
#include "harness.h"
#include "sender.h"
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
  EXPECT_TRUE(wait_until([&] { return received(l).size() >= n; }, 10));
  usleep(100000);
  return texts(l);
}

// This process keeps SIGPIPE at its default: a write into a closed connection that raised it
// would end the test binary.
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
  // bursts of puts while the server drops its connections, until one writes into a closed one
  // (a reset peer gives ECONNRESET, which raises nothing: look on)
  bool closed = false;
  for (int drop = 0; drop < 200 && !closed; drop++) {
    std::thread dropper([&] { drop_connections(l); });
    for (int i = 0; i < 3000 && !closed; i++)
      closed = c->put(&v, 0) == -1 && c->last_error == -EPIPE;
    dropper.join();
  }
  if (closed) {  // under a sanitizer a put may take longer than the client waits between looks
    EXPECT_EQ(0, c->put(&v, 0)) << c->last_error;
  }
  stop_listener(l);
}

// A server whose accept queue is full drops the handshake: put gives up, not the kernel.
TEST(ZqkClientTest, ServerThatNeverAnswersTimesOut) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(0, bind(fd, (sockaddr*)&a, len) || listen(fd, 0) || getsockname(fd, (sockaddr*)&a, &len));
  int filler = socket(AF_INET, SOCK_STREAM, 0);  // takes the one place in the queue
  ASSERT_EQ(0, connect(filler, (sockaddr*)&a, len));
  ZQKClient* c = client_for(ntohs(a.sin_port));
  Value v;
  makeAValue(&v, 1, 0, 1.0f, 0, 0);
  std::future<int> rc = std::async(std::launch::async, [&] { return c->put(&v, 0); });
  ASSERT_EQ(std::future_status::ready, rc.wait_for(std::chrono::seconds(30)));
  EXPECT_EQ(-1, rc.get());
  EXPECT_EQ(-ETIMEDOUT, c->last_error);
  close(filler);
  close(fd);
}

}  // namespace
