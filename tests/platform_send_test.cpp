// Sending a file's bytes to a socket: every byte once, in order, whatever went out before them.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

}  // namespace
}  // namespace dirhttp
