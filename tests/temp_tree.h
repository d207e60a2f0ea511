// A scoped temporary directory tree for tests: made fresh, removed with everything in it.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace dirhttp {

class TempTree {
 public:
  TempTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dirhttp-test-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
  }
  ~TempTree() { std::filesystem::remove_all(root_); }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  /// The tree's absolute path, without a trailing separator.
  const std::string& root() const { return root_; }

  void write(const std::string& relative, const std::string& bytes) const {
    std::ofstream(root_ + "/" + relative, std::ios::binary) << bytes;
  }
  void mkdir(const std::string& relative) const {
    std::filesystem::create_directories(root_ + "/" + relative);
  }
  /// Entry names of `relative` in the order the system enumerates them, "." and ".." included.
  std::vector<std::string> entries(const std::string& relative) const {
    std::vector<std::string> names;
    if (DIR* dir = opendir((root_ + "/" + relative).c_str())) {
      while (const dirent* entry = readdir(dir)) names.push_back(entry->d_name);
      closedir(dir);
    }
    return names;
  }

 private:
  std::string root_;
};

}  // namespace dirhttp
