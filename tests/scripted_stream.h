// A connection's stream scripted call by call, for the connection tests and its fuzzer.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>

#include "server/connection.h"

namespace dirhttp {

// What the client does next, as the connection's receive calls see it.
struct Arrival {
  Transfer::Outcome outcome;
  std::string bytes;
};
inline Arrival bytes(std::string data) { return {Transfer::kMoved, std::move(data)}; }
inline const Arrival kNothing{Transfer::kWouldBlock, ""};
inline const Arrival kEnd{Transfer::kEnded, ""};

// A client scripted call by call. Receives take the next arrival (a piece is cut to the size
// asked for, the rest kept); once the script runs out nothing more arrives. Sends take at most
// `room` bytes per call until `room_left` is spent, or fail with `send_error`; a file's read
// fails from its byte `file_fails_at` on. The close the connection would make is recorded: a
// reset while `resets_on_close` holds.
class ScriptedStream : public Stream {
 public:
  std::deque<Arrival> arrivals;
  std::size_t room = 1 << 20;
  std::size_t room_left = std::size_t(-1);
  int send_error = 0;
  std::string sent;
  /// Every byte the receives handed out, and how many of them before the first send.
  std::string delivered;
  std::size_t received = 0;
  std::size_t received_before_sending = 0;
  bool ended_sending = false;
  std::uint64_t file_fails_at = std::uint64_t(-1);
  bool resets_on_close = false;
  /// How many times the close was switched between orderly and reset, and whether it would have
  /// reset when the sending side was ended.
  int reset_switches = 0;
  bool reset_when_ended = false;
  /// How many bytes had been sent when the reset was first armed.
  std::size_t sent_when_armed = std::size_t(-1);

  Transfer receive(char* data, std::size_t size) override {
    if (arrivals.empty()) return {Transfer::kWouldBlock, 0, 0};
    Arrival& next = arrivals.front();
    if (next.outcome != Transfer::kMoved) {
      const Transfer::Outcome outcome = next.outcome;
      arrivals.pop_front();
      return {outcome, 0, outcome == Transfer::kFailed ? 104 : 0};
    }
    const std::size_t n = std::min(size, next.bytes.size());
    next.bytes.copy(data, n);
    next.bytes.erase(0, n);
    if (next.bytes.empty()) arrivals.pop_front();
    delivered.append(data, n);
    received += n;
    return {Transfer::kMoved, n, 0};
  }
  Transfer send(const char* data, std::size_t size) override {
    if (sent.empty()) received_before_sending = received;
    const std::size_t n = take(size);
    if (send_error != 0) return {Transfer::kFailed, 0, send_error};
    if (n == 0) return {Transfer::kWouldBlock, 0, 0};
    sent.append(data, n);
    return {Transfer::kMoved, n, 0};
  }
  Transfer send_file(InputFile& file, std::uint64_t offset, std::uint64_t count,
                     std::uint64_t) override {
    if (sent.empty()) received_before_sending = received;
    if (offset >= file_fails_at) return {Transfer::kEnded, 0, 0};
    count = std::min(count, file_fails_at - offset);
    std::string piece(take(static_cast<std::size_t>(count)), '\0');
    if (send_error != 0) return {Transfer::kFailed, 0, send_error};
    if (piece.empty()) return {Transfer::kWouldBlock, 0, 0};
    const ssize_t n =
        pread(static_cast<int>(file.handle()), &piece[0], piece.size(), static_cast<off_t>(offset));
    if (n <= 0) return {Transfer::kEnded, 0, 0};
    sent.append(piece, 0, static_cast<std::size_t>(n));
    return {Transfer::kMoved, static_cast<std::size_t>(n), 0};
  }
  void end_sending() override {
    ended_sending = true;
    reset_when_ended = resets_on_close;
  }
  void set_reset_on_close(bool abortive) override {
    if (abortive && sent_when_armed == std::size_t(-1)) sent_when_armed = sent.size();
    resets_on_close = abortive;
    ++reset_switches;
  }

 private:
  std::size_t take(std::size_t size) {
    const std::size_t n = std::min({size, room, room_left});
    if (room_left != std::size_t(-1)) room_left -= n;
    return n;
  }
};

}  // namespace dirhttp
