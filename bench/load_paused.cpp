// Paused downloads: clients that ask for a large file with a small receive buffer, read its
// first bytes and then stop reading, as a paused video or a sleeping laptop does.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "bench/load_client.h"

namespace dirhttp_bench {
namespace {

constexpr std::size_t kFirstBytes = 4096;

// A connected socket that has sent REQUEST, or -1. The receive buffer is set before connecting
// so that the advertised window is small from the start.
int open_download(int port, const std::string& request, int receive_buffer, Clock::duration bound) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
  const long long us = std::chrono::duration_cast<std::chrono::microseconds>(bound).count();
  const timeval limit{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  const sockaddr_in address = loopback_address(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size())) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads the first bytes of every download, once each, within BOUND in all; returns how many
// got some. A server that serves one client at a time leaves the others waiting here.
int read_first_bytes(const std::vector<int>& fds, Clock::duration bound) {
  std::vector<pollfd> waiting;
  for (int fd : fds) waiting.push_back(pollfd{fd, POLLIN, 0});
  std::vector<char> buffer(kFirstBytes);
  int started = 0;
  const Clock::time_point end = Clock::now() + bound;
  // Bounded by END and by each socket being read once.
  while (!waiting.empty() && Clock::now() < end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (poll(waiting.data(), waiting.size(), static_cast<int>(left.count()) + 1) < 0 &&
        errno != EINTR) {
      break;
    }
    for (pollfd& p : waiting) {
      if (p.revents == 0) continue;
      if (recv(p.fd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) ++started;
      p.fd = -1;
    }
    waiting.erase(
        std::remove_if(waiting.begin(), waiting.end(), [](const pollfd& p) { return p.fd < 0; }),
        waiting.end());
  }
  return started;
}

}  // namespace

PausedDownloads::PausedDownloads(int port, const std::string& request, int count,
                                 int receive_buffer, Clock::duration bound) {
  for (int i = 0; i < count; ++i) {
    const int fd = open_download(port, request, receive_buffer, bound);
    if (fd >= 0) fds_.push_back(fd);
  }
  started_ = read_first_bytes(fds_, bound);
}

PausedDownloads::~PausedDownloads() { close_all(); }

void PausedDownloads::close_all() {
  for (int fd : fds_) close(fd);
  fds_.clear();
}

}  // namespace dirhttp_bench
