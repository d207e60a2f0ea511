// The readiness set over WSAPoll: an array of the registered sockets, polled whole on each wait,
// so a wait costs in proportion to the registered sockets (at most the connection cap, 1,024,
// plus the listening socket). Sockets are found by an index kept beside the array, and a removed
// one is replaced by the last, so registering and removing cost the same whatever the count.
#include "platform/readiness.h"

#include <algorithm>
#include <thread>
#include <unordered_map>

namespace dirhttp {

struct Readiness::State {
  std::vector<WSAPOLLFD> fds;
  std::vector<std::size_t> keys;
  std::unordered_map<SOCKET, std::size_t> index;
  std::size_t next = 0;  // where the next wait starts reporting, so no socket is always last
};

namespace {

// The connection cap and the listening socket, with room to spare.
constexpr std::size_t kMostSockets = 1024 + 64;

SHORT events_for(Interest interest) {
  return static_cast<SHORT>(((interest & kReadable) ? POLLRDNORM : 0) |
                            ((interest & kWritable) ? POLLWRNORM : 0));
}

}  // namespace

Readiness::Readiness() : state_(std::make_unique<State>()) {}

Readiness::~Readiness() = default;

bool Readiness::add(SOCKET socket, Interest interest, std::size_t key) {
  State& s = *state_;
  if (s.fds.size() >= kMostSockets || s.index.count(socket) != 0) return false;
  WSAPOLLFD fd{};
  fd.fd = socket;
  fd.events = events_for(interest);
  s.index[socket] = s.fds.size();
  s.fds.push_back(fd);
  s.keys.push_back(key);
  return true;
}

void Readiness::change(SOCKET socket, Interest interest, std::size_t key) {
  State& s = *state_;
  const auto found = s.index.find(socket);
  if (found == s.index.end()) return;
  s.fds[found->second].events = events_for(interest);
  s.keys[found->second] = key;
}

void Readiness::remove(SOCKET socket) {
  State& s = *state_;
  const auto found = s.index.find(socket);
  if (found == s.index.end()) return;
  const std::size_t at = found->second;
  s.index.erase(found);
  if (at + 1 != s.fds.size()) {
    s.fds[at] = s.fds.back();
    s.keys[at] = s.keys.back();
    s.index[s.fds[at].fd] = at;
  }
  s.fds.pop_back();
  s.keys.pop_back();
}

void Readiness::close_socket(SOCKET socket) {
  remove(socket);
  closesocket(socket);
}

bool Readiness::wait(std::vector<ReadyEvent>& ready, int timeout_ms) {
  ready.clear();
  State& s = *state_;
  if (s.fds.empty()) {
    // WSAPoll refuses an empty array.
    if (timeout_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    return true;
  }
  const int n =
      WSAPoll(s.fds.data(), static_cast<ULONG>(s.fds.size()), timeout_ms < 0 ? -1 : timeout_ms);
  if (n == SOCKET_ERROR) return false;
  if (n == 0) return true;
  const std::size_t count = s.fds.size();
  const std::size_t start = s.next % count;
  for (std::size_t k = 0; k < count && ready.size() < kMostReadyPerWait; ++k) {
    const std::size_t i = (start + k) % count;
    const SHORT got = s.fds[i].revents;
    if (got == 0) continue;
    const bool failed = (got & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    ready.push_back(ReadyEvent{s.keys[i], failed || (got & POLLRDNORM) != 0,
                               failed || (got & POLLWRNORM) != 0});
    s.next = i + 1;
  }
  return true;
}

}  // namespace dirhttp
