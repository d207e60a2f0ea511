// The POSIX stand-in's MultiByteToWideChar: the ANSI code page is UTF-8, decoded strictly.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"

namespace dirhttp {
namespace {

using Wide = std::u16string;

// The conversion of `bytes`, or "failed" when the call returns 0.
Wide convert(const std::string& bytes, DWORD flags) {
  Wide wide(bytes.size() + 1, u'\0');
  const int units = MultiByteToWideChar(CP_ACP, flags, bytes.data(), static_cast<int>(bytes.size()),
                                        wide.data(), static_cast<int>(wide.size()));
  return units == 0 ? u"failed" : wide.substr(0, static_cast<std::size_t>(units));
}

TEST(PlatformCodePage, ConvertsUtf8AndRefusesWhatIsNotUtf8) {
  struct {
    std::string bytes;
    Wide strict;   // with MB_ERR_INVALID_CHARS
    Wide lenient;  // without: U+FFFD for each byte that does not decode
  } cases[] = {
      {"abc", u"abc", u"abc"},
      {"caf\xC3\xA9", u"caf\u00E9", u"caf\u00E9"},
      {"\xE6\x97\xA5", u"\u65E5", u"\u65E5"},
      {"\xEF\xBF\xBF", u"\uFFFF", u"\uFFFF"},
      {"\xF0\x9F\x8E\x89", u"\U0001F389", u"\U0001F389"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF", u"\U0010FFFF"},
      {"caf\xE9", u"failed", u"caf\uFFFD"},
      {"\x81", u"failed", u"\uFFFD"},
      {"\xE6\x97", u"failed", u"\uFFFD\uFFFD"},
      {"\xC0\xAF", u"failed", u"\uFFFD\uFFFD"},                      // overlong
      {"\xE0\x80\xAF", u"failed", u"\uFFFD\uFFFD\uFFFD"},            // overlong
      {"\xED\xA0\x80", u"failed", u"\uFFFD\uFFFD\uFFFD"},            // a surrogate
      {"\xF4\x90\x80\x80", u"failed", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xF8\x88\x80\x80\x80", u"failed", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(convert(c.bytes, MB_ERR_INVALID_CHARS), c.strict) << c.bytes;
    EXPECT_EQ(convert(c.bytes, 0), c.lenient) << c.bytes;
  }
}

TEST(PlatformCodePage, CountsAndRefusesTooSmallABuffer) {
  const char text[] = "\xF0\x9F\x8E\x89x";
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 5, nullptr, 0), 3);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), 4);  // with the NUL
  WCHAR wide[2];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 5, wide, 2), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 0, wide, 2), 0);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, text, 5, wide, 2), 0);
}

}  // namespace
}  // namespace dirhttp
