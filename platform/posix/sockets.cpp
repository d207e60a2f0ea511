// The Winsock start-up and error calls, and the socket settings of net.h, over POSIX sockets.
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

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

void set_send_timeout(SOCKET socket, int milliseconds) {
  timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

unsigned long pending_receive_bytes(SOCKET socket) {
  int count = 0;
  if (ioctl(socket, FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<unsigned long>(count);
}

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
