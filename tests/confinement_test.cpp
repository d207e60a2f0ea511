// Which request targets stay inside the document root, with POSIX and with Windows file names.
#include "server/confinement.h"

#include <gtest/gtest.h>

#include <string>

namespace dirhttp {
namespace {

using namespace std::string_literals;

struct ConfinementCase {
  std::string target;
  bool posix;    // confined under POSIX names
  bool windows;  // confined under Windows names
};

TEST(Confinement, Table) {
  const ConfinementCase cases[] = {
      {"\\", true, true},
      {"\\index.html", true, true},
      {"\\docs\\a\\b.txt", true, true},
      {"\\docs\\\\", true, true},
      {"\\.hidden", true, true},
      {"\\a..b", true, true},
      {"\\..a", true, true},
      {"\\.", true, true},
      {"\\...", true, false},  // Windows drops trailing dots: "..." is ".."
      {"\\. .", true, false},
      {"\\.. ", true, false},
      {"\\a\\... \\x", true, false},
      // Leaving the root.
      {"", false, false},
      {"abc", false, false},
      {"..", false, false},
      {"\\..", false, false},
      {"\\..\\", false, false},
      {"\\a\\..\\..\\x", false, false},
      {"\\../x", false, false},
      {"\\a/../../x", false, false},
      {"\\x\\..", false, false},
      {"/..", false, false},
      // A NUL ends the name the file system sees, but not the one the content type comes from.
      {"\\a.txt\0.html"s, false, false},
      // Colons: drive letters and alternate data streams.
      {"\\C:\\Windows\\win.ini", true, false},
      {"\\file.txt:stream", true, false},
      {"\\C:x", true, false},
      // Reserved device names, any case, with or without an extension.
      {"\\CON", true, false},
      {"\\con", true, false},
      {"\\docs\\nul.txt", true, false},
      {"\\Aux.html", true, false},
      {"\\prn", true, false},
      {"\\COM1", true, false},
      {"\\com9.log", true, false},
      {"\\LPT1", true, false},
      {"\\lpt5.txt.bak", true, false},
      {"\\CON .txt", true, false},
      {"\\COM\xB9", true, false},
      {"\\COM0", true, true},
      {"\\COM10", true, true},
      {"\\CONSOLE", true, true},
      {"\\NULL.txt", true, true},
      {"\\icon.png", true, true},
      {"\\a\\LPT", true, true},
      // Console and clock devices.
      {"\\CONIN$", true, false},
      {"\\conout$", true, false},
      {"\\docs\\Clock$.txt", true, false},
      {"\\CONIN", true, true},
      {"\\CONOUT$x", true, true},
      // Bytes the ANSI code page cannot convert (UTF-8 here, as with Windows' UTF-8 code page):
      // Windows would drop or replace them before it looks at the name.
      {"\\..\x81", true, false},
      {"\\NUL\x81", true, false},
      {"\\COM1\x81", true, false},
      {"\\caf\xE9.txt", true, false},
      {"\\x\xE6\x97", true, false},
      {"\\caf\xC3\xA9\\\xE6\x97\xA5\xF0\x9F\x8E\x89.txt", true, true},
  };
  for (const ConfinementCase& c : cases) {
    EXPECT_EQ(target_is_confined(c.target, false), c.posix) << "POSIX: " << c.target.c_str();
    EXPECT_EQ(target_is_confined(c.target, true), c.windows) << "Windows: " << c.target.c_str();
  }
}

}  // namespace
}  // namespace dirhttp
