// Which current directories the start-up accepts as the document root.
#include "server/document_root.h"

#include <gtest/gtest.h>

#include <string>

namespace dirhttp {
namespace {

TEST(DocumentRoot, BackslashRefusedOnlyWithPosixNames) {
  struct {
    std::string path;
    bool posix;
    bool windows;
  } cases[] = {
      {"/home/user/photos", true, true},     {"/", true, true},
      {"/srv/caf\xC3\xA9 & co", true, true}, {"/tmp/a\\..\\..\\..\\..", false, true},
      {"/tmp/back\\slash", false, true},     {"\\", false, true},
      {"C:\\Users\\me", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(root_is_servable(c.path, false), c.posix) << c.path;
    EXPECT_EQ(root_is_servable(c.path, true), c.windows) << c.path;
  }
}

}  // namespace
}  // namespace dirhttp
