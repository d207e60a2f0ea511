// The readiness set over loopback connections: a registered socket is reported with its key
// when it is ready for what it waits for, and for nothing else; a change takes effect at once;
// a removed or closed one is never reported again. Each case runs twice: at once after the
// sockets are registered, and after they have waited a while (where the set watches long
// waiters differently from fresh ones).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/net.h"
#include "platform/readiness.h"
#include "platform/win32.h"

namespace dirhttp {
namespace {

// Every wait that expects a report is bounded by this.
constexpr int kBoundMs = 5000;

// Both ends of one loopback TCP connection; closed when destroyed unless already closed.
struct Pair {
  SOCKET mine = INVALID_SOCKET;  // the end given to the readiness set
  SOCKET peer = INVALID_SOCKET;  // the peer
  ~Pair() {
    if (mine != INVALID_SOCKET) closesocket(mine);
    if (peer != INVALID_SOCKET) closesocket(peer);
  }
};

// Longer than any platform watches a fresh socket differently from one that waits.
constexpr std::chrono::milliseconds kAWhile{30};

class PlatformReadiness : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener_, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener_, 8), 0);
    socklen_t length = sizeof(address_);
    ASSERT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address_), &length), 0);
  }
  void TearDown() override {
    closesocket(listener_);
    WSACleanup();
  }

  // A connected pair; its own end is non-blocking, as the server's sockets are.
  void connect_pair(Pair& pair) {
    pair.peer = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(pair.peer, INVALID_SOCKET);
    ASSERT_EQ(connect(pair.peer, reinterpret_cast<sockaddr*>(&address_), sizeof(address_)), 0);
    pair.mine = accept(listener_, nullptr, nullptr);
    ASSERT_NE(pair.mine, INVALID_SOCKET);
    make_nonblocking(pair.mine);
  }

  // In the second run of each case, lets the registered sockets wait a while, the set waiting
  // with them as the serving loop does. Whatever becomes ready meanwhile is reported again.
  void maybe_wait_a_while(Readiness& readiness) {
    if (!GetParam()) return;
    const auto end = std::chrono::steady_clock::now() + kAWhile;
    std::vector<ReadyEvent> ready;
    // Bounded by the end: each wait lasts at most a third of the while.
    while (std::chrono::steady_clock::now() < end) readiness.wait(ready, kAWhile.count() / 3);
  }

  SOCKET listener_ = INVALID_SOCKET;
  sockaddr_in address_{};
};

void send_byte(SOCKET socket) { ASSERT_EQ(send(socket, "x", 1, 0), 1); }

// Waits (bounded) until `key` is reported; returns its event, or a key-less one on time-out.
ReadyEvent wait_for_key(Readiness& readiness, std::size_t key) {
  std::vector<ReadyEvent> ready;
  for (int waits = 0; waits < 10; ++waits) {
    if (!readiness.wait(ready, kBoundMs / 10)) continue;
    for (const ReadyEvent& event : ready) {
      if (event.key == key) return event;
    }
  }
  return ReadyEvent{~std::size_t{0}, false, false};
}

// Whether `key` is among what one wait reports once `sentinel` is (so anything that was going
// to arrive before the sentinel's byte has).
bool reported_beside(Readiness& readiness, std::size_t key, std::size_t sentinel) {
  std::vector<ReadyEvent> ready;
  bool seen_key = false;
  bool seen_sentinel = false;
  for (int waits = 0; waits < 10 && !seen_sentinel; ++waits) {
    if (!readiness.wait(ready, kBoundMs / 10)) continue;
    for (const ReadyEvent& event : ready) {
      seen_key = seen_key || event.key == key;
      seen_sentinel = seen_sentinel || event.key == sentinel;
    }
  }
  EXPECT_TRUE(seen_sentinel) << "the sentinel was never reported";
  return seen_key;
}

TEST_P(PlatformReadiness, ReportsASocketWithItsKeyForWhatItWaitsFor) {
  struct Case {
    const char* what;
    Interest interest;
    bool peer_sends;
    bool peer_closes;
    bool peer_resets;
    bool readable;
    bool writable;
  };
  const Case cases[] = {
      {"readable, a byte came", kReadable, true, false, false, true, false},
      {"readable, the peer closed", kReadable, false, true, false, true, false},
      {"readable, the peer reset", kReadable, false, true, true, true, true},
      {"writable, room to send", kWritable, false, false, false, false, true},
      {"writable, a byte came too", kWritable, true, false, false, false, true},
      {"both, a byte came", kReadable | kWritable, true, false, false, true, true},
  };
  for (const Case& c : cases) {
    Readiness readiness;
    Pair pair;
    connect_pair(pair);
    constexpr std::size_t kKey = 4242;
    ASSERT_TRUE(readiness.add(pair.mine, c.interest, kKey)) << c.what;
    maybe_wait_a_while(readiness);
    if (c.peer_sends) send_byte(pair.peer);
    if (c.peer_resets) {
      // Closing with bytes unread makes the system reset the connection.
      send_byte(pair.mine);
      WSAPOLLFD arrived{};
      arrived.fd = pair.peer;
      arrived.events = POLLRDNORM;
      ASSERT_EQ(WSAPoll(&arrived, 1, kBoundMs), 1) << c.what;
    }
    if (c.peer_closes) {
      closesocket(pair.peer);
      pair.peer = INVALID_SOCKET;
    }
    const ReadyEvent event = wait_for_key(readiness, kKey);
    EXPECT_EQ(event.key, kKey) << c.what;
    EXPECT_EQ(event.readable, c.readable) << c.what;
    // A socket the peer closed may also show as writable; only "readable" is asked of it.
    if (!c.peer_closes || c.peer_resets) {
      EXPECT_EQ(event.writable, c.writable) << c.what;
    }
  }
}

TEST_P(PlatformReadiness, ASocketNotReadyForWhatItWaitsForIsNotReported) {
  Readiness readiness;
  Pair quiet, sentinel;
  connect_pair(quiet);
  connect_pair(sentinel);
  ASSERT_TRUE(readiness.add(quiet.mine, kReadable, 1));
  ASSERT_TRUE(readiness.add(sentinel.mine, kReadable, 2));
  maybe_wait_a_while(readiness);
  send_byte(sentinel.peer);
  EXPECT_FALSE(reported_beside(readiness, 1, 2));
}

TEST_P(PlatformReadiness, AChangeTakesEffectAtOnceWithItsNewKey) {
  Readiness readiness;
  Pair pair;
  connect_pair(pair);
  ASSERT_TRUE(readiness.add(pair.mine, kReadable, 1));
  maybe_wait_a_while(readiness);
  readiness.change(pair.mine, kWritable, 7);
  const ReadyEvent event = wait_for_key(readiness, 7);
  EXPECT_EQ(event.key, 7u);
  EXPECT_TRUE(event.writable);
  EXPECT_FALSE(event.readable);

  // And back: waiting to read again, a writable but silent socket is not reported.
  Pair sentinel;
  connect_pair(sentinel);
  ASSERT_TRUE(readiness.add(sentinel.mine, kReadable, 9));
  readiness.change(pair.mine, kReadable, 8);
  maybe_wait_a_while(readiness);
  send_byte(sentinel.peer);
  EXPECT_FALSE(reported_beside(readiness, 8, 9));
  EXPECT_FALSE(reported_beside(readiness, 7, 9));
}

TEST_P(PlatformReadiness, ARemovedSocketIsNeverReportedAndStaysOpen) {
  Readiness readiness;
  Pair removed, sentinel;
  connect_pair(removed);
  connect_pair(sentinel);
  ASSERT_TRUE(readiness.add(removed.mine, kReadable, 0));
  ASSERT_TRUE(readiness.add(sentinel.mine, kReadable, 2));
  maybe_wait_a_while(readiness);
  readiness.remove(removed.mine);
  send_byte(removed.peer);
  send_byte(sentinel.peer);
  EXPECT_FALSE(reported_beside(readiness, 0, 2));
  char byte = 0;
  EXPECT_EQ(recv(removed.mine, &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'x');
  // It can be registered again, and is then reported.
  ASSERT_TRUE(readiness.add(removed.mine, kWritable, 3));
  EXPECT_EQ(wait_for_key(readiness, 3).key, 3u);
}

TEST_P(PlatformReadiness, AClosedSocketIsNeverReportedAndItsPeerSeesTheEnd) {
  Readiness readiness;
  Pair closed, sentinel;
  connect_pair(closed);
  connect_pair(sentinel);
  ASSERT_TRUE(readiness.add(closed.mine, kReadable, 0));
  ASSERT_TRUE(readiness.add(sentinel.mine, kReadable, 2));
  maybe_wait_a_while(readiness);
  readiness.close_socket(closed.mine);
  closed.mine = INVALID_SOCKET;
  send_byte(sentinel.peer);
  EXPECT_FALSE(reported_beside(readiness, 0, 2));
  char byte = 0;
  EXPECT_EQ(recv(closed.peer, &byte, 1, 0), 0);
}

TEST_P(PlatformReadiness, EveryReadySocketIsReportedHoweverLongItWaited) {
  Readiness readiness;
  constexpr std::size_t kCount = 20;
  std::vector<Pair> pairs(kCount);
  // The first half registered before the while, the second after it.
  for (std::size_t i = 0; i < kCount; ++i) {
    if (i == kCount / 2) maybe_wait_a_while(readiness);
    connect_pair(pairs[i]);
    ASSERT_TRUE(readiness.add(pairs[i].mine, kReadable, 100 + i));
  }
  for (std::size_t i = 0; i < kCount; ++i) send_byte(pairs[i].peer);
  std::vector<bool> seen(kCount, false);
  const auto seen_count = [&] {
    return static_cast<std::size_t>(std::count(seen.begin(), seen.end(), true));
  };
  std::vector<ReadyEvent> ready;
  // Bounded: each wait takes at most a tenth of the bound.
  for (int waits = 0; waits < 10 && seen_count() < kCount; ++waits) {
    if (!readiness.wait(ready, kBoundMs / 10)) continue;
    for (const ReadyEvent& event : ready) {
      ASSERT_GE(event.key, 100u);
      ASSERT_LT(event.key, 100 + kCount);
      seen[event.key - 100] = true;
    }
  }
  EXPECT_EQ(seen_count(), kCount);
}

INSTANTIATE_TEST_SUITE_P(FreshOrAfterAWhile, PlatformReadiness, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "AfterWaitingAWhile" : "AtOnce";
                         });

}  // namespace
}  // namespace dirhttp
