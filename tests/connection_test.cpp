// One connection's state machine driven through a scripted stream: when a request counts as
// complete, what is sent and how, and each deadline measured on the connection's own progress.
#include "server/connection.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/scripted_stream.h"
#include "tests/temp_tree.h"

namespace dirhttp {
namespace {

using std::chrono::milliseconds;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const std::string kSmall = "hello\n";
const std::string kSmallResponse = "HTTP/1.1 200 OK\nContent-Type: text/plain\n\n" + kSmall;
const std::string kNotFound = kNotFoundResponse;

class ConnectionTest : public testing::Test {
 protected:
  ConnectionTest() {
    tree_.write("a.txt", kSmall);
    connection_ = accepted_connection(INVALID_SOCKET, start_);
  }

  // Advances the connection at `at` after the accept, capturing what it prints.
  void step_at(milliseconds at) {
    CaptureStdout();
    advance(connection_, stream_, tree_.root(), start_ + at, buffer_);
    console_ += GetCapturedStdout();
  }

  TempTree tree_;
  const Clock::time_point start_ = Clock::now();
  Connection connection_;
  ScriptedStream stream_;
  std::vector<char> buffer_ = std::vector<char>(kReceiveLimit);
  std::string console_;
};

TEST_F(ConnectionTest, RequestIsHandledOnceComplete) {
  const std::string long_line = "GET /" + std::string(70000, 'b');
  struct Case {
    const char* name;
    std::vector<Arrival> arrivals;
    milliseconds handled_at;   // the first step at which the response goes out
    std::string console;
    std::string response;
  };
  const Case cases[] = {
      {"one piece", {bytes("GET /a.txt HTTP/1.1\r\n\r\n")}, milliseconds(0),
       "GET /a.txt HTTP/1.1\r\n", kSmallResponse},
      // The second piece arrives by the next step.
      {"line split in two", {bytes("GET /a.t"), kNothing, bytes("xt HTTP/1.1\r\n")},
       milliseconds(100), "GET /a.txt HTTP/1.1\r\n", kSmallResponse},
      {"no line feed, client waits", {bytes("GET /a.txt\r")}, kRequestLineWait,
       "GET /a.txt\r\nNOMATCH\n", kNotFound},
      {"no line feed, client ends", {bytes("GET /a.txt HTTP/1.1"), kEnd}, milliseconds(0),
       "GET /a.txt HTTP/1.1\n", kSmallResponse},
      {"NUL ends the text", {bytes(std::string("GET /a.txt HTTP/1.1\0 trailing", 29))},
       milliseconds(0), "GET /a.txt HTTP/1.1\n", kSmallResponse},
      {"limit reached in pieces", {bytes(long_line.substr(0, 30000)), bytes(long_line.substr(30000))},
       milliseconds(0), long_line.substr(0, kReceiveLimit) + "\nNOMATCH\n", kNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connection_ = accepted_connection(INVALID_SOCKET, start_);
    stream_ = ScriptedStream();
    console_.clear();
    stream_.arrivals.assign(c.arrivals.begin(), c.arrivals.end());
    // Steps every 100 ms (and at the bound itself) until the response is out.
    std::vector<milliseconds> times;
    for (int t = 0; t <= 1000; t += 100) times.push_back(milliseconds(t));
    times.push_back(kRequestLineWait);
    std::sort(times.begin(), times.end());
    milliseconds handled_at(-1);
    for (milliseconds t : times) {
      step_at(t);
      if (!stream_.sent.empty()) {
        handled_at = t;
        break;
      }
    }
    EXPECT_EQ(handled_at, c.handled_at);
    EXPECT_EQ(console_, c.console);
    EXPECT_EQ(stream_.sent, c.response);
    EXPECT_LE(stream_.received_before_sending, kReceiveLimit);
  }
}

TEST_F(ConnectionTest, SilentConnectionIsClosedAfterTheIdleBound) {
  step_at(kIdleTimeout - milliseconds(1));
  EXPECT_EQ(connection_.phase, Phase::kReceiving);
  EXPECT_EQ(deadline(connection_), start_ + kIdleTimeout);
  step_at(kIdleTimeout);
  EXPECT_EQ(connection_.phase, Phase::kClosed);
  EXPECT_EQ(console_, "recv failed: " + std::to_string(WSAETIMEDOUT) + "\n");
  EXPECT_EQ(stream_.sent, "");
}

TEST_F(ConnectionTest, ClosedWithoutBytesOrFailedLeavesNoResponse) {
  stream_.arrivals = {kEnd};
  step_at(milliseconds(0));
  EXPECT_EQ(connection_.phase, Phase::kClosed);
  EXPECT_EQ(console_, "");

  connection_ = accepted_connection(INVALID_SOCKET, start_);
  stream_.arrivals = {{Transfer::kFailed, ""}};
  step_at(milliseconds(0));
  EXPECT_EQ(connection_.phase, Phase::kClosed);
  EXPECT_EQ(console_, "recv failed: 104\n");
  EXPECT_EQ(stream_.sent, "");
}

TEST_F(ConnectionTest, ResponseGoesOutAcrossManyShortSends) {
  stream_.arrivals = {bytes("GET /a.txt HTTP/1.1\r\n\r\n")};
  stream_.room = 7;
  stream_.room_left = 7;
  for (int t = 0; t == 0 || (t < 20 && connection_.phase == Phase::kSending); ++t) {
    step_at(milliseconds(t));
    stream_.room_left = 7;  // the socket is writable again: room for one more short send
  }
  EXPECT_EQ(stream_.sent, kSmallResponse);
  EXPECT_EQ(connection_.phase, Phase::kDraining);
}

TEST_F(ConnectionTest, SendStallIsMeasuredOnProgress) {
  stream_.arrivals = {bytes("GET /a.txt HTTP/1.1\r\n\r\n")};
  stream_.room_left = 10;
  step_at(milliseconds(0));
  // Some bytes at 20 s: the bound counts from there, not from the start of the response.
  stream_.room_left = 5;
  step_at(milliseconds(20000));
  step_at(milliseconds(20000) + kSendStall - milliseconds(1));
  EXPECT_EQ(connection_.phase, Phase::kSending);
  EXPECT_EQ(deadline(connection_), start_ + milliseconds(20000) + kSendStall);
  // Room appears just as the bound passes: the stalled response is given up all the same.
  stream_.room_left = std::size_t(-1);
  step_at(milliseconds(20000) + kSendStall);
  EXPECT_EQ(connection_.phase, Phase::kClosed);
  EXPECT_EQ(stream_.sent, kSmallResponse.substr(0, 15));
  EXPECT_EQ(console_, "GET /a.txt HTTP/1.1\r\nsend failed: " + std::to_string(WSAETIMEDOUT) + "\n");
}

TEST_F(ConnectionTest, FailedSendEndsTheConnection) {
  stream_.arrivals = {bytes("GET /a.txt HTTP/1.1\r\n\r\n")};
  stream_.send_error = 32;
  step_at(milliseconds(0));
  EXPECT_EQ(connection_.phase, Phase::kClosed);
  EXPECT_EQ(console_, "GET /a.txt HTTP/1.1\r\nsend failed: 32\n");
}

TEST_F(ConnectionTest, SendingSideEndsBeforeTheBoundedDrain) {
  stream_.arrivals = {bytes("POST /a.txt HTTP/1.1\r\n\r\nbody")};
  step_at(milliseconds(0));
  EXPECT_EQ(stream_.sent, kSmallResponse);
  EXPECT_TRUE(stream_.ended_sending);
  EXPECT_EQ(connection_.phase, Phase::kDraining);
  // The client keeps sending: discarded until the drain's time is up.
  stream_.arrivals = {bytes(std::string(100000, 'x'))};
  step_at(kDrainTime - milliseconds(1));
  EXPECT_EQ(connection_.phase, Phase::kDraining);
  stream_.arrivals = {bytes("more")};
  step_at(kDrainTime);
  EXPECT_EQ(connection_.phase, Phase::kClosed);
}

TEST_F(ConnectionTest, DrainEndsWhenTheClientCloses) {
  stream_.arrivals = {bytes("GET /a.txt HTTP/1.1\r\n\r\n")};
  step_at(milliseconds(0));
  EXPECT_EQ(connection_.phase, Phase::kDraining);
  stream_.arrivals = {kEnd};
  step_at(milliseconds(1));
  EXPECT_EQ(connection_.phase, Phase::kClosed);
}

TEST_F(ConnectionTest, ClientThatEndedItsSideIsClosedWithoutDrain) {
  // The end completes the request, so nothing more can be on its way.
  stream_.arrivals = {bytes("GET /a.txt HTTP/1.1"), kEnd};
  step_at(milliseconds(0));
  EXPECT_EQ(stream_.sent, kSmallResponse);
  EXPECT_EQ(connection_.phase, Phase::kClosed);
  EXPECT_FALSE(stream_.ended_sending);
}

TEST_F(ConnectionTest, LargeFileIsSentFromTheFileToItsSizeAtOpen) {
  std::string content(40 * 1024, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 13 + i / 256);
  tree_.write("big.bin", content);
  stream_.arrivals = {bytes("GET /big.bin HTTP/1.1\r\n\r\n")};
  stream_.room = 4096;
  stream_.room_left = 4096;
  step_at(milliseconds(0));
  EXPECT_EQ(connection_.phase, Phase::kSending);
  std::ofstream(tree_.root() + "/big.bin", std::ios::binary | std::ios::app) << "grown";
  for (int t = 1; t < 100 && connection_.phase == Phase::kSending; ++t) {
    stream_.room_left = 4096;
    step_at(milliseconds(t));
  }
  EXPECT_EQ(stream_.sent,
            "HTTP/1.1 200 OK\nContent-Type: application/octet-stream\n\n" + content);
}

}  // namespace
}  // namespace dirhttp
