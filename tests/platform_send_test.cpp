// Sending a file's bytes to a socket: every byte once, in order, whatever went out before them.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>

#include "platform/file_io.h"
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

// Sends `count` bytes of the file from its start over a socket pair and returns what arrived.
std::string send_through_socket(const std::string& path, std::uint64_t count,
                                std::uint64_t already_sent, int* result) {
  int pair[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    ssize_t n;
    while ((n = read(pair[1], buffer, sizeof(buffer))) > 0) received.append(buffer, n);
  });
  InputFile file = open_regular_file(path);
  EXPECT_TRUE(file.is_open());
  *result = send_file_bytes(pair[0], file, count, already_sent);
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
    int result = -1;
    const std::string received = send_through_socket(path, c.count, c.already_sent, &result);
    EXPECT_EQ(result, 0) << c.count << " after " << c.already_sent;
    EXPECT_TRUE(received == content.substr(0, c.count))
        << c.count << " after " << c.already_sent << ": got " << received.size() << " bytes";
  }
}

TEST(PlatformSend, AFileShorterThanAskedEndsTheBody) {
  TempTree tree;
  tree.write("small.bin", "0123456789");
  int result = -1;
  EXPECT_EQ(send_through_socket(tree.root() + "\\small.bin", kPiece, 56, &result), "0123456789");
  EXPECT_EQ(result, 0);
}

}  // namespace
}  // namespace dirhttp
