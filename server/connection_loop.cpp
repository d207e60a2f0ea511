#include "server/connection_loop.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "server/connection.h"

namespace dirhttp {
namespace {

using Clock = std::chrono::steady_clock;

struct Waiting {
  SOCKET socket;
  Clock::time_point deadline;
};

// Milliseconds until the earliest deadline, or -1 (wait for ever) when nothing waits.
int poll_timeout(const std::vector<Waiting>& waiting, Clock::time_point now) {
  if (waiting.empty()) return -1;
  Clock::time_point earliest = waiting.front().deadline;
  for (const Waiting& w : waiting) earliest = std::min(earliest, w.deadline);
  if (earliest <= now) return 0;
  // Round up so that the wake-up never comes just before the deadline.
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(earliest - now).count() + 1);
}

// Accepts one connection into `waiting`. Returns 0, or the error when it leaves the listening
// socket unusable.
int accept_one(SOCKET listener, std::vector<Waiting>& waiting) {
  const SOCKET client = accept(listener, nullptr, nullptr);
  if (client == INVALID_SOCKET) {
    const int error = WSAGetLastError();
    std::printf("accept failed: %d\n", error);
    std::fflush(stdout);
    if (accept_error_is_fatal(error)) return error;
    // Out of descriptors or memory: give the served connections a moment to release some.
    if (accept_error_is_exhaustion(error)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
  }
  if (waiting.size() == kMaxWaiting) {
    drop_connection(waiting.front().socket, WSAETIMEDOUT);
    waiting.erase(waiting.begin());
  }
  waiting.push_back({client, Clock::now() + std::chrono::milliseconds(kIdleTimeoutMs)});
  return 0;
}

// Polls `fds` without sleeping until one is ready or kSpinMicroseconds pass. Returns what the
// last poll returned: the number ready, 0 when none became ready, or SOCKET_ERROR.
int poll_without_sleeping(std::vector<WSAPOLLFD>& fds) {
  const Clock::time_point end = Clock::now() + std::chrono::microseconds(kSpinMicroseconds);
  while (true) {
    const int ready = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), 0);
    if (ready != 0 || Clock::now() >= end) return ready;
    std::this_thread::yield();
  }
}

}  // namespace

int serve_forever(SOCKET listener, const std::string& document_root) {
  // Accepted sockets inherit the send time-out, so it is set once here, not per connection.
  set_send_timeout(listener, kSendTimeoutMs);
  std::vector<char> buffer(kReceiveLimit);
  std::vector<Waiting> waiting;
  std::vector<WSAPOLLFD> poll_fds;
  while (true) {
    poll_fds.assign(1, WSAPOLLFD{});
    poll_fds[0].fd = listener;
    poll_fds[0].events = POLLIN;
    for (const Waiting& w : waiting) {
      WSAPOLLFD fd{};
      fd.fd = w.socket;
      fd.events = POLLIN;
      poll_fds.push_back(fd);
    }
    int ready = poll_without_sleeping(poll_fds);
    // With nothing waiting, only the listening socket can become ready: accept blocks for it.
    if (waiting.empty()) {
      if (const int error = accept_one(listener, waiting)) return error;
      continue;
    }
    if (ready == 0) {
      ready = WSAPoll(poll_fds.data(), static_cast<ULONG>(poll_fds.size()),
                      poll_timeout(waiting, Clock::now()));
    }
    if (ready == SOCKET_ERROR) {
      // Only an interrupted or short-of-memory wait lands here; try again shortly.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }

    // Serve every connection whose bytes (or end) have arrived, in the order they were accepted.
    std::vector<Waiting> still_waiting;
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      if (poll_fds[i + 1].revents != 0) {
        serve_connection(waiting[i].socket, document_root, buffer);
      } else if (waiting[i].deadline <= now) {
        drop_connection(waiting[i].socket, WSAETIMEDOUT);
      } else {
        still_waiting.push_back(waiting[i]);
      }
    }
    waiting.swap(still_waiting);

    if (poll_fds[0].revents == 0) continue;
    if (const int error = accept_one(listener, waiting)) {
      for (const Waiting& w : waiting) closesocket(w.socket);
      return error;
    }
  }
}

}  // namespace dirhttp
