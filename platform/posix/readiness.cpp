// The readiness set over poll and epoll. A socket is first watched by looking (poll), which
// costs no system call to add, change or drop it; one that waits longer than kLookTime without
// becoming ready moves to the kernel's ready list (epoll), where it costs nothing per wait, and
// comes back to be looked at after the ready list reports it. So a wait costs in proportion to
// the sockets that were ready lately, a short-lived connection (most of them) costs no call to
// register, and idle ones cost one each. Level-triggered throughout: a socket stays reported
// while it is ready, so a caller that moves only part of what is ready loses nothing.
#include "platform/readiness.h"

#include <errno.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace dirhttp {
namespace {

using LookClock = std::chrono::steady_clock;

// How long a socket is looked at without being ready before it moves to the ready list.
constexpr std::chrono::milliseconds kLookTime{2};
// Descriptors whose watch records are kept however few are registered.
constexpr std::size_t kWatchesKept = 1024;

// Where a registered socket is watched.
enum class Place : unsigned char { kNone, kLooked, kListed };

struct Watch {
  Place place = Place::kNone;
  Interest interest = 0;
  std::size_t key = 0;
  std::size_t index = 0;        // in the looked-at array, while looked at
  LookClock::time_point since;  // looked at: when it was added or last ready
};

short poll_events(Interest interest) {
  return static_cast<short>(((interest & kReadable) ? POLLIN : 0) |
                            ((interest & kWritable) ? POLLOUT : 0));
}

epoll_event epoll_event_for(Interest interest, int socket) {
  epoll_event event{};
  event.events = ((interest & kReadable) ? EPOLLIN : 0u) | ((interest & kWritable) ? EPOLLOUT : 0u);
  event.data.fd = socket;
  return event;
}

}  // namespace

struct Readiness::State {
  int epoll = -1;
  // The looked-at sockets, after the epoll descriptor itself (readable when the list has some).
  std::vector<pollfd> looked;
  std::vector<Watch> watches;  // by descriptor
  std::vector<epoll_event> events;
  std::vector<int> reported;  // listed sockets the last wait reported
  std::size_t listed = 0;     // sockets on the ready list
  std::size_t registered = 0;

  // Gives back the storage of descriptors far above every registered one (a burst of
  // connections that has ended).
  void shrink() {
    if (watches.size() <= kWatchesKept || registered * 4 > watches.size()) return;
    std::size_t end = watches.size();
    while (end > 0 && watches[end - 1].place == Place::kNone) --end;
    watches.resize(std::max(end, kWatchesKept));
    watches.shrink_to_fit();
    looked.shrink_to_fit();
    reported.shrink_to_fit();
  }

  Watch& watch(int socket) {
    if (static_cast<std::size_t>(socket) >= watches.size()) watches.resize(socket + 1);
    return watches[socket];
  }

  void look_at(int socket, LookClock::time_point now) {
    Watch& w = watch(socket);
    w.place = Place::kLooked;
    w.index = looked.size();
    w.since = now;
    looked.push_back(pollfd{socket, poll_events(w.interest), 0});
  }

  void stop_looking(int socket) {
    const std::size_t at = watches[socket].index;
    if (at + 1 != looked.size()) {
      looked[at] = looked.back();
      watches[looked[at].fd].index = at;
    }
    looked.pop_back();
  }

  // Moves a looked-at socket to the ready list; false when the kernel refused it.
  bool list(int socket) {
    Watch& w = watches[socket];
    epoll_event event = epoll_event_for(w.interest, socket);
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, socket, &event) != 0) return false;
    stop_looking(socket);
    w.place = Place::kListed;
    ++listed;
    return true;
  }

  void report(int socket, bool readable, bool writable, bool failed,
              std::vector<ReadyEvent>& ready) {
    ready.push_back(ReadyEvent{watches[socket].key, failed || readable, failed || writable});
  }
};

Readiness::Readiness() : state_(std::make_unique<State>()) {
  state_->epoll = epoll_create1(EPOLL_CLOEXEC);
  state_->looked.push_back(pollfd{state_->epoll, POLLIN, 0});
  state_->events.resize(kMostReadyPerWait);
}

Readiness::~Readiness() {
  if (state_->epoll >= 0) close(state_->epoll);
}

bool Readiness::add(SOCKET socket, Interest interest, std::size_t key) {
  if (socket < 0) return false;
  Watch& w = state_->watch(socket);
  if (w.place != Place::kNone) return false;
  w.interest = interest;
  w.key = key;
  state_->look_at(socket, LookClock::now());
  ++state_->registered;
  return true;
}

void Readiness::change(SOCKET socket, Interest interest, std::size_t key) {
  Watch& w = state_->watch(socket);
  w.key = key;
  if (w.interest == interest) return;
  w.interest = interest;
  if (w.place == Place::kLooked) {
    state_->looked[w.index].events = poll_events(interest);
  } else if (w.place == Place::kListed) {
    epoll_event event = epoll_event_for(interest, socket);
    epoll_ctl(state_->epoll, EPOLL_CTL_MOD, socket, &event);
  }
}

void Readiness::remove(SOCKET socket) {
  Watch& w = state_->watch(socket);
  if (w.place != Place::kNone) --state_->registered;
  if (w.place == Place::kLooked) state_->stop_looking(socket);
  if (w.place == Place::kListed) {
    epoll_ctl(state_->epoll, EPOLL_CTL_DEL, socket, nullptr);
    --state_->listed;
  }
  w = Watch();
}

void Readiness::close_socket(SOCKET socket) {
  Watch& w = state_->watch(socket);
  if (w.place != Place::kNone) --state_->registered;
  if (w.place == Place::kLooked) state_->stop_looking(socket);
  if (w.place == Place::kListed) --state_->listed;
  // Closing the descriptor takes it off the ready list: the program never duplicates a socket.
  w = Watch();
  close(socket);
}

bool Readiness::wait(std::vector<ReadyEvent>& ready, int timeout_ms) {
  ready.clear();
  State& s = *state_;
  const LookClock::time_point now = LookClock::now();
  // A listed socket the last wait reported is likely to be busy again soon: looked at again.
  for (const int socket : s.reported) {
    Watch& w = s.watches[socket];
    if (w.place != Place::kListed) continue;  // closed or removed since
    epoll_ctl(s.epoll, EPOLL_CTL_DEL, socket, nullptr);
    --s.listed;
    s.look_at(socket, now);
  }
  s.reported.clear();
  s.shrink();
  // One that has waited long enough goes to the ready list (the array shrinks from its end).
  for (std::size_t i = s.looked.size(); i-- > 1;) {
    const int socket = s.looked[i].fd;
    if (now - s.watches[socket].since >= kLookTime) s.list(socket);
  }

  int listed = 0;
  if (s.looked.size() == 1) {
    // Nothing to look at: the ready list alone.
    listed = epoll_wait(s.epoll, s.events.data(), static_cast<int>(s.events.size()),
                        timeout_ms < 0 ? -1 : timeout_ms);
    if (listed < 0) return false;
  } else {
    // The epoll descriptor is looked at too only while the ready list holds some socket.
    const std::size_t skip = s.listed == 0 ? 1 : 0;
    s.looked[0].revents = 0;
    const int n =
        poll(s.looked.data() + skip, s.looked.size() - skip, timeout_ms < 0 ? -1 : timeout_ms);
    if (n < 0) return false;
    if (n == 0) return true;
    const LookClock::time_point seen = LookClock::now();
    for (std::size_t i = 1; i < s.looked.size(); ++i) {
      const short got = s.looked[i].revents;
      if (got == 0) continue;
      s.watches[s.looked[i].fd].since = seen;
      s.report(s.looked[i].fd, (got & POLLIN) != 0, (got & POLLOUT) != 0,
               (got & (POLLERR | POLLHUP | POLLNVAL)) != 0, ready);
    }
    if (s.looked[0].revents != 0) {
      listed = epoll_wait(s.epoll, s.events.data(), static_cast<int>(s.events.size()), 0);
      if (listed < 0) listed = 0;
    }
  }
  for (int i = 0; i < listed; ++i) {
    const std::uint32_t got = s.events[i].events;
    const int socket = s.events[i].data.fd;
    s.report(socket, (got & EPOLLIN) != 0, (got & EPOLLOUT) != 0,
             (got & (EPOLLERR | EPOLLHUP)) != 0, ready);
    s.reported.push_back(socket);
  }
  return true;
}

}  // namespace dirhttp
