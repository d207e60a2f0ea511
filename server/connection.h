// One connection's life as a small state machine: receiving its request, sending its response,
// draining what the client still sends, closed. It never waits: each step moves what the stream
// can move now, and the serving loop calls it again when the socket is ready or a deadline passes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "platform/net.h"
#include "server/response.h"

namespace dirhttp {

using Clock = std::chrono::steady_clock;

/// The most bytes of a request that are ever read.
constexpr std::size_t kReceiveLimit = 65535;
/// A connection that sends nothing for this long after its accept is closed with the time-out
/// receive error.
constexpr std::chrono::milliseconds kIdleTimeout{5000};
/// A request whose first line has not ended (no line feed) this long after its first bytes
/// arrived is handled with what has arrived.
constexpr std::chrono::milliseconds kRequestLineWait{500};
/// A response that moves no byte for this long is given up with the time-out send error.
constexpr std::chrono::milliseconds kSendStall{30000};
/// How long, after its response, a connection waits for the client to close, discarding what it
/// still sends.
constexpr std::chrono::milliseconds kDrainTime{2000};

/// Where a connection's bytes come from and go to: a non-blocking socket in the server; a script
/// in tests and the fuzzer. Each call returns at once.
class Stream {
 public:
  virtual ~Stream() = default;
  /// Receives up to `size` bytes into `data`.
  virtual Transfer receive(char* data, std::size_t size) = 0;
  /// Sends up to `size` bytes of `data`.
  virtual Transfer send(const char* data, std::size_t size) = 0;
  /// Sends bytes of `file` from `offset` on, at most `count`; `already_sent` response bytes went
  /// out before `offset` (see send_file_now).
  virtual Transfer send_file(InputFile& file, std::uint64_t offset, std::uint64_t count,
                             std::uint64_t already_sent) = 0;
  /// Ends the sending side, so the client sees the end of the response.
  virtual void end_sending() = 0;
  /// With `abortive` true, makes the stream's close (or the process's end) reset the connection;
  /// with false, makes it orderly again (see set_reset_on_close).
  virtual void set_reset_on_close(bool abortive) = 0;
};

/// A connection's stage. The serving loop waits for its socket to be readable while it receives
/// or drains, writable while it sends, and closes it once it is closed.
enum class Phase { kReceiving, kSending, kDraining, kClosed };

/// One accepted connection: what it has received and what it still has to send.
struct Connection {
  SOCKET socket = INVALID_SOCKET;
  Phase phase = Phase::kReceiving;
  Clock::time_point accepted;
  /// Receiving: when its first bytes arrived. Sending: when a byte last went out. Draining: when
  /// the drain began.
  Clock::time_point since;
  /// The request bytes received so far (only while receiving).
  std::string request;
  /// Whether the client has ended its sending side (and so sends nothing more).
  bool client_ended = false;
  Response response;
  std::size_t text_sent = 0;
  std::uint64_t file_sent = 0;
  /// Whether closing the socket resets the connection: from before the header of a body sent
  /// from the file, or from a first send that left part of an in-memory response, until the
  /// last byte is out. A response given up, cut short, or
  /// left unfinished by the process's end thus never ends in order, as a whole one does.
  bool resets_on_close = false;
};

/// A new connection on `socket`, accepted at `now`.
Connection accepted_connection(SOCKET socket, Clock::time_point now);

/// Moves `connection` on as far as `stream` allows without waiting, at time `now`: reads request
/// bytes; once the request is complete (a line feed or NUL arrived, the limit was reached, the
/// client ended its sending side, or kRequestLineWait passed since its first bytes) echoes its
/// first line and builds its response for `document_root`; sends it; then ends the sending side
/// and drains until the client closes; and applies the deadlines. Prints "recv failed: %d" or
/// "send failed: %d" when a receive or a send fails or times out. A response that does not go
/// out whole (its send fails or stalls, its file ends early or fails to read) closes the
/// connection with a reset, without ending the sending side first. `buffer` is scratch space for
/// received bytes.
void advance(Connection& connection, Stream& stream, const std::string& document_root,
             Clock::time_point now, std::vector<char>& buffer);

/// When `connection` must be advanced even if its socket shows nothing: its next deadline.
Clock::time_point deadline(const Connection& connection);

/// Gives up `connection` (it becomes closed) after printing "recv failed: %d" with `error`; for a
/// connection that waits for its request.
void drop_connection(Connection& connection, int error);

}  // namespace dirhttp
