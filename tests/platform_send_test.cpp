// Sending a file's bytes to a socket: every byte once, in order, whatever went out before them.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_io.h"
#include "platform/net.h"
#include "tests/temp_tree.h"

namespace dirhttp {
namespace {

constexpr std::uint64_t kPiece = 256 * 1024;

// Bytes that differ at every offset within a piece, so a skipped or repeated stretch shows.
std::string pattern_bytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return bytes;
}

// Sends `count` bytes of the file from its start over a non-blocking socket pair, as the serving
// loop does (waiting for room whenever the socket is full), and returns what arrived. `outcome` is
// how the last call ended.
std::string send_through_socket(const std::string& path, std::uint64_t count,
                                std::uint64_t already_sent, Transfer::Outcome* outcome) {
  int pair[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    ssize_t n;
    while ((n = read(pair[1], buffer, sizeof(buffer))) > 0) received.append(buffer, n);
  });
  make_nonblocking(pair[0]);
  InputFile file = open_regular_file(path);
  EXPECT_TRUE(file.is_open());
  std::vector<char> scratch(64 * 1024);
  std::uint64_t sent = 0;
  Transfer put{Transfer::kMoved, 0, 0};
  // Bounded: every round either moves a byte or waits up to a second for room.
  for (int rounds = 0; sent < count && rounds < 100000; ++rounds) {
    put = send_file_now(pair[0], file, sent, count - sent, already_sent, scratch);
    if (put.outcome == Transfer::kMoved) {
      sent += put.bytes;
    } else if (put.outcome == Transfer::kWouldBlock) {
      pollfd writable{pair[0], POLLOUT, 0};
      poll(&writable, 1, 1000);
    } else {
      break;
    }
  }
  *outcome = put.outcome;
  close(pair[0]);
  reader.join();
  close(pair[1]);
  return received;
}

TEST(PlatformSend, EveryByteArrivesOnceWhereverThePiecesAreCut) {
  TempTree tree;
  const std::string content = pattern_bytes(3 * kPiece + 1234);
  tree.write("big.bin", content);
  const std::string path = tree.root() + "\\big.bin";
  struct Case {
    std::uint64_t count;
    std::uint64_t already_sent;
  };
  const Case cases[] = {
      {content.size(), 0},           // the body starts on a piece boundary
      {content.size(), 56},          // a typical header before it
      {content.size(), kPiece - 1},  // one byte to the first boundary
      {content.size(), kPiece},      // a whole piece before it
      {content.size(), 5 * kPiece + 17},
      {kPiece + 3, 56},  // fewer bytes than the file holds
      {1, kPiece - 1},
  };
  for (const Case& c : cases) {
    Transfer::Outcome outcome;
    const std::string received = send_through_socket(path, c.count, c.already_sent, &outcome);
    EXPECT_EQ(outcome, Transfer::kMoved) << c.count << " after " << c.already_sent;
    EXPECT_TRUE(received == content.substr(0, c.count))
        << c.count << " after " << c.already_sent << ": got " << received.size() << " bytes";
  }
}

TEST(PlatformSend, AFileShorterThanAskedEndsTheBody) {
  TempTree tree;
  tree.write("small.bin", "0123456789");
  Transfer::Outcome outcome;
  EXPECT_EQ(send_through_socket(tree.root() + "\\small.bin", kPiece, 56, &outcome), "0123456789");
  EXPECT_EQ(outcome, Transfer::kEnded);
}

TEST(PlatformSend, AReadErrorPartWayIsToldFromTheEnd) {
  // A file whose reads fail after five bytes: a non-blocking pipe that holds only those.
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  ASSERT_EQ(write(pipe_ends[1], "01234", 5), 5);
  make_nonblocking(pipe_ends[0]);
  InputFile file(pipe_ends[0], 10);
  std::string bytes = "pre";
  EXPECT_FALSE(append_file_bytes(file, 10, bytes));
  EXPECT_EQ(bytes, "pre01234");
  close(pipe_ends[1]);
  // At the end of the file no read failed.
  TempTree tree;
  tree.write("short.txt", "abc");
  InputFile short_file = open_regular_file(tree.root() + "\\short.txt");
  bytes.clear();
  EXPECT_TRUE(append_file_bytes(short_file, 10, bytes));
  EXPECT_EQ(bytes, "abc");
}

// How a TCP connection over loopback ends when the server side closes after sending `data` with
// the reset armed (and then, with `cleared`, disarmed): the bytes the client read and whether it
// saw a reset rather than an orderly end.
struct Ending {
  std::string received;
  bool reset;
};
Ending close_after(const std::string& data, bool armed, bool cleared) {
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  socklen_t length = sizeof(address);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  listen(listener, 1);
  const SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  const SOCKET served = accept(listener, nullptr, nullptr);
  if (armed) set_reset_on_close(served, true);
  if (cleared) set_reset_on_close(served, false);
  EXPECT_EQ(send(served, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
  closesocket(served);
  Ending ending{"", false};
  timeval bound{10, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
  char buffer[4096];
  for (int reads = 0; reads < 1000; ++reads) {
    const ssize_t n = recv(client, buffer, sizeof(buffer), 0);
    if (n > 0) {
      ending.received.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    ending.reset = n < 0 && errno == ECONNRESET;
    break;
  }
  close(client);
  close(listener);
  return ending;
}

TEST(PlatformSend, TheCloseResetsOnlyWhileArmed) {
  const std::string data = pattern_bytes(100000);
  const Ending orderly = close_after(data, false, false);
  EXPECT_FALSE(orderly.reset);
  EXPECT_TRUE(orderly.received == data);
  const Ending aborted = close_after(data, true, false);
  EXPECT_TRUE(aborted.reset);
  const Ending cleared = close_after(data, true, true);
  EXPECT_FALSE(cleared.reset);
  EXPECT_TRUE(cleared.received == data);
}

}  // namespace
}  // namespace dirhttp
