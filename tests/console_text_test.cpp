// Escaping of outside text for the console: control bytes shown as \xHH, everything else as is.
#include "server/console_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

namespace dirhttp {
namespace {

using namespace std::string_literals;

struct ConsoleCase {
  const char* name;
  std::string line;
  std::string shown;
};

const ConsoleCase kLineCases[] = {
    {"BrowserLineKeepsItsFinalCr", "GET /docs/a%20b.txt HTTP/1.1\r",
     "GET /docs/a%20b.txt HTTP/1.1\r"},
    {"LineWithoutCr", "HEAD / HTTP/1.0", "HEAD / HTTP/1.0"},
    {"Empty", "", ""},
    {"OnlyTheFinalCr", "\r", "\r"},
    {"HighBytesUnchanged", "GET /caf\xC3\xA9 \x80\x9B\xFF HTTP/1.1\r",
     "GET /caf\xC3\xA9 \x80\x9B\xFF HTTP/1.1\r"},
    {"PrintableAsciiUnchanged", " !\"#$%&'()*+,-./09:;<=>?@AZ[\\]^_`az{|}~",
     " !\"#$%&'()*+,-./09:;<=>?@AZ[\\]^_`az{|}~"},
    {"TerminalTitleAndClear", "\x1B]0;owned\x07\x1B[2J GET / HTTP/1.1\r",
     "\\x1B]0;owned\\x07\\x1B[2J GET / HTTP/1.1\r"},
    {"LoneCrMidLine", "GET /a\rforged HTTP/1.1\r", "GET /a\\x0Dforged HTTP/1.1\r"},
    {"TwoFinalCrsKeepOne", "GET / HTTP/1.1\r\r", "GET / HTTP/1.1\\x0D\r"},
    {"Nul", "a\0b"s, "a\\x00b"},
    {"EveryLowControl", "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0E\x0F",
     "\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\\x09\\x0A\\x0B\\x0C\\x0E\\x0F"},
    {"UpperControls", "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1A\x1B\x1C\x1D\x1E\x1F",
     "\\x10\\x11\\x12\\x13\\x14\\x15\\x16\\x17\\x18\\x19\\x1A\\x1B\\x1C\\x1D\\x1E\\x1F"},
    {"Delete",
     "a\x7F"
     "b",
     "a\\x7Fb"},
    {"BackspaceCannotEraseWhatWasShown", "GET /x HTTP/1.1\b\b\b\b\r",
     "GET /x HTTP/1.1\\x08\\x08\\x08\\x08\r"},
};

// Failures name the case rather than dump its bytes.
void PrintTo(const ConsoleCase& c, std::ostream* os) { *os << c.name; }

class ConsoleLine : public testing::TestWithParam<ConsoleCase> {};

TEST_P(ConsoleLine, ShowsControlBytesAsHex) {
  EXPECT_EQ(escape_console_line(GetParam().line), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConsoleLine, testing::ValuesIn(kLineCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConsoleText, EscapesAFinalCrToo) {
  EXPECT_EQ(escape_console_text("Pictures\r"), "Pictures\\x0D");
  EXPECT_EQ(escape_console_text("\x1B[2J\n"), "\\x1B[2J\\x0A");
  EXPECT_EQ(escape_console_text("my photos \xC3\xA9"), "my photos \xC3\xA9");
}

TEST(ConsoleLine, EveryByteValue) {
  for (int value = 0; value < 256; ++value) {
    const std::string line = "a"s + static_cast<char>(value) + "b";
    const std::string shown = escape_console_line(line);
    if (value < 0x20 || value == 0x7F) {
      char expected[8];
      std::snprintf(expected, sizeof expected, "a\\x%02Xb", value);
      EXPECT_EQ(shown, expected) << value;
    } else {
      EXPECT_EQ(shown, line) << value;
    }
  }
}

}  // namespace
}  // namespace dirhttp
