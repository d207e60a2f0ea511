// A small HTTP load client for close-delimited responses: for a bounded time, K clients each
// connect to 127.0.0.1:PORT, send one GET with "Connection: close", read until the server closes,
// and check the status code and the body's length; then the next request.
//
// Usage: dirhttp_load PORT PATH WORKERS SECONDS STATUS BODY_LENGTH [OPTION...]
//   --poll                 one thread, non-blocking sockets, WORKERS requests in flight
//                          (else WORKERS threads with blocking sockets)
//   --bound S              a request not answered whole within S seconds is given up and
//                          counted as a time-out (else a 30 s receive time-out, an error)
//   --paused COUNT PATH    first opens COUNT paused downloads of PATH (see --receive-buffer),
//                          holds them while the requests run, then closes them
//   --receive-buffer BYTES SO_RCVBUF of the paused downloads (default 4096)
//   --idle COUNT           first opens COUNT connections that send nothing (waiting at most
//                          10 s until all are established) and holds them while the requests
//                          run, opening again each one the server closes
// Prints one line: "requests=N errors=E timeouts=T seconds=S req_per_s=R mb_per_s=M
// worst_ms=W paused=P/COUNT idle=I/COUNT reopened=O" (worst_ms over the answered requests;
// paused: how many of the paused downloads received their first bytes; idle: how many idle
// connections were established when the requests began; reopened: how many of them the server
// closed meanwhile). Exits 1 after any error, time-out, paused download that received nothing
// or idle connection that was never established.
#include "bench/load_client.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using dirhttp_bench::Clock;

constexpr int kDefaultReceiveBuffer = 4096;
constexpr auto kIdleBound = std::chrono::seconds(10);

struct Options {
  dirhttp_bench::Job job;
  int workers = 1;
  double seconds = 1;
  bool poll = false;
  int paused = 0;
  std::string paused_path;
  int receive_buffer = kDefaultReceiveBuffer;
  int idle = 0;
};

Clock::duration seconds_to_duration(double seconds) {
  return std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

// Fills OPTIONS from the command line; false on anything it does not know.
bool parse(int argc, char** argv, Options& options) {
  if (argc < 7) return false;
  options.job.port = std::atoi(argv[1]);
  options.job.request = dirhttp_bench::make_request(argv[2]);
  options.workers = std::atoi(argv[3]);
  options.seconds = std::atof(argv[4]);
  options.job.status = std::atoi(argv[5]);
  options.job.body_length = std::atoll(argv[6]);
  for (int i = 7; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--poll") {
      options.poll = true;
    } else if (arg == "--bound" && has_value) {
      options.job.bound = seconds_to_duration(std::atof(argv[++i]));
    } else if (arg == "--paused" && i + 2 < argc) {
      options.paused = std::atoi(argv[++i]);
      options.paused_path = argv[++i];
    } else if (arg == "--idle" && has_value) {
      options.idle = std::atoi(argv[++i]);
    } else if (arg == "--receive-buffer" && has_value) {
      options.receive_buffer = std::atoi(argv[++i]);
    } else {
      return false;
    }
  }
  return options.workers > 0 && options.seconds > 0;
}

// Paused downloads wait for their first bytes at most this long (or 2 s without a bound).
Clock::duration paused_bound(const Options& options) {
  return options.job.bound.count() > 0 ? options.job.bound : std::chrono::seconds(2);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s PORT PATH WORKERS SECONDS STATUS BODY_LENGTH [--poll] [--bound S] "
                 "[--paused COUNT PATH] [--receive-buffer BYTES] [--idle COUNT]\n",
                 argv[0]);
    return 2;
  }
  std::unique_ptr<dirhttp_bench::PausedDownloads> paused;
  if (options.paused > 0) {
    paused = std::make_unique<dirhttp_bench::PausedDownloads>(
        options.job.port, dirhttp_bench::make_request(options.paused_path), options.paused,
        options.receive_buffer, paused_bound(options));
  }
  const int paused_started = paused ? paused->started() : 0;
  std::unique_ptr<dirhttp_bench::IdleConnections> idle;
  if (options.idle > 0) {
    idle = std::make_unique<dirhttp_bench::IdleConnections>(options.job.port, options.idle,
                                                            kIdleBound);
  }
  const int idle_held = idle ? idle->held_at_start() : 0;

  const Clock::time_point start = Clock::now();
  options.job.deadline = start + seconds_to_duration(options.seconds);
  dirhttp_bench::Totals totals;
  if (options.poll) {
    dirhttp_bench::run_poll(options.job, options.workers, totals);
  } else {
    dirhttp_bench::run_threads(options.job, options.workers, totals);
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (paused) paused->close_all();
  const long idle_reopened = idle ? idle->reopened() : 0;
  idle.reset();

  const long requests = totals.requests.load();
  std::printf(
      "requests=%ld errors=%ld timeouts=%ld seconds=%.3f req_per_s=%.1f mb_per_s=%.1f "
      "worst_ms=%.3f paused=%d/%d idle=%d/%d reopened=%ld\n",
      requests, totals.errors.load(), totals.timeouts.load(), elapsed,
      static_cast<double>(requests) / elapsed,
      static_cast<double>(totals.body_bytes.load()) / elapsed / 1e6,
      static_cast<double>(totals.worst_us.load()) / 1e3, paused_started, options.paused, idle_held,
      options.idle, idle_reopened);
  const bool clean = totals.errors.load() == 0 && totals.timeouts.load() == 0 &&
                     paused_started == options.paused && idle_held == options.idle;
  return clean ? 0 : 1;
}
