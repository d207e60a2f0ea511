#include "server/connection_loop.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/file_io.h"
#include "platform/net.h"
#include "server/connection.h"

namespace dirhttp {
namespace {

// Accepting pauses this long when descriptors or memory run out, so the open connections can
// finish and release some.
constexpr std::chrono::milliseconds kExhaustionPause{50};
// Connections accepted per wake-up at most, so a flood of newcomers cannot starve the open ones.
constexpr int kAcceptsPerWake = 16;

// A connection's stream over its non-blocking socket.
class SocketStream : public Stream {
 public:
  SocketStream(SOCKET socket, std::vector<char>& scratch) : socket_(socket), scratch_(scratch) {}
  Transfer receive(char* data, std::size_t size) override {
    return receive_now(socket_, data, size);
  }
  Transfer send(const char* data, std::size_t size) override {
    return send_now(socket_, data, size);
  }
  Transfer send_file(InputFile& file, std::uint64_t offset, std::uint64_t count,
                     std::uint64_t already_sent) override {
    return send_file_now(socket_, file, offset, count, already_sent, scratch_);
  }
  void end_sending() override { shutdown(socket_, SD_SEND); }
  void set_reset_on_close(bool abortive) override {
    dirhttp::set_reset_on_close(socket_, abortive);
  }

 private:
  SOCKET socket_;
  std::vector<char>& scratch_;
};

// Milliseconds from `now` until `when`, rounded up so the wake-up never comes just before it.
int milliseconds_until(Clock::time_point when, Clock::time_point now) {
  if (when <= now) return 0;
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count() + 1);
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

bool waits_for_request(const Connection& connection) {
  return connection.phase == Phase::kReceiving;
}

struct Loop {
  SOCKET listener;
  const std::string& document_root;
  std::size_t capacity;
  std::vector<Connection> connections;  // in the order they were accepted
  std::vector<WSAPOLLFD> fds;
  std::vector<char> buffer;
  Clock::time_point accept_resumes;
};

void step(Loop& loop, Connection& connection, Clock::time_point now) {
  SocketStream stream(connection.socket, loop.buffer);
  advance(connection, stream, loop.document_root, now, loop.buffer);
}

// Whether to watch the listening socket: there is room, or a connection still waiting for its
// request can make room. When every connection is sending, newcomers wait in the backlog.
bool may_accept(const Loop& loop, Clock::time_point now) {
  if (now < loop.accept_resumes) return false;
  return loop.connections.size() < loop.capacity ||
         std::any_of(loop.connections.begin(), loop.connections.end(), waits_for_request);
}

// Accepts what is pending, moving each newcomer on at once (its request has often arrived with
// it). Returns 0, or the error when it leaves the listening socket unusable.
int accept_pending(Loop& loop, Clock::time_point now) {
  for (int i = 0; i < kAcceptsPerWake && may_accept(loop, now); ++i) {
    int error = 0;
    const SOCKET client = accept_nonblocking(loop.listener, &error);
    if (client == INVALID_SOCKET) {
      if (error_would_block(error)) return 0;
      std::printf("accept failed: %d\n", error);
      std::fflush(stdout);
      if (accept_error_is_fatal(error)) return error;
      if (accept_error_is_exhaustion(error)) loop.accept_resumes = now + kExhaustionPause;
      return 0;
    }
    if (loop.connections.size() >= loop.capacity) {
      // may_accept saw one waiting for its request: the oldest such one makes room.
      auto oldest = std::find_if(loop.connections.begin(), loop.connections.end(),
                                 waits_for_request);
      drop_connection(*oldest, WSAETIMEDOUT);
      closesocket(oldest->socket);
      loop.connections.erase(oldest);
    }
    loop.connections.push_back(accepted_connection(client, now));
    step(loop, loop.connections.back(), now);
    if (loop.connections.back().phase == Phase::kClosed) {
      closesocket(client);
      loop.connections.pop_back();
    }
  }
  return 0;
}

// The poll set: the listening socket first when accepting, then every connection. Returns the
// poll time-out in milliseconds: until the earliest deadline, or -1 when there is none.
int build_poll_set(Loop& loop, bool accepting, Clock::time_point now) {
  loop.fds.clear();
  WSAPOLLFD fd{};
  fd.fd = loop.listener;
  fd.events = POLLIN;
  if (accepting) loop.fds.push_back(fd);
  bool any_deadline = !accepting && now < loop.accept_resumes;
  Clock::time_point earliest = loop.accept_resumes;
  for (const Connection& connection : loop.connections) {
    fd.fd = connection.socket;
    fd.events = connection.phase == Phase::kSending ? POLLOUT : POLLIN;
    loop.fds.push_back(fd);
    const Clock::time_point when = deadline(connection);
    if (!any_deadline || when < earliest) earliest = when;
    any_deadline = true;
  }
  return any_deadline ? milliseconds_until(earliest, now) : -1;
}

}  // namespace

int serve_forever(SOCKET listener, const std::string& document_root) {
  make_nonblocking(listener);
  Loop loop{listener, document_root, connection_capacity(), {}, {}, {}, {}};
  loop.buffer.resize(kReceiveLimit);
  while (true) {
    Clock::time_point now = Clock::now();
    const bool accepting = may_accept(loop, now);
    const int timeout = build_poll_set(loop, accepting, now);
    int ready = poll_without_sleeping(loop.fds);
    if (ready == 0 && timeout != 0) {
      ready = WSAPoll(loop.fds.data(), static_cast<ULONG>(loop.fds.size()), timeout);
    }
    if (ready == SOCKET_ERROR) {
      // Only an interrupted or short-of-memory wait lands here; try again shortly.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }

    now = Clock::now();
    const std::size_t first = accepting ? 1 : 0;
    for (std::size_t i = 0; i < loop.connections.size(); ++i) {
      Connection& connection = loop.connections[i];
      if (loop.fds[first + i].revents != 0 || deadline(connection) <= now) {
        step(loop, connection, now);
      }
    }
    // Closed connections leave; the rest keep their order.
    for (const Connection& connection : loop.connections) {
      if (connection.phase == Phase::kClosed) closesocket(connection.socket);
    }
    loop.connections.erase(
        std::remove_if(loop.connections.begin(), loop.connections.end(),
                       [](const Connection& c) { return c.phase == Phase::kClosed; }),
        loop.connections.end());

    if (accepting && loop.fds[0].revents != 0) {
      if (const int error = accept_pending(loop, now)) {
        for (const Connection& connection : loop.connections) closesocket(connection.socket);
        return error;
      }
    }
  }
}

}  // namespace dirhttp
