// The Win32 file-system calls over stat and opendir/readdir. Directories are enumerated in the
// order NTFS keeps, so that both builds list a tree alike.
#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/native_path.h"
#include "platform/win32.h"

namespace dirhttp {

std::string native_path(const char* name) {
  std::string path(name);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

}  // namespace dirhttp

namespace {

struct FoundEntry {
  std::string name;
  DWORD attributes;
};

struct FindState {
  std::vector<FoundEntry> entries;
  std::size_t next = 0;
};

char fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

// "." and ".." come first, as on NTFS.
int dot_rank(const std::string& name) {
  if (name == ".") return 0;
  if (name == "..") return 1;
  return 2;
}

// The order NTFS keeps names in, for the bytes of a name: ASCII a-z read as A-Z, then unsigned
// byte values; names equal that way (only in the case of their letters) keep their byte order.
bool name_order(const FoundEntry& a, const FoundEntry& b) {
  const int rank_a = dot_rank(a.name);
  const int rank_b = dot_rank(b.name);
  if (rank_a != rank_b) return rank_a < rank_b;
  const std::size_t common = std::min(a.name.size(), b.name.size());
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(fold(a.name[i]));
    const auto y = static_cast<unsigned char>(fold(b.name[i]));
    if (x != y) return x < y;
  }
  if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
  return a.name < b.name;  // std::string compares bytes as unsigned char
}

void fill(const FoundEntry& entry, WIN32_FIND_DATAA* data) {
  std::memset(data, 0, sizeof(*data));
  // A Win32 long name fits in 259 bytes; POSIX names are at most 255.
  std::strncpy(data->cFileName, entry.name.c_str(), sizeof(data->cFileName) - 1);
  data->dwFileAttributes = entry.attributes;
}

}  // namespace

DWORD GetFileAttributesA(LPCSTR file_name) {
  struct stat info;
  if (stat(dirhttp::native_path(file_name).c_str(), &info) != 0) return INVALID_FILE_ATTRIBUTES;
  return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
  std::string path = dirhttp::native_path(pattern);
  // Only the "every entry" pattern is ever asked for: strip its "/*" to get the directory.
  if (path.size() < 2 || path.compare(path.size() - 2, 2, "/*") != 0) return INVALID_HANDLE_VALUE;
  path.resize(path.size() - 1);
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return INVALID_HANDLE_VALUE;
  auto* state = new FindState;
  // A read error ends the list early, as if the directory ended there.
  while (const dirent* entry = readdir(dir)) {
    // The program reads every backslash as a separator, so such a name could never be requested.
    if (std::strchr(entry->d_name, '\\') != nullptr) continue;
    state->entries.push_back({entry->d_name, entry->d_type == DT_DIR ? FILE_ATTRIBUTE_DIRECTORY
                                                                     : FILE_ATTRIBUTE_NORMAL});
  }
  closedir(dir);
  if (state->entries.empty()) {
    delete state;
    return INVALID_HANDLE_VALUE;
  }
  std::sort(state->entries.begin(), state->entries.end(), name_order);
  fill(state->entries[0], data);
  state->next = 1;
  return state;
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) {
  auto* state = static_cast<FindState*>(find);
  if (state->next >= state->entries.size()) return 0;
  fill(state->entries[state->next++], data);
  return 1;
}

BOOL FindClose(HANDLE find) {
  delete static_cast<FindState*>(find);
  return 1;
}

DWORD GetLastError() { return static_cast<DWORD>(errno); }

DWORD GetCurrentDirectoryA(DWORD buffer_length, LPSTR buffer) {
  if (getcwd(buffer, buffer_length) == nullptr) return 0;
  return static_cast<DWORD>(std::strlen(buffer));
}
