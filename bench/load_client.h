// The pieces the load client's modes share: what every request sends and expects, the tallies
// over all requests, the check of one close-delimited response, and the modes themselves.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace dirhttp_bench {

using Clock = std::chrono::steady_clock;

/// What every request of a run sends and expects, and when the run stops starting requests.
struct Job {
  int port = 0;
  std::string request;
  int status = 200;
  long long body_length = -1;  // -1: any length
  Clock::time_point deadline;
  /// A request not answered whole within this is given up and counted as a time-out; zero
  /// keeps the plain 30 s receive time-out and no other bound.
  Clock::duration bound{};
};

/// Counts over every request of a run, from any thread.
struct Totals {
  std::atomic<long> requests{0};
  std::atomic<long> errors{0};
  std::atomic<long> timeouts{0};
  std::atomic<long long> body_bytes{0};
  std::atomic<long long> worst_us{0};
};

/// Adds one answered request (BODY >= 0, with its latency) or one failed request (BODY < 0).
void count_request(Totals& totals, long long body, Clock::duration latency);

/// Collects a response's bytes as they arrive; keeps the head, only counts the body.
class ResponseCheck {
 public:
  void add(const char* data, std::size_t size);
  /// The body length when the response ended with the expected status and length, else -1.
  long long finish(const Job& job) const;

 private:
  std::string head_;
  long long total_ = 0;
  long long head_length_ = -1;
};

/// 127.0.0.1:PORT.
sockaddr_in loopback_address(int port);

/// "GET PATH HTTP/1.1" with the headers a small client sends and "Connection: close".
std::string make_request(const std::string& path);

/// Runs WORKERS threads, each making blocking requests one after another until the deadline.
void run_threads(const Job& job, int workers, Totals& totals);

/// Keeps CONNECTIONS requests in flight from one thread with non-blocking sockets until the
/// deadline; requests open longer than the bound, or still open 10 s after the deadline when
/// there is no bound, count as time-outs.
void run_poll(const Job& job, int connections, Totals& totals);

/// Downloads that were started with a small receive buffer, read their first bytes and then
/// stopped reading; they stay open until close_all or destruction.
class PausedDownloads {
 public:
  /// Opens COUNT connections (SO_RCVBUF set to RECEIVE_BUFFER before connecting), sends REQUEST
  /// on each and waits at most BOUND in all until each has received its first bytes.
  PausedDownloads(int port, const std::string& request, int count, int receive_buffer,
                  Clock::duration bound);
  ~PausedDownloads();
  PausedDownloads(const PausedDownloads&) = delete;
  PausedDownloads& operator=(const PausedDownloads&) = delete;

  /// How many received their first bytes within the bound.
  int started() const { return started_; }
  /// Closes every connection; unread bytes make the kernel reset it, so the server is freed.
  void close_all();

 private:
  std::vector<int> fds_;
  int started_ = 0;
};

/// Connections that send nothing, held open from a thread of their own: each one the server
/// closes is opened again at once. They stay until destruction.
class IdleConnections {
 public:
  /// Opens COUNT connections (raising the descriptor limit toward the hard one for them) and
  /// waits at most BOUND until all are established, then holds them.
  IdleConnections(int port, int count, Clock::duration bound);
  ~IdleConnections();
  IdleConnections(const IdleConnections&) = delete;
  IdleConnections& operator=(const IdleConnections&) = delete;

  /// How many were established when the constructor returned.
  int held_at_start() const { return held_at_start_; }
  /// How many are established now.
  int held() const { return established_.load(); }
  /// How many the server closed (each was opened again).
  long reopened() const { return reopened_.load(); }

 private:
  void open_one();
  void poll_once();

  int port_;
  int count_;
  int epoll_;
  int held_at_start_ = 0;
  std::unordered_map<int, bool> states_;  // socket: established
  std::atomic<int> established_{0};
  std::atomic<long> reopened_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace dirhttp_bench
