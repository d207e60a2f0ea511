// Serving one accepted connection: one receive, the echoed first line, the response, the close.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

namespace dirhttp {

/// The most bytes of a request that are ever read: one receive of this many.
constexpr int kReceiveLimit = 65535;
/// A send that moves no byte for this long fails, and so ends its connection.
constexpr int kSendTimeoutMs = 30000;
/// How long a connection closed with request bytes still unread is drained before it is closed.
constexpr int kDrainMs = 2000;

/// Receives once from `client` (which has bytes or an end waiting) into `buffer`, prints the
/// request's first line, sends the response for it under `document_root` and closes `client`.
/// A failed receive or send is printed and ends this connection only.
void serve_connection(SOCKET client, const std::string& document_root, std::vector<char>& buffer);

/// Closes `client` after printing "recv failed: %d" with `error`.
void drop_connection(SOCKET client, int error);

}  // namespace dirhttp
