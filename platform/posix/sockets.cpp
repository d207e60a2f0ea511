// The Winsock start-up and error calls, and the socket settings and non-blocking transfers of net.h,
// over POSIX sockets.
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "platform/net.h"
#include "platform/win32.h"

int WSAStartup(WORD version, WSADATA* data) {
  // A peer that goes away mid-send must make the send fail, not kill the process.
  signal(SIGPIPE, SIG_IGN);
  if (data != nullptr) {
    data->wVersion = version;
    data->wHighVersion = MAKEWORD(2, 2);
  }
  return 0;
}

int WSACleanup() { return 0; }

int WSAGetLastError() { return errno; }

int closesocket(SOCKET s) { return close(s) == 0 ? 0 : SOCKET_ERROR; }

int WSAPoll(WSAPOLLFD* fds, ULONG count, INT timeout_ms) {
  return poll(fds, static_cast<nfds_t>(count), timeout_ms);
}

namespace dirhttp {

void prepare_listening_socket(SOCKET listener) {
  // The browser opener (and a browser it starts) must not inherit the listening socket: the port
  // would stay taken, answering nobody, after this server ends.
  fcntl(listener, F_SETFD, fcntl(listener, F_GETFD) | FD_CLOEXEC);
  // Linux still refuses a second live listener on the port, so a second instance fails to bind.
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  // A large file's body follows its header lines in a second call; without this the body's last
  // partial segment could wait for the client to acknowledge the header. Accepted sockets
  // inherit it, so no call per connection is added.
  setsockopt(listener, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

namespace {

// Descriptors kept out of the connections' share: the standard streams, the listening socket, a
// listing's enumeration, the browser opener's pipes, and room for a passing need.
constexpr rlim_t kReservedDescriptors = 32;
// A connection holds its socket and, while it sends a large file, that file.
constexpr rlim_t kDescriptorsPerConnection = 2;
// The most connections open at once: it bounds the memory that open connections hold (a wake-up
// of the loop costs what the ready ones cost, not what the open ones do).
constexpr rlim_t kMostConnections = 16384;

Transfer transferred(ssize_t n) {
  if (n > 0) return {Transfer::kMoved, static_cast<std::size_t>(n), 0};
  if (n == 0) return {Transfer::kEnded, 0, 0};
  if (errno == EAGAIN || errno == EWOULDBLOCK) return {Transfer::kWouldBlock, 0, 0};
  return {Transfer::kFailed, 0, errno};
}

}  // namespace

void make_nonblocking(SOCKET socket) {
  fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
}

SOCKET accept_nonblocking(SOCKET listener, int* error) {
  while (true) {
    const SOCKET client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client >= 0) return client;
    if (errno != EINTR) {
      *error = errno;
      return INVALID_SOCKET;
    }
  }
}

Transfer receive_now(SOCKET socket, char* data, std::size_t size) {
  while (true) {
    const ssize_t n = recv(socket, data, size, 0);
    if (n >= 0 || errno != EINTR) return transferred(n);
  }
}

Transfer send_now(SOCKET socket, const char* data, std::size_t size) {
  while (true) {
    const ssize_t n = send(socket, data, size, MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR) return transferred(n);
  }
}

void set_reset_on_close(SOCKET socket, bool abortive) {
  const linger setting{abortive ? 1 : 0, 0};
  setsockopt(socket, SOL_SOCKET, SO_LINGER, &setting, sizeof(setting));
}

std::size_t connection_capacity() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
  // Raised toward the hard limit only as far as the most connections could use.
  const rlim_t wanted =
      std::min(limit.rlim_max, kReservedDescriptors + kDescriptorsPerConnection * kMostConnections);
  if (limit.rlim_cur < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  const rlim_t available = limit.rlim_cur;
  if (available <= kReservedDescriptors + kDescriptorsPerConnection) return 1;
  return static_cast<std::size_t>(
      std::min((available - kReservedDescriptors) / kDescriptorsPerConnection, kMostConnections));
}

bool error_would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool accept_error_is_fatal(int error) {
  switch (error) {
    case ECONNABORTED:
    case ECONNRESET:
    case EINTR:
    case EAGAIN:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EPROTO:
    case EPERM:  // a firewall rule refused this one connection
    case ENETDOWN:
    case ENETUNREACH:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ETIMEDOUT:
      return false;
    default:
      return true;
  }
}

bool accept_error_is_exhaustion(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace dirhttp
