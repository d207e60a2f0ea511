// Idle connections: clients that connect and send nothing, as a browser's spare connections or a
// crawler's do; each one the server closes is opened again at once, so the count stays up.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "bench/load_client.h"

namespace dirhttp_bench {
namespace {

constexpr int kWaitMilliseconds = 50;
constexpr int kEventsPerWait = 256;

// Lets the process hold COUNT more descriptors than the requests need, as far as the hard limit
// allows.
void raise_descriptor_limit(int count) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = static_cast<rlim_t>(count) + 1024;
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = std::min(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

IdleConnections::IdleConnections(int port, int count, Clock::duration bound)
    : port_(port), count_(count), epoll_(epoll_create1(EPOLL_CLOEXEC)) {
  raise_descriptor_limit(count);
  for (int i = 0; i < count; ++i) open_one();
  // Bounded: the thread stops at the bound or once every connection is established.
  const Clock::time_point end = Clock::now() + bound;
  while (Clock::now() < end && established_.load() < count_) poll_once();
  held_at_start_ = established_.load();
  thread_ = std::thread([this] {
    while (!stop_.load()) poll_once();
  });
}

IdleConnections::~IdleConnections() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  for (const auto& entry : states_) close(entry.first);
  close(epoll_);
}

// A non-blocking connect, watched until it is established (writable), then for the close.
void IdleConnections::open_one() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const sockaddr_in address = loopback_address(port_);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 &&
      errno != EINPROGRESS) {
    close(fd);
    return;
  }
  epoll_event event{};
  event.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
  event.data.fd = fd;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  states_[fd] = false;
}

void IdleConnections::poll_once() {
  epoll_event events[kEventsPerWait];
  const int n = epoll_wait(epoll_, events, kEventsPerWait, kWaitMilliseconds);
  for (int i = 0; i < n; ++i) {
    const int fd = events[i].data.fd;
    bool& established = states_[fd];
    const bool closed = (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
    if (!closed && !established) {
      // Connected: from now on only its close is of interest.
      established = true;
      established_.fetch_add(1);
      epoll_event event{};
      event.events = EPOLLIN | EPOLLRDHUP;
      event.data.fd = fd;
      epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
      continue;
    }
    if (!closed) continue;
    if (established) established_.fetch_sub(1);
    states_.erase(fd);
    close(fd);
    reopened_.fetch_add(1);
    open_one();
  }
}

}  // namespace dirhttp_bench
