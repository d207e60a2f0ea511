#include "server/connection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "platform/net.h"
#include "server/console_text.h"
#include "server/request_target.h"
#include "server/response.h"

namespace dirhttp {
namespace {

// Sends all of `data`; a short count is continued. Returns 0 or the socket error.
int send_all(SOCKET client, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const std::size_t chunk = std::min<std::size_t>(data.size() - sent, 1 << 30);
    const int n = send(client, data.data() + sent, static_cast<int>(chunk), 0);
    if (n == SOCKET_ERROR) return WSAGetLastError();
    sent += static_cast<std::size_t>(n);
  }
  return 0;
}

// Closing with unread bytes makes the kernel reset the connection, and the client may lose the
// response it has not read yet. So end our side, and read and discard what the client still
// sends until it closes or the bound passes.
void drain_unread(SOCKET client, std::vector<char>& buffer) {
  shutdown(client, SD_SEND);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMs);
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    WSAPOLLFD poll_fd{};
    poll_fd.fd = client;
    poll_fd.events = POLLIN;
    if (WSAPoll(&poll_fd, 1, static_cast<INT>(left.count())) <= 0) return;
    if (recv(client, buffer.data(), static_cast<int>(buffer.size()), 0) <= 0) return;
  }
}

}  // namespace

void drop_connection(SOCKET client, int error) {
  std::printf("recv failed: %d\n", error);
  std::fflush(stdout);
  closesocket(client);
}

void serve_connection(SOCKET client, const std::string& document_root, std::vector<char>& buffer) {
  const int received = recv(client, buffer.data(), kReceiveLimit, 0);
  if (received == SOCKET_ERROR) {
    drop_connection(client, WSAGetLastError());
    return;
  }
  if (received > 0) {
    // The request text ends at the first NUL received.
    const std::size_t length = strnlen(buffer.data(), static_cast<std::size_t>(received));
    const std::string request_text(buffer.data(), length);
    // The first line, with a CR before its LF kept and its control bytes shown as \xHH, goes
    // out in the one write of the flush.
    const std::string_view first_line =
        std::string_view(request_text).substr(0, request_text.find('\n'));
    std::cout << escape_console_line(first_line) << std::endl;

    Response response = build_response(document_root, extract_request_target(request_text));
    int error = send_all(client, response.text);
    if (error == 0 && response.body_file.is_open()) {
      error = send_file_bytes(client, response.body_file, response.body_file.size(),
                              response.text.size());
    }
    if (error != 0) {
      std::printf("send failed: %d\n", error);
      std::fflush(stdout);
    } else if (received == kReceiveLimit || pending_receive_bytes(client) > 0) {
      drain_unread(client, buffer);
    }
  }
  closesocket(client);
}

}  // namespace dirhttp
