#include "server/connection_loop.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/file_io.h"
#include "platform/net.h"
#include "platform/readiness.h"
#include "server/connection.h"
#include "server/deadline_order.h"

namespace dirhttp {
namespace {

// Accepting pauses this long when descriptors or memory run out, so the open connections can
// finish and release some.
constexpr std::chrono::milliseconds kExhaustionPause{50};
// Connections accepted per wake-up at most, so a flood of newcomers cannot starve the open ones.
constexpr int kAcceptsPerWake = 16;
// Slots kept when every connection has closed; the storage of more is given back, so a burst of
// thousands of connections leaves no memory held after it.
constexpr std::size_t kSlotsKeptWhenIdle = 64;

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

// The listening socket's key in the readiness set; connections are keyed by their slot.
constexpr std::size_t kListenerKey = ~std::size_t{0};

// Looks for ready sockets without sleeping until one is ready or kSpinMicroseconds pass.
// Returns what the last look returned (false: it failed).
bool look_without_sleeping(Readiness& readiness, std::vector<ReadyEvent>& ready) {
  const Clock::time_point end = Clock::now() + std::chrono::microseconds(kSpinMicroseconds);
  while (true) {
    const bool looked = readiness.wait(ready, 0);
    if (!looked || !ready.empty() || Clock::now() >= end) return looked;
    std::this_thread::yield();
  }
}

// One connection's place: the connection and what its socket is registered for (0: not yet
// registered; it is registered only once it must wait).
struct Slot {
  Connection connection;
  Interest registered = 0;
};

struct Loop {
  Loop(SOCKET listener_socket, const std::string& root, std::size_t cap)
      : listener(listener_socket), document_root(root), capacity(cap) {}

  SOCKET listener;
  const std::string& document_root;
  std::size_t capacity;
  // Slots keep their place while others close: a closed one goes on the free list for the
  // next newcomer.
  std::vector<Slot> slots;
  std::vector<std::size_t> free_slots;
  std::size_t open = 0;
  // The connections waiting for their request, in the order of their accept: the first gives
  // way at the cap.
  TimeOrder waiting;
  DeadlineOrder deadlines;
  Readiness readiness;
  bool listener_watched = false;
  std::vector<ReadyEvent> ready;
  std::vector<std::size_t> due;
  std::vector<char> buffer;
  Clock::time_point accept_resumes;
};

// Closes the connection in `slot` and frees the slot.
void release(Loop& loop, std::size_t slot) {
  Slot& place = loop.slots[slot];
  loop.deadlines.set(slot, Timing{Timing::kNone, {}});
  loop.waiting.remove(slot);
  if (place.registered != 0) {
    loop.readiness.close_socket(place.connection.socket);
  } else {
    closesocket(place.connection.socket);
  }
  place = Slot();
  loop.free_slots.push_back(slot);
  --loop.open;
}

// After a step: the connection's deadline, its place among those waiting for their request and
// what its socket waits for follow its phase; a closed one leaves.
void settle(Loop& loop, std::size_t slot) {
  Slot& place = loop.slots[slot];
  const Connection& connection = place.connection;
  if (connection.phase == Phase::kClosed) {
    release(loop, slot);
    return;
  }
  loop.deadlines.set(slot, timing_of(connection));
  if (connection.phase != Phase::kReceiving) loop.waiting.remove(slot);
  // Every step moves what the socket allows, so an open connection now waits for its socket.
  const Interest wanted = connection.phase == Phase::kSending ? kWritable : kReadable;
  if (place.registered == wanted) return;
  if (place.registered != 0) {
    loop.readiness.change(connection.socket, wanted, slot);
  } else if (!loop.readiness.add(connection.socket, wanted, slot)) {
    // Only a shortage of memory lands here: a connection that cannot be watched is given up.
    release(loop, slot);
    return;
  }
  place.registered = wanted;
}

void step(Loop& loop, std::size_t slot, Clock::time_point now) {
  Connection& connection = loop.slots[slot].connection;
  SocketStream stream(connection.socket, loop.buffer);
  advance(connection, stream, loop.document_root, now, loop.buffer);
  settle(loop, slot);
}

// Whether to accept: there is room, or a connection still waiting for its request can make
// room. When every connection is sending or draining, newcomers wait in the backlog.
bool may_accept(const Loop& loop, Clock::time_point now) {
  if (now < loop.accept_resumes) return false;
  return loop.open < loop.capacity || !loop.waiting.empty();
}

// Watches the listening socket exactly while the loop may accept.
void watch_listener(Loop& loop, Clock::time_point now) {
  const bool wanted = may_accept(loop, now);
  if (wanted == loop.listener_watched) return;
  if (wanted) {
    loop.listener_watched = loop.readiness.add(loop.listener, kReadable, kListenerKey);
  } else {
    loop.readiness.remove(loop.listener);
    loop.listener_watched = false;
  }
}

// With no connection open, gives back the storage that a burst of connections left.
void shrink_when_idle(Loop& loop) {
  if (loop.open != 0 || loop.slots.size() <= kSlotsKeptWhenIdle) return;
  std::vector<Slot>().swap(loop.slots);
  std::vector<std::size_t>().swap(loop.free_slots);
  loop.waiting = TimeOrder();
  loop.deadlines = DeadlineOrder();
}

std::size_t take_slot(Loop& loop) {
  ++loop.open;
  if (loop.free_slots.empty()) {
    loop.slots.emplace_back();
    return loop.slots.size() - 1;
  }
  const std::size_t slot = loop.free_slots.back();
  loop.free_slots.pop_back();
  return slot;
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
    if (loop.open >= loop.capacity) {
      // may_accept saw one waiting for its request: the oldest such one makes room.
      const std::size_t oldest = loop.waiting.first();
      drop_connection(loop.slots[oldest].connection, WSAETIMEDOUT);
      release(loop, oldest);
    }
    const std::size_t slot = take_slot(loop);
    loop.slots[slot].connection = accepted_connection(client, now);
    loop.waiting.insert(slot, now);
    step(loop, slot, now);
  }
  return 0;
}

// The wait's time-out in milliseconds: until the earliest deadline or the end of an accept
// pause, or -1 when there is neither.
int wait_timeout(const Loop& loop, Clock::time_point now) {
  Clock::time_point earliest = loop.deadlines.earliest();
  if (now < loop.accept_resumes) earliest = std::min(earliest, loop.accept_resumes);
  return earliest == Clock::time_point::max() ? -1 : milliseconds_until(earliest, now);
}

}  // namespace

int serve_forever(SOCKET listener, const std::string& document_root) {
  make_nonblocking(listener);
  Loop loop(listener, document_root, connection_capacity());
  loop.buffer.resize(kReceiveLimit);
  while (true) {
    shrink_when_idle(loop);
    Clock::time_point now = Clock::now();
    watch_listener(loop, now);
    const int timeout = wait_timeout(loop, now);
    bool looked = look_without_sleeping(loop.readiness, loop.ready);
    if (looked && loop.ready.empty() && timeout != 0)
      looked = loop.readiness.wait(loop.ready, timeout);
    if (!looked) {
      // Only an interrupted or short-of-memory wait lands here; try again shortly.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }

    now = Clock::now();
    bool accept_ready = false;
    for (const ReadyEvent& event : loop.ready) {
      if (event.key == kListenerKey) {
        accept_ready = true;
      } else {
        step(loop, event.key, now);
      }
    }
    // Only the heads of the deadline lists can be due; each due step ends its phase.
    loop.due.clear();
    loop.deadlines.collect_due(now, loop.due);
    for (const std::size_t slot : loop.due) step(loop, slot, now);

    if (accept_ready) {
      if (const int error = accept_pending(loop, now)) {
        for (std::size_t slot = 0; slot < loop.slots.size(); ++slot) {
          if (loop.slots[slot].connection.socket != INVALID_SOCKET) release(loop, slot);
        }
        return error;
      }
    }
  }
}

}  // namespace dirhttp
