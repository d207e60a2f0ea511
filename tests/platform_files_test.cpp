// The file-system calls keep their Win32 contracts: backslash paths, every entry delivered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file_io.h"
#include "platform/win32.h"
#include "tests/temp_tree.h"

namespace dirhttp {
namespace {

// The names FindFirstFileA/FindNextFileA deliver for `pattern`, in their order; `opened` tells
// whether the enumeration began at all.
std::vector<std::string> enumerate(const std::string& pattern, bool* opened = nullptr) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA(pattern.c_str(), &entry);
  if (opened != nullptr) *opened = find != INVALID_HANDLE_VALUE;
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(entry.cFileName);
  } while (FindNextFileA(find, &entry) != 0);
  FindClose(find);
  return names;
}

TEST(PlatformFiles, EnumerationDeliversEveryEntryWithDots) {
  TempTree tree;
  tree.mkdir("d/sub");
  tree.write("d/.hidden", "");
  tree.write("d/file.txt", "");
  bool opened = false;
  const std::vector<std::string> names = enumerate(tree.root() + "\\d\\*", &opened);
  EXPECT_TRUE(opened);
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", ".hidden", "file.txt", "sub"}));
  // The root of a listing arrives with its separator doubled.
  EXPECT_EQ(enumerate(tree.root() + "\\d\\\\*", &opened).size(), 5u);
}

// The order NTFS delivers: "." and "..", then a-z read as A-Z, then unsigned bytes.
TEST(PlatformFiles, EnumerationComesInNameOrder) {
  // clang-format off
  const std::vector<std::string> in_order = {
      ".", "..", "-dash", ".hidden", "0", "10", "2",
      "A", "a", "a-b", "aa", "Ab", "ab", "a_b", "B",
      // Alike in their first 16 bytes: told apart further on.
      "holiday photos 2024-10.jpg", "holiday photos 2024-9.jpg",
      "holiday photos 2024-a.jpg", "holiday photos 2024-B.jpg",
      "img_10", "IMG_9", "Z", "z_", "[x", "_under", "~tilde",
      "\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x8E\x89",
  };
  // clang-format on
  TempTree tree;
  tree.mkdir("d");
  // Created in reverse, so the order of creation cannot pass for the order asked for.
  for (auto name = in_order.rbegin(); name != in_order.rend(); ++name) {
    if (*name != "." && *name != "..") tree.write("d/" + *name, "");
  }
  EXPECT_EQ(enumerate(tree.root() + "\\d\\*"), in_order);
}

TEST(PlatformFiles, NamesHoldingABackslashAreLeftOut) {
  TempTree tree;
  tree.mkdir("d");
  tree.write("d/a\\b", "");
  tree.write("d/\\", "");
  tree.write("d/c", "");
  EXPECT_EQ(enumerate(tree.root() + "\\d\\*"), (std::vector<std::string>{".", "..", "c"}));
}

TEST(PlatformFiles, EnumerationOfNothingFails) {
  TempTree tree;
  tree.write("file.txt", "");
  bool opened = true;
  EXPECT_TRUE(enumerate(tree.root() + "\\missing\\*", &opened).empty());
  EXPECT_FALSE(opened);
  EXPECT_TRUE(enumerate(tree.root() + "\\file.txt\\*", &opened).empty());
  EXPECT_FALSE(opened);
}

TEST(PlatformFiles, AttributesTellDirectoriesFromFiles) {
  TempTree tree;
  tree.mkdir("dir");
  tree.write("dir/f", "x");
  EXPECT_EQ(GetFileAttributesA((tree.root() + "\\dir").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            FILE_ATTRIBUTE_DIRECTORY);
  const DWORD file = GetFileAttributesA((tree.root() + "\\dir\\f").c_str());
  EXPECT_NE(file, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(file & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(GetFileAttributesA((tree.root() + "\\dir\\nothing").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(PlatformFiles, OpensOnlyRegularFiles) {
  TempTree tree;
  tree.mkdir("dir");
  tree.write("f.txt", "abc");
  InputFile file = open_regular_file(tree.root() + "\\f.txt");
  ASSERT_TRUE(file.is_open());
  EXPECT_EQ(file.size(), 3u);
  std::string bytes = "pre";
  append_file_bytes(file, 10, bytes);
  EXPECT_EQ(bytes, "preabc");
  EXPECT_FALSE(open_regular_file(tree.root() + "\\dir").is_open());
  EXPECT_FALSE(open_regular_file(tree.root() + "\\missing").is_open());
}

}  // namespace
}  // namespace dirhttp
