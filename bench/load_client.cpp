// A small HTTP load client for close-delimited responses: K threads, each for a bounded time,
// connects to 127.0.0.1:PORT, sends one GET with "Connection: close", reads until the server
// closes, and checks the status code and the body's length.
//
// Usage: dirhttp_load PORT PATH WORKERS SECONDS STATUS BODY_LENGTH
// Prints one line: "requests=N errors=E seconds=S req_per_s=R mb_per_s=M".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Totals {
  std::atomic<long> requests{0};
  std::atomic<long> errors{0};
  std::atomic<long long> body_bytes{0};
};

struct Job {
  int port;
  std::string request;
  int status;
  long long body_length;
  Clock::time_point deadline;
};

// One request; returns the body length received, or -1 on any failure or mismatch.
long long one_request(const Job& job, std::vector<char>& buffer) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(job.port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      send(fd, job.request.data(), job.request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(job.request.size())) {
    close(fd);
    return -1;
  }
  // The head is kept until its end is found; the body is only counted.
  std::string head;
  long long total = 0;
  long long head_length = -1;
  while (true) {
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) {
      close(fd);
      return -1;
    }
    if (n == 0) break;
    total += n;
    if (head_length < 0) {
      head.append(buffer.data(), static_cast<std::size_t>(n));
      const std::size_t crlf = head.find("\r\n\r\n");
      const std::size_t lf = head.find("\n\n");
      if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) {
        head_length = static_cast<long long>(crlf + 4);
      } else if (lf != std::string::npos) {
        head_length = static_cast<long long>(lf + 2);
      }
    }
  }
  close(fd);
  if (head_length < 0) return -1;
  int status = 0;
  if (std::sscanf(head.c_str(), "HTTP/%*d.%*d %d", &status) != 1 || status != job.status) return -1;
  const long long body = total - head_length;
  if (job.body_length >= 0 && body != job.body_length) return -1;
  return body;
}

void worker(const Job& job, Totals& totals) {
  std::vector<char> buffer(256 * 1024);
  while (Clock::now() < job.deadline) {
    const long long body = one_request(job, buffer);
    if (body < 0) {
      totals.errors.fetch_add(1);
    } else {
      totals.requests.fetch_add(1);
      totals.body_bytes.fetch_add(body);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s PORT PATH WORKERS SECONDS STATUS BODY_LENGTH\n", argv[0]);
    return 2;
  }
  Job job;
  job.port = std::atoi(argv[1]);
  job.request = std::string("GET ") + argv[2] +
                " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: dirhttp-load\r\nAccept: */*\r\n"
                "Connection: close\r\n\r\n";
  const int workers = std::atoi(argv[3]);
  const double seconds = std::atof(argv[4]);
  job.status = std::atoi(argv[5]);
  job.body_length = std::atoll(argv[6]);
  const Clock::time_point start = Clock::now();
  job.deadline = start + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));

  Totals totals;
  std::vector<std::thread> threads;
  for (int i = 0; i < workers; ++i) threads.emplace_back(worker, std::cref(job), std::ref(totals));
  for (std::thread& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("requests=%ld errors=%ld seconds=%.3f req_per_s=%.1f mb_per_s=%.1f\n",
              totals.requests.load(), totals.errors.load(), elapsed,
              static_cast<double>(totals.requests.load()) / elapsed,
              static_cast<double>(totals.body_bytes.load()) / elapsed / 1e6);
  return totals.errors.load() == 0 ? 0 : 1;
}
