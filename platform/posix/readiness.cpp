// The readiness set over epoll: the kernel keeps the ready list, so a wait costs in proportion
// to the ready sockets. Level-triggered: a socket stays reported while it is ready, so a caller
// that moves only part of what is ready (a bounded number of reads per step) loses nothing.
#include "platform/readiness.h"

#include <errno.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace dirhttp {

struct Readiness::State {
  int epoll = -1;
  std::vector<epoll_event> events;
};

namespace {

epoll_event event_for(Interest interest, std::size_t key) {
  epoll_event event{};
  event.events = ((interest & kReadable) ? EPOLLIN : 0u) | ((interest & kWritable) ? EPOLLOUT : 0u);
  event.data.u64 = key;
  return event;
}

}  // namespace

Readiness::Readiness() : state_(std::make_unique<State>()) {
  state_->epoll = epoll_create1(EPOLL_CLOEXEC);
  state_->events.resize(kMostReadyPerWait);
}

Readiness::~Readiness() {
  if (state_->epoll >= 0) close(state_->epoll);
}

bool Readiness::add(SOCKET socket, Interest interest, std::size_t key) {
  epoll_event event = event_for(interest, key);
  return epoll_ctl(state_->epoll, EPOLL_CTL_ADD, socket, &event) == 0;
}

void Readiness::change(SOCKET socket, Interest interest, std::size_t key) {
  epoll_event event = event_for(interest, key);
  epoll_ctl(state_->epoll, EPOLL_CTL_MOD, socket, &event);
}

void Readiness::remove(SOCKET socket) { epoll_ctl(state_->epoll, EPOLL_CTL_DEL, socket, nullptr); }

void Readiness::close_socket(SOCKET socket) {
  // Closing the descriptor takes it off the epoll set: the program never duplicates a socket.
  close(socket);
}

bool Readiness::wait(std::vector<ReadyEvent>& ready, int timeout_ms) {
  ready.clear();
  const int n =
      epoll_wait(state_->epoll, state_->events.data(), static_cast<int>(state_->events.size()),
                 timeout_ms < 0 ? -1 : timeout_ms);
  if (n < 0) return false;
  for (int i = 0; i < n; ++i) {
    const std::uint32_t got = state_->events[i].events;
    const bool failed = (got & (EPOLLERR | EPOLLHUP)) != 0;
    ready.push_back(ReadyEvent{static_cast<std::size_t>(state_->events[i].data.u64),
                               failed || (got & EPOLLIN) != 0, failed || (got & EPOLLOUT) != 0});
  }
  return true;
}

}  // namespace dirhttp
