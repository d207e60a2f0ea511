// The load client's poll mode: one thread keeps many requests in flight on non-blocking sockets,
// so that hundreds of clients cost no threads (the machine has few processors).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "bench/load_client.h"

namespace dirhttp_bench {
namespace {

constexpr std::size_t kBufferBytes = 64 * 1024;
constexpr int kPollMilliseconds = 100;
constexpr auto kDefaultDrainBound = std::chrono::seconds(10);

// One client slot: its socket (-1: idle), how much of the request went out, what came back.
struct Slot {
  int fd = -1;
  std::size_t sent = 0;
  Clock::time_point start;
  ResponseCheck check;
};

enum class Step { kWaiting, kDone, kFailed };

void finish(Slot& slot, const Job& job, Totals& totals, Step step) {
  const long long body = step == Step::kDone ? slot.check.finish(job) : -1;
  count_request(totals, body, Clock::now() - slot.start);
  close(slot.fd);
  slot.fd = -1;
}

// Starts a request in SLOT; false when no socket could be made or the connect failed at once.
bool open_slot(Slot& slot, const Job& job) {
  slot = Slot{};
  slot.start = Clock::now();
  slot.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (slot.fd < 0) return false;
  const sockaddr_in address = loopback_address(job.port);
  if (connect(slot.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 &&
      errno != EINPROGRESS) {
    close(slot.fd);
    slot.fd = -1;
    return false;
  }
  return true;
}

// Sends what is left of the request; called once poll finds the socket writable, which is
// also when a connect in progress has completed.
Step send_more(Slot& slot, const Job& job) {
  const ssize_t n =
      send(slot.fd, job.request.data() + slot.sent, job.request.size() - slot.sent, MSG_NOSIGNAL);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Step::kWaiting : Step::kFailed;
  slot.sent += static_cast<std::size_t>(n);
  return Step::kWaiting;
}

// Reads what has arrived, up to the buffer's size per call and a few calls per wake-up.
Step receive_more(Slot& slot, std::vector<char>& buffer) {
  for (int i = 0; i < 16; ++i) {
    const ssize_t n = recv(slot.fd, buffer.data(), buffer.size(), 0);
    if (n == 0) return Step::kDone;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Step::kWaiting : Step::kFailed;
    slot.check.add(buffer.data(), static_cast<std::size_t>(n));
  }
  return Step::kWaiting;
}

Step advance(Slot& slot, const Job& job, short revents, std::vector<char>& buffer) {
  if (slot.sent < job.request.size()) {
    if (revents & (POLLERR | POLLHUP)) return Step::kFailed;
    return send_more(slot, job);
  }
  return receive_more(slot, buffer);
}

// Refills idle slots while the run lasts; returns how many slots are open.
int refill(std::vector<Slot>& slots, const Job& job, Totals& totals) {
  int open = 0;
  const bool starting = Clock::now() < job.deadline;
  for (Slot& slot : slots) {
    if (slot.fd < 0 && starting && !open_slot(slot, job)) totals.errors.fetch_add(1);
    if (slot.fd >= 0) ++open;
  }
  return open;
}

std::vector<pollfd> poll_set(const std::vector<Slot>& slots, const Job& job) {
  std::vector<pollfd> fds;
  fds.reserve(slots.size());
  for (const Slot& slot : slots) {
    const short events = slot.sent < job.request.size() ? POLLOUT : POLLIN;
    fds.push_back(pollfd{slot.fd, events, 0});  // fd -1 is skipped by poll
  }
  return fds;
}

// Gives up the requests that have been open longer than the job's bound.
void give_up_late(std::vector<Slot>& slots, const Job& job, Totals& totals) {
  if (job.bound.count() <= 0) return;
  const Clock::time_point now = Clock::now();
  for (Slot& slot : slots) {
    if (slot.fd < 0 || now - slot.start <= job.bound) continue;
    totals.timeouts.fetch_add(1);
    close(slot.fd);
    slot.fd = -1;
  }
}

}  // namespace

void run_poll(const Job& job, int connections, Totals& totals) {
  std::vector<Slot> slots(static_cast<std::size_t>(connections));
  std::vector<char> buffer(kBufferBytes);
  const Clock::time_point hard_end =
      job.deadline + (job.bound.count() > 0 ? job.bound : Clock::duration(kDefaultDrainBound));
  // Bounded by the hard end: requests still open then are counted as time-outs.
  while (Clock::now() < hard_end && refill(slots, job, totals) > 0) {
    std::vector<pollfd> fds = poll_set(slots, job);
    if (poll(fds.data(), fds.size(), kPollMilliseconds) < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const Step step = advance(slots[i], job, fds[i].revents, buffer);
      if (step != Step::kWaiting) finish(slots[i], job, totals, step);
    }
    give_up_late(slots, job, totals);
  }
  for (Slot& slot : slots) {
    if (slot.fd < 0) continue;
    totals.timeouts.fetch_add(1);
    close(slot.fd);
  }
}

}  // namespace dirhttp_bench
