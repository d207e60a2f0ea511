// One connection's state machine driven through a scripted stream: when a request counts as
// complete, what is sent and how, and each deadline measured on the connection's own progress.
#include "server/connection.h"

#include <gtest/gtest.h>
#include <unistd.h>

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

  // A new connection whose client sends `arrivals`, with nothing printed yet.
  void start_over(std::vector<Arrival> arrivals) {
    connection_ = accepted_connection(INVALID_SOCKET, start_);
    stream_ = ScriptedStream();
    stream_.arrivals.assign(arrivals.begin(), arrivals.end());
    console_.clear();
  }

  // Steps every `every` until the response is no longer being sent (at most `steps` times), the
  // socket taking `room` bytes in each step.
  void send_in_steps(std::size_t room, milliseconds every, int steps = 1000) {
    stream_.room = room;
    for (int i = 1; i <= steps && connection_.phase == Phase::kSending; ++i) {
      stream_.room_left = room;
      step_at(every * i);
    }
  }

  // A file larger than the in-memory limit, so its body is sent from the file.
  std::string write_big(const char* name, std::size_t size = 40 * 1024) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
      content[i] = static_cast<char>(i * 13 + i / 256);
    }
    tree_.write(name, content);
    return content;
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
    milliseconds handled_at;  // the first step at which the response goes out
    std::string console;
    std::string response;
  };
  const Case cases[] = {
      {"one piece",
       {bytes("GET /a.txt HTTP/1.1\r\n\r\n")},
       milliseconds(0),
       "GET /a.txt HTTP/1.1\r\n",
       kSmallResponse},
      // The second piece arrives by the next step.
      {"line split in two",
       {bytes("GET /a.t"), kNothing, bytes("xt HTTP/1.1\r\n")},
       milliseconds(100),
       "GET /a.txt HTTP/1.1\r\n",
       kSmallResponse},
      {"no line feed, client waits",
       {bytes("GET /a.txt\r")},
       kRequestLineWait,
       "GET /a.txt\r\nNOMATCH\n",
       kNotFound},
      {"no line feed, client ends",
       {bytes("GET /a.txt HTTP/1.1"), kEnd},
       milliseconds(0),
       "GET /a.txt HTTP/1.1\n",
       kSmallResponse},
      {"NUL ends the text",
       {bytes(std::string("GET /a.txt HTTP/1.1\0 trailing", 29))},
       milliseconds(0),
       "GET /a.txt HTTP/1.1\n",
       kSmallResponse},
      {"limit reached in pieces",
       {bytes(long_line.substr(0, 30000)), bytes(long_line.substr(30000))},
       milliseconds(0),
       long_line.substr(0, kReceiveLimit) + "\nNOMATCH\n",
       kNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start_over(c.arrivals);
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
  // The end completes the request, so nothing more can be on its way. The close right after
  // the last byte is orderly, for a body from the file too.
  const std::string big_response =
      "HTTP/1.1 200 OK\nContent-Type: application/octet-stream\n\n" + write_big("big.bin");
  for (const std::string path : {"/a.txt", "/big.bin"}) {
    SCOPED_TRACE(path);
    start_over({bytes("GET " + path + " HTTP/1.1"), kEnd});
    step_at(milliseconds(0));
    EXPECT_EQ(stream_.sent, path == "/a.txt" ? kSmallResponse : big_response);
    EXPECT_EQ(connection_.phase, Phase::kClosed);
    EXPECT_FALSE(stream_.ended_sending);
    EXPECT_FALSE(stream_.resets_on_close);
  }
}

TEST_F(ConnectionTest, WholeResponseEndsInOrder) {
  const std::string big = write_big("big.bin");
  const std::string big_response =
      "HTTP/1.1 200 OK\nContent-Type: application/octet-stream\n\n" + big;
  struct Case {
    const char* name;
    const char* request;
    std::size_t room;  // what the socket takes in the first send and in each later step
    std::string response;
    int reset_switches;  // 0: no extra call; 2: the reset armed, then cleared before the end
    std::size_t sent_when_armed;
  };
  const std::size_t never = std::size_t(-1);
  const Case cases[] = {
      {"small file in one send", "GET /a.txt HTTP/1.1\r\n\r\n", 1 << 20, kSmallResponse, 0, never},
      {"404 in one send", "GET /none HTTP/1.1\r\n\r\n", 1 << 20, kNotFound, 0, never},
      // Armed once the first send left some of it.
      {"small file in short sends", "GET /a.txt HTTP/1.1\r\n\r\n", 7, kSmallResponse, 2, 7},
      // Armed before the header: the header alone never ends in order.
      {"large file from the file", "GET /big.bin HTTP/1.1\r\n\r\n", 1 << 20, big_response, 2, 0},
      {"large file in short sends", "GET /big.bin HTTP/1.1\r\n\r\n", 4096, big_response, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start_over({bytes(c.request)});
    stream_.room = c.room;
    stream_.room_left = c.room;
    step_at(milliseconds(0));
    send_in_steps(c.room, milliseconds(1));
    EXPECT_EQ(stream_.sent, c.response);
    EXPECT_EQ(connection_.phase, Phase::kDraining);
    EXPECT_TRUE(stream_.ended_sending);
    EXPECT_FALSE(stream_.reset_when_ended);
    EXPECT_FALSE(stream_.resets_on_close);
    EXPECT_EQ(stream_.reset_switches, c.reset_switches);
    EXPECT_EQ(stream_.sent_when_armed, c.sent_when_armed);
  }
}

TEST_F(ConnectionTest, UnfinishedResponseEndsWithAReset) {
  const std::string big = write_big("big.bin");
  const std::string head = "HTTP/1.1 200 OK\nContent-Type: application/octet-stream\n\n";
  const std::string request_line = "GET /big.bin HTTP/1.1\r\n";
  const std::string timed_out = "send failed: " + std::to_string(WSAETIMEDOUT) + "\n";
  struct Case {
    const char* name;
    std::uint64_t file_fails_at;  // a read of the file fails from this byte on
    std::uint64_t shrinks_to;     // the file is cut to this size once its body has begun
    int send_error;               // the second send fails with this error
    bool stalls;                  // after the first send the socket takes nothing
    std::size_t body_sent;        // body bytes the client receives before the reset
    std::string console;
  };
  const Case cases[] = {
      {"send bound passes", std::uint64_t(-1), 0, 0, true, 4096 - head.size(),
       request_line + timed_out},
      {"read fails part-way", 10000, 0, 0, false, 10000, request_line},
      {"file shrinks", std::uint64_t(-1), 20000, 0, false, 20000, request_line},
      {"send fails", std::uint64_t(-1), 0, 104, false, 4096 - head.size(),
       request_line + "send failed: 104\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tree_.write("big.bin", big);
    start_over({bytes(request_line + "\r\n")});
    stream_.file_fails_at = c.file_fails_at;
    stream_.room = 4096;
    stream_.room_left = 4096;
    step_at(milliseconds(0));
    ASSERT_EQ(connection_.phase, Phase::kSending);
    // In flight, the close (or the process's end) would already reset the connection.
    EXPECT_TRUE(stream_.resets_on_close);
    if (c.shrinks_to != 0) {
      ASSERT_EQ(truncate((tree_.root() + "/big.bin").c_str(), static_cast<off_t>(c.shrinks_to)), 0);
    }
    stream_.send_error = c.send_error;
    if (c.stalls) {
      stream_.room_left = 0;
      step_at(kSendStall - milliseconds(1));
      EXPECT_EQ(connection_.phase, Phase::kSending);
      step_at(kSendStall);
    } else {
      send_in_steps(4096, milliseconds(1));
    }
    EXPECT_EQ(connection_.phase, Phase::kClosed);
    EXPECT_TRUE(stream_.resets_on_close);
    EXPECT_FALSE(stream_.ended_sending);
    EXPECT_EQ(stream_.sent, head + big.substr(0, c.body_sent));
    EXPECT_EQ(console_, c.console);
  }
}

TEST_F(ConnectionTest, BodyCutShortInMemoryEndsWithAReset) {
  // A read of a small file failed part-way: the bytes read go out, then the reset.
  connection_.phase = Phase::kSending;
  connection_.response.text = "HTTP/1.1 200 OK\nContent-Type: text/plain\n\nhal";
  connection_.response.cut_short = true;
  step_at(milliseconds(0));
  EXPECT_EQ(stream_.sent, "HTTP/1.1 200 OK\nContent-Type: text/plain\n\nhal");
  EXPECT_EQ(connection_.phase, Phase::kClosed);
  EXPECT_TRUE(stream_.resets_on_close);
  EXPECT_FALSE(stream_.ended_sending);
}

TEST_F(ConnectionTest, FileBodyThatKeepsMovingIsNeverGivenUp) {
  // 1 KiB every 10 s: the whole body takes minutes, far past the send bound, and is never cut.
  const std::string big = write_big("big.bin");
  stream_.arrivals = {bytes("GET /big.bin HTTP/1.1\r\n\r\n")};
  stream_.room = 1024;
  stream_.room_left = 1024;
  step_at(milliseconds(0));
  send_in_steps(1024, milliseconds(10000), 100);
  EXPECT_EQ(stream_.sent, "HTTP/1.1 200 OK\nContent-Type: application/octet-stream\n\n" + big);
  EXPECT_EQ(connection_.phase, Phase::kDraining);
  EXPECT_EQ(console_, "GET /big.bin HTTP/1.1\r\n");
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
  EXPECT_EQ(stream_.sent, "HTTP/1.1 200 OK\nContent-Type: application/octet-stream\n\n" + content);
}

}  // namespace
}  // namespace dirhttp
