#include "server/connection.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "server/console_text.h"
#include "server/request_target.h"

namespace dirhttp {
namespace {

// Reads at most this many times per step while draining, so that a client that keeps sending
// cannot hold the loop.
constexpr int kDrainReadsPerStep = 16;

void print_failure(const char* format, int error) {
  std::printf(format, error);
  std::fflush(stdout);
}

// From here on the socket's close resets the connection, and so does the kernel's close of it
// should the process end: set before a response with a body from the file, and once any other
// has not gone out whole in one send, so that a response that does costs no extra call.
void arm_reset(Connection& connection, Stream& stream) {
  if (connection.resets_on_close) return;
  stream.set_reset_on_close(true);
  connection.resets_on_close = true;
}

// The response will not go out whole. With no length header, a client can tell a cut body from
// a whole one only by how the connection ends, so it ends with a reset, and the sending side is
// not ended first: after a FIN the client would take the bytes it has for the whole body.
void abort_response(Connection& connection, Stream& stream) {
  arm_reset(connection, stream);
  connection.response = Response();
  connection.phase = Phase::kClosed;
}

void close_with_send_failure(Connection& connection, Stream& stream, int error) {
  print_failure("send failed: %d\n", error);
  abort_response(connection, stream);
}

// Echoes the request's first line and builds its response; the connection then sends it.
void handle_request(Connection& connection, const std::string& document_root,
                    Clock::time_point now) {
  // The request text ends at the first NUL received.
  const std::string& received = connection.request;
  const std::string request_text(received.data(), strnlen(received.data(), received.size()));
  // The first line, with a CR before its LF kept and its control bytes shown as \xHH, goes out
  // in the one write of the flush.
  const std::string_view first_line =
      std::string_view(request_text).substr(0, request_text.find('\n'));
  std::cout << escape_console_line(first_line) << std::endl;
  connection.response = build_response(document_root, extract_request_target(request_text));
  std::string().swap(connection.request);
  connection.phase = Phase::kSending;
  connection.since = now;
}

// Reads what has arrived. Returns true when the request is complete and should be handled.
bool receive_request(Connection& connection, Stream& stream, Clock::time_point now,
                     std::vector<char>& buffer) {
  std::string& request = connection.request;
  while (request.size() < kReceiveLimit) {
    const std::size_t room = std::min(kReceiveLimit - request.size(), buffer.size());
    const Transfer got = stream.receive(buffer.data(), room);
    if (got.outcome == Transfer::kMoved) {
      if (request.empty()) connection.since = now;
      request.append(buffer.data(), got.bytes);
      // A line feed ends the first line; a NUL ends the request text.
      if (std::memchr(buffer.data(), '\n', got.bytes) ||
          std::memchr(buffer.data(), '\0', got.bytes)) {
        return true;
      }
      continue;
    }
    if (got.outcome == Transfer::kWouldBlock) break;
    if (got.outcome == Transfer::kEnded) {
      connection.client_ended = true;
      // Closed without a byte: no response and no console line.
      if (request.empty()) connection.phase = Phase::kClosed;
      return !request.empty();
    }
    drop_connection(connection, got.error);
    return false;
  }
  if (request.size() == kReceiveLimit) return true;
  if (request.empty()) {
    if (now - connection.accepted >= kIdleTimeout) drop_connection(connection, WSAETIMEDOUT);
    return false;
  }
  return now - connection.since >= kRequestLineWait;
}

// Sends what the socket takes of the response. Returns true once all of it is out; false while
// some is left, or when the response was given up (the connection is then closed).
bool send_response(Connection& connection, Stream& stream, Clock::time_point now) {
  const std::string& text = connection.response.text;
  InputFile& file = connection.response.body_file;
  // A body sent from the file never leaves in one send: armed before the header goes out, so a
  // client never sees the header alone end in order.
  if (file.is_open()) arm_reset(connection, stream);
  while (connection.text_sent < text.size()) {
    const Transfer put =
        stream.send(text.data() + connection.text_sent, text.size() - connection.text_sent);
    if (put.outcome != Transfer::kMoved) {
      if (put.outcome == Transfer::kFailed) {
        close_with_send_failure(connection, stream, put.error);
      } else {
        arm_reset(connection, stream);
      }
      return false;
    }
    connection.text_sent += put.bytes;
    connection.since = now;
  }
  if (connection.response.cut_short) {  // a read of the file failed: the text is not the body
    abort_response(connection, stream);
    return false;
  }
  // The body is the file's bytes up to its size when it was opened, whatever it grows to.
  while (file.is_open() && connection.file_sent < file.size()) {
    const Transfer put = stream.send_file(file, connection.file_sent,
                                          file.size() - connection.file_sent, text.size());
    if (put.outcome == Transfer::kEnded) {  // the file shrank or a read failed
      abort_response(connection, stream);
      return false;
    }
    if (put.outcome != Transfer::kMoved) {
      if (put.outcome == Transfer::kFailed) close_with_send_failure(connection, stream, put.error);
      return false;
    }
    connection.file_sent += put.bytes;
    connection.since = now;
  }
  return true;
}

// Closing with bytes unread, or with bytes still on their way (the rest of a request larger than
// the limit, a body, a head that came in several pieces), makes the kernel reset the connection,
// and the client may lose the response it has not read yet. So the sending side is ended first
// (the client sees the end of the response at once), and what the client still sends is read
// and discarded until it closes or the drain's time is up. A client that has ended its sending
// side already has nothing more on the way.
void finish_response(Connection& connection, Stream& stream, Clock::time_point now) {
  connection.response = Response();
  // Every byte is out: the close is orderly again, so nothing the client has yet to read is lost.
  if (connection.resets_on_close) {
    stream.set_reset_on_close(false);
    connection.resets_on_close = false;
  }
  if (!connection.client_ended) {
    stream.end_sending();
    connection.phase = Phase::kDraining;
    connection.since = now;
  } else {
    connection.phase = Phase::kClosed;
  }
}

void drain(Connection& connection, Stream& stream, Clock::time_point now,
           std::vector<char>& buffer) {
  for (int reads = 0; reads < kDrainReadsPerStep; ++reads) {
    const Transfer got = stream.receive(buffer.data(), buffer.size());
    if (got.outcome == Transfer::kWouldBlock) break;
    if (got.outcome != Transfer::kMoved) {
      connection.phase = Phase::kClosed;
      return;
    }
  }
  if (now - connection.since >= kDrainTime) connection.phase = Phase::kClosed;
}

}  // namespace

Connection accepted_connection(SOCKET socket, Clock::time_point now) {
  Connection connection;
  connection.socket = socket;
  connection.accepted = now;
  connection.since = now;
  return connection;
}

void drop_connection(Connection& connection, int error) {
  print_failure("recv failed: %d\n", error);
  connection.phase = Phase::kClosed;
}

void advance(Connection& connection, Stream& stream, const std::string& document_root,
             Clock::time_point now, std::vector<char>& buffer) {
  // A drain that begins in this step waits for the socket to be readable first: right after
  // the response, the client has rarely closed yet, and a read would only find nothing.
  const bool draining = connection.phase == Phase::kDraining;
  if (connection.phase == Phase::kReceiving) {
    if (!receive_request(connection, stream, now, buffer)) return;
    handle_request(connection, document_root, now);
  }
  if (connection.phase == Phase::kSending) {
    // Checked before sending: a socket that has not taken a byte for the whole bound may still
    // take some now into a send buffer the kernel has grown meanwhile, with the client reading
    // none of it.
    if (now - connection.since >= kSendStall) {
      close_with_send_failure(connection, stream, WSAETIMEDOUT);
    } else if (send_response(connection, stream, now)) {
      finish_response(connection, stream, now);
    }
  }
  if (draining) drain(connection, stream, now, buffer);
}

Clock::time_point deadline(const Connection& connection) {
  switch (connection.phase) {
    case Phase::kReceiving:
      return connection.request.empty() ? connection.accepted + kIdleTimeout
                                        : connection.since + kRequestLineWait;
    case Phase::kSending:
      return connection.since + kSendStall;
    case Phase::kDraining:
      return connection.since + kDrainTime;
    case Phase::kClosed:
      break;
  }
  return connection.since;
}

}  // namespace dirhttp
