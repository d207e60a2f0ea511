// The content type chosen from a full path's extension.
#include "content/content_type.h"

#include <gtest/gtest.h>

namespace dirhttp {
namespace {

TEST(ContentType, TableExtensions) {
  EXPECT_EQ(content_type_for_path("C:\\site\\index.html"), "text/html");
}

}  // namespace
}  // namespace dirhttp
