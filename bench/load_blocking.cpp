// The load client's thread mode: each worker thread makes blocking requests one after another.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <thread>

#include "bench/load_client.h"

namespace dirhttp_bench {
namespace {

constexpr long long kFailed = -1;
constexpr long long kTimedOut = -2;
constexpr std::size_t kBufferBytes = 256 * 1024;

timeval to_timeval(Clock::duration d) {
  const long long us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
  return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

// With a bound, both the connect (SO_SNDTIMEO covers it) and each receive wait at most the bound.
void set_timeouts(int fd, Clock::duration bound) {
  const timeval receive = bound.count() > 0 ? to_timeval(bound) : timeval{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof(receive));
  if (bound.count() > 0) setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &receive, sizeof(receive));
}

bool is_time_out(const Job& job, int error) {
  return job.bound.count() > 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS);
}

long long give_up(int fd, long long result) {
  close(fd);
  return result;
}

// One request; returns the body length, kFailed on any failure or mismatch, or kTimedOut.
long long one_request(const Job& job, std::vector<char>& buffer, Clock::time_point start) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kFailed;
  set_timeouts(fd, job.bound);
  const sockaddr_in address = loopback_address(job.port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      send(fd, job.request.data(), job.request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(job.request.size())) {
    return give_up(fd, is_time_out(job, errno) ? kTimedOut : kFailed);
  }
  ResponseCheck check;
  while (true) {
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) return give_up(fd, is_time_out(job, errno) ? kTimedOut : kFailed);
    if (n == 0) break;
    check.add(buffer.data(), static_cast<std::size_t>(n));
    if (job.bound.count() > 0 && Clock::now() - start > job.bound) return give_up(fd, kTimedOut);
  }
  close(fd);
  return check.finish(job);
}

void worker(const Job& job, Totals& totals) {
  std::vector<char> buffer(kBufferBytes);
  // Bounded by the deadline; each request by the bound or the receive time-out.
  while (Clock::now() < job.deadline) {
    const Clock::time_point start = Clock::now();
    const long long body = one_request(job, buffer, start);
    if (body == kTimedOut) {
      totals.timeouts.fetch_add(1);
    } else {
      count_request(totals, body, Clock::now() - start);
    }
  }
}

}  // namespace

void run_threads(const Job& job, int workers, Totals& totals) {
  std::vector<std::thread> threads;
  for (int i = 0; i < workers; ++i) threads.emplace_back(worker, std::cref(job), std::ref(totals));
  for (std::thread& t : threads) t.join();
}

}  // namespace dirhttp_bench
