// Which sockets are ready: a set of sockets, each registered with what it waits for and a key of
// the caller's, that reports only the ready ones. On Linux it is the kernel's ready list (epoll),
// so a wait costs in proportion to the sockets that are ready; on Windows it is WSAPoll over the
// registered sockets.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/win32.h"

namespace dirhttp {

/// What a registered socket waits for: a bit set of kReadable and kWritable.
using Interest = unsigned;
constexpr Interest kReadable = 1;
constexpr Interest kWritable = 2;

/// One ready socket: the key it was registered with and what it is ready for. A socket whose
/// connection failed or was reset is reported both readable and writable.
struct ReadyEvent {
  std::size_t key;
  bool readable;
  bool writable;
};

/// The sockets a loop waits on. Not copyable; each socket is registered at most once.
class Readiness {
 public:
  Readiness();
  ~Readiness();
  Readiness(const Readiness&) = delete;
  Readiness& operator=(const Readiness&) = delete;

  /// Registers `socket` to be reported with `key` when it is ready for `interest`. Returns false
  /// when it cannot be watched (out of memory, or past the platform's limit).
  bool add(SOCKET socket, Interest interest, std::size_t key);
  /// Changes what the registered `socket` waits for and the key it is reported with.
  void change(SOCKET socket, Interest interest, std::size_t key);
  /// Stops watching the registered `socket`, which stays open.
  void remove(SOCKET socket);
  /// Stops watching the registered `socket` and closes it, in one system call where the
  /// platform allows.
  void close_socket(SOCKET socket);

  /// Replaces the contents of `ready` with the registered sockets that are ready now, waiting
  /// for one for up to `timeout_ms` milliseconds (0: only looks; negative: no limit). Reports
  /// at most kMostReadyPerWait sockets; the others stay ready for the next wait. Returns false
  /// when the wait failed (interrupted, or short of memory) and `ready` is empty.
  bool wait(std::vector<ReadyEvent>& ready, int timeout_ms);

  /// The most sockets one wait reports.
  static constexpr std::size_t kMostReadyPerWait = 256;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace dirhttp
