// Fuzzes one connection's state machine with a scripted client: request bytes in random pieces,
// the client's end, a failed receive, the socket's room for sends, failed sends and time passing,
// in any order. Checks that at most 65,535 bytes are read before the response, that what is sent
// is always the start of the response for the text that was handled (all of it when the response
// ends normally), that its close is a reset exactly when the response did not go out whole, and
// that every connection is closed once time runs past its deadlines.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "server/connection.h"
#include "server/deadline_order.h"
#include "server/request_target.h"
#include "tests/scripted_stream.h"

namespace {

using dirhttp::Clock;
using dirhttp::Phase;
using dirhttp::Transfer;
using std::chrono::milliseconds;

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
};

std::string* root = nullptr;

// After a step at `now`, files the connection as the serving loop does (slot 0) and checks the
// order against the connection's own deadline.
void check_bookkeeping(const dirhttp::Connection& connection, Clock::time_point now,
                       dirhttp::DeadlineOrder& deadlines, dirhttp::TimeOrder& waiting) {
  deadlines.set(0, dirhttp::timing_of(connection));
  if (connection.phase != Phase::kReceiving) waiting.remove(0);
  std::vector<std::size_t> due;
  if (connection.phase == Phase::kClosed) {
    FUZZ_CHECK(deadlines.earliest() == Clock::time_point::max());
    deadlines.collect_due(Clock::time_point::max() - std::chrono::hours(1), due);
    FUZZ_CHECK(due.empty());
    return;
  }
  FUZZ_CHECK(deadlines.earliest() == dirhttp::deadline(connection));
  FUZZ_CHECK(dirhttp::deadline(connection) > now);
  deadlines.collect_due(now, due);
  FUZZ_CHECK(due.empty());
  deadlines.collect_due(dirhttp::deadline(connection), due);
  FUZZ_CHECK(due.size() == 1 && due[0] == 0);
  FUZZ_CHECK(waiting.contains(0) == (connection.phase == Phase::kReceiving));
}

void remove_root() {
  if (root != nullptr) std::filesystem::remove_all(*root);
}

// The whole response the connection should send for the request text it handled.
std::string expected_response(const std::string& handled) {
  const std::string text(handled.data(), strnlen(handled.data(), handled.size()));
  dirhttp::Response response =
      dirhttp::build_response(*root, dirhttp::extract_request_target(text));
  std::string whole = response.text;
  if (response.body_file.is_open()) {
    dirhttp::append_file_bytes(response.body_file, response.body_file.size(), whole);
  }
  return whole;
}

// Pieces a script is likely to need whole: the start of a request line for each kind of answer.
const std::string kPieces[] = {"GET /a.txt HTTP/1.1\r\n",
                               "GET /big.bin HTTP/1.1\r\n",
                               "GET /docs/ HTTP/1.1\r\n",
                               "GET /a.t",
                               "xt HTTP/1.1",
                               "\r\n",
                               "\n",
                               std::string("\0", 1)};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static NullBuffer null_buffer;
  std::cout.rdbuf(&null_buffer);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  std::string pattern = (std::filesystem::temp_directory_path() / "dirhttp-fuzz-XXXXXX").string();
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  root = new std::string(pattern);
  std::filesystem::create_directories(*root + "/docs");
  std::ofstream(*root + "/a.txt", std::ios::binary) << "alpha\n";
  std::ofstream(*root + "/docs/b.css", std::ios::binary) << "b{}";
  std::string big(dirhttp::kInMemoryFileLimit + 5000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 253);
  std::ofstream(*root + "/big.bin", std::ios::binary) << big;
  std::atexit(remove_root);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const Clock::time_point start{};
  Clock::time_point now = start;
  dirhttp::Connection connection = dirhttp::accepted_connection(INVALID_SOCKET, now);
  dirhttp::ScriptedStream stream;
  std::vector<char> buffer(dirhttp::kReceiveLimit);
  bool send_failed = false;
  dirhttp::DeadlineOrder deadlines;
  dirhttp::TimeOrder waiting;
  waiting.insert(0, now);
  deadlines.set(0, dirhttp::timing_of(connection));

  for (int steps = 0; steps < 200 && input.remaining_bytes() > 0; ++steps) {
    switch (input.ConsumeIntegralInRange(0, 7)) {
      case 0:
        stream.arrivals.push_back(dirhttp::bytes(input.ConsumeRandomLengthString(4096)));
        break;
      case 1:
        stream.arrivals.push_back(
            dirhttp::bytes(kPieces[input.ConsumeIntegralInRange<std::size_t>(0, 7)]));
        break;
      case 2:
        stream.arrivals.push_back(
            dirhttp::bytes(std::string(input.ConsumeIntegralInRange(1, 70000), 'x')));
        break;
      case 3:
        stream.arrivals.push_back(dirhttp::kEnd);
        break;
      case 4:
        stream.arrivals.push_back({Transfer::kFailed, ""});
        break;
      case 5:
        stream.room = input.ConsumeIntegralInRange<std::size_t>(1, 70000);
        stream.room_left = input.ConsumeIntegralInRange<std::size_t>(0, 200000);
        break;
      case 6:
        stream.send_error = input.ConsumeBool() ? 32 : 0;
        send_failed = send_failed || stream.send_error != 0;
        break;
      default:
        now += milliseconds(input.ConsumeIntegralInRange(0, 40000));
        break;
    }
    if (connection.phase != Phase::kClosed) {
      dirhttp::advance(connection, stream, *root, now, buffer);
      check_bookkeeping(connection, now, deadlines, waiting);
    }
  }

  // The client goes quiet, reads everything and closes; time runs on: every connection ends.
  stream.send_error = 0;
  stream.room = std::size_t(1) << 20;
  stream.room_left = std::size_t(-1);
  stream.arrivals.push_back(dirhttp::kEnd);
  for (int steps = 0; steps < 8 && connection.phase != Phase::kClosed; ++steps) {
    now += milliseconds(40000);
    dirhttp::advance(connection, stream, *root, now, buffer);
    check_bookkeeping(connection, now, deadlines, waiting);
  }
  FUZZ_CHECK(connection.phase == Phase::kClosed);

  if (!stream.sent.empty()) {
    FUZZ_CHECK(stream.received_before_sending <= dirhttp::kReceiveLimit);
    const std::string whole =
        expected_response(stream.delivered.substr(0, stream.received_before_sending));
    FUZZ_CHECK(stream.sent.size() <= whole.size());
    FUZZ_CHECK(whole.compare(0, stream.sent.size(), stream.sent) == 0);
    // A response that went out without a failed send or a stall ends with a drain or a close
    // after all of it.
    if (stream.ended_sending) FUZZ_CHECK(stream.sent == whole);
    // The close resets the connection exactly when the response did not go out whole, and the
    // sending side is never ended while it would.
    FUZZ_CHECK(stream.resets_on_close == (stream.sent != whole));
    FUZZ_CHECK(!stream.reset_when_ended);
  }
  return 0;
}
