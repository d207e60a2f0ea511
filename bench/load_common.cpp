// The load client's shared pieces: the request text, the address, the tallies and the check of
// one close-delimited response.
#include <arpa/inet.h>

#include <cstdio>

#include "bench/load_client.h"

namespace dirhttp_bench {

void count_request(Totals& totals, long long body, Clock::duration latency) {
  if (body < 0) {
    totals.errors.fetch_add(1);
    return;
  }
  totals.requests.fetch_add(1);
  totals.body_bytes.fetch_add(body);
  const long long us = std::chrono::duration_cast<std::chrono::microseconds>(latency).count();
  long long worst = totals.worst_us.load();
  while (us > worst && !totals.worst_us.compare_exchange_weak(worst, us)) {
  }
}

void ResponseCheck::add(const char* data, std::size_t size) {
  total_ += static_cast<long long>(size);
  if (head_length_ >= 0) return;
  head_.append(data, size);
  const std::size_t crlf = head_.find("\r\n\r\n");
  const std::size_t lf = head_.find("\n\n");
  if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) {
    head_length_ = static_cast<long long>(crlf + 4);
  } else if (lf != std::string::npos) {
    head_length_ = static_cast<long long>(lf + 2);
  }
}

long long ResponseCheck::finish(const Job& job) const {
  if (head_length_ < 0) return -1;
  int status = 0;
  if (std::sscanf(head_.c_str(), "HTTP/%*d.%*d %d", &status) != 1 || status != job.status) {
    return -1;
  }
  const long long body = total_ - head_length_;
  if (job.body_length >= 0 && body != job.body_length) return -1;
  return body;
}

sockaddr_in loopback_address(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

std::string make_request(const std::string& path) {
  return "GET " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: dirhttp-load\r\nAccept: */*\r\n"
         "Connection: close\r\n\r\n";
}

}  // namespace dirhttp_bench
