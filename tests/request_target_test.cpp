// Finding the request line and turning its path into the request target.
#include "server/request_target.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

namespace dirhttp {
namespace {

using namespace std::string_literals;

// Captures what extract_request_target prints while it runs.
struct Extracted {
  std::string target;
  std::string console;
};

Extracted extract(const std::string& text) {
  std::ostringstream captured;
  std::streambuf* old = std::cout.rdbuf(captured.rdbuf());
  std::string target = extract_request_target(text);
  std::cout.rdbuf(old);
  return {target, captured.str()};
}

struct TargetCase {
  const char* name;
  std::string request;
  std::string target;  // empty: no request line, "NOMATCH" expected
};

const std::string kHeaders = "Host: localhost:8080\r\nAccept: */*\r\n\r\n";

const TargetCase kTargetCases[] = {
    {"PlainFile", "GET /index.html HTTP/1.1\r\n" + kHeaders, "\\index.html"},
    {"Root", "GET / HTTP/1.1\r\n", "\\"},
    {"NestedPath", "GET /docs/a/b.txt HTTP/1.0\r\n", "\\docs\\a\\b.txt"},
    {"EscapedSpace", "GET /my%20file.txt HTTP/1.1\r\n", "\\my file.txt"},
    {"EscapedSlashStaysSlash", "GET /a%2Fb HTTP/1.1\r\n", "\\a/b"},
    {"LowerAndUpperHex", "GET /%41%4a HTTP/1.1\r\n", "\\AJ"},
    {"EscapedPercent", "GET /100%25 HTTP/1.1\r\n", "\\100%"},
    {"DecodedOnlyOnce", "GET /%2541 HTTP/1.1\r\n", "\\%41"},
    {"ShortEscapeAtEnd", "GET /a%4 HTTP/1.1\r\n", "\\a\x04"},
    {"NegativeEscape", "GET /%-1 HTTP/1.1\r\n", "\\\xFF"},
    {"EscapedNul", "GET /%00x HTTP/1.1\r\n", "\\\0x"s},
    {"EscapedBackslash", "GET /a%5Cb HTTP/1.1\r\n", "\\a\\b"},
    {"NoLeadingSlash", "GET abc HTTP/1.1\r\n", "abc"},
    {"AnyCapitalsAsMethod", "HEAD /x HTTP/1.1\r\n", "\\x"},
    {"MadeUpMethod", "BREW /x HTTP/1.1\r\n", "\\x"},
    {"SeveralSpaces", "GET   /x   HTTP/1.1\r\n", "\\x"},
    {"NoVersion", "GET /x \r\n", "\\x"},
    {"TargetSetPunctuation", "GET /a.b-c_d!e(f)g@h HTTP/1.1\r\n", "\\a.b-c_d!e(f)g@h"},
    {"DotDotReachesCaller", "GET /../x HTTP/1.1\r\n", "\\..\\x"},
    {"LineEndRightAfterPath", "GET /x\r\n", ""},
    {"QuestionMarkEndsThePath", "GET /x?y=1 HTTP/1.1\r\n", ""},
    {"LowerCaseMethod", "get /x HTTP/1.1\r\n", ""},
    {"TabIsNoSpace", "GET\t/x HTTP/1.1\r\n", ""},
    {"LeadingSpace", " GET /x HTTP/1.1\r\n", ""},
    {"AsteriskForm", "OPTIONS * HTTP/1.1\r\n", ""},
    {"AbsoluteForm", "GET http://localhost:8080/x HTTP/1.1\r\n", ""},
    {"Empty", "", ""},
    {"LaterLineMatches", "get /a HTTP/1.1\r\nPUT /b HTTP/1.1\r\n", "\\b"},
    {"LoneCarriageReturnStartsNoLine", "get /a HTTP/1.1\rGET /b HTTP/1.1", ""},
    {"BareLineFeeds", "x\nGET /c HTTP/1.1\n", "\\c"},
    {"FirstMatchingLineWins", "GET /one HTTP/1.1\nGET /two HTTP/1.1\n", "\\one"},
    {"HighByteEndsThePath", "GET /caf\xE9 HTTP/1.1\r\n", ""},
    {"EndOfTextAfterPath", "GET /x", ""},
    {"MethodOnly", "GET", ""},
    {"NulEndsNothingHere", "GET /a\0b HTTP/1.1\r\n"s, ""},
};

void PrintTo(const TargetCase& c, std::ostream* out) { *out << c.name; }

class RequestTarget : public testing::TestWithParam<TargetCase> {};

TEST_P(RequestTarget, MatchesTheRequestLineShape) {
  const TargetCase& c = GetParam();
  const Extracted got = extract(c.request);
  EXPECT_EQ(got.target, c.target);
  EXPECT_EQ(got.console, c.target.empty() ? "NOMATCH\n" : "");
}

INSTANTIATE_TEST_SUITE_P(Table, RequestTarget, testing::ValuesIn(kTargetCases),
                         [](const testing::TestParamInfo<TargetCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(RequestTargetLimits, SixtyThousandBytePath) {
  std::string path = "/";
  for (int i = 0; path.size() < 60000; ++i) path += (i % 7 == 0) ? "/" : "a%41";
  const Extracted got = extract("GET " + path + " HTTP/1.1\r\n\r\n");
  std::string expected;
  for (char c : path) expected += c == '/' ? '\\' : c;
  std::string decoded;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (expected.compare(i, 3, "%41") == 0) {
      decoded += 'A';
      i += 2;
    } else {
      decoded += expected[i];
    }
  }
  EXPECT_EQ(got.target, decoded);
  EXPECT_EQ(got.console, "");
}

TEST(RequestTargetLimits, FullReceiveOfMixedBytesAndManyLines) {
  // 65,535 bytes: short lines of every byte value that almost match, then the one that does.
  std::string text;
  unsigned seed = 12345;
  while (text.size() < 65535 - 40) {
    seed = seed * 1103515245u + 12345u;
    switch ((seed >> 16) % 4) {
      case 0: text += "GET /almost?"; break;
      case 1: text += "GET\t/x "; break;
      case 2: text += static_cast<char>((seed >> 8) & 0xFF); break;
      default: text += "\r\n"; break;
    }
  }
  text += "\nPOST /found HTTP/1.1\r\n";
  text.resize(65535, 'x');
  const Extracted got = extract(text);
  EXPECT_EQ(got.target, "\\found");
}

TEST(RequestTargetLimits, LongLineWithoutMatchPrintsNomatch) {
  const Extracted got = extract("GET /" + std::string(65000, 'a'));
  EXPECT_EQ(got.target, "");
  EXPECT_EQ(got.console, "NOMATCH\n");
}

struct DecodeCase {
  std::string input;
  std::string output;
};

TEST(PercentDecode, ScanRules) {
  const DecodeCase cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"%41", "A"},
      {"%7e%7E", "~~"},
      {"%4", "\x04"},
      {"%", "\0"s},          // a percent sign at the end holds no digit
      {"%zz", "\0"s},        // neither byte is a digit: one NUL, both consumed
      {"%zzA", "\0A"s},
      {"%4z", "\x04"},       // the scan stops at the first non-digit
      {"%-1", "\xFF"},
      {"%-f", "\xF1"},
      {"%-", "\0"s},
      {"%0x", "\0"s},        // "0x" reads as zero
      {"%%41", "\0" "1"s},   // the second percent sign is consumed by the first escape
      {"%2541", "%41"},
      {"a%20b%20", "a b "},
  };
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(percent_decode(c.input), c.output) << "input: " << c.input;
  }
}

}  // namespace
}  // namespace dirhttp
