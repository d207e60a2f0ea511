// The Win32 file-system calls over stat and opendir/readdir. Directories are enumerated in the
// order NTFS keeps, so that both builds list a tree alike.
#include <dirent.h>
#include <errno.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
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

// One entry of a directory read whole: its name is names[offset, offset + length), NUL after it.
struct FoundEntry {
  // The name's first 16 bytes with a-z read as A-Z, big-endian, zeros past its end: most names
  // are told apart by these two numbers alone, without a look at the bytes.
  std::uint64_t key[2];
  std::uint32_t offset;
  std::uint16_t length;
  std::uint8_t rank;  // 0 for ".", 1 for "..", 2 for every other name: "." and ".." come first
  std::uint8_t is_directory;
};

struct FindState {
  std::string names;
  std::vector<FoundEntry> entries;
  std::size_t next = 0;
};

constexpr std::size_t kKeyBytes = 16;

unsigned char fold(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

void make_key(const unsigned char* name, std::size_t length, std::uint64_t key[2]) {
  key[0] = key[1] = 0;
  for (std::size_t i = 0; i < kKeyBytes; ++i) {
    const std::uint64_t byte = i < length ? fold(name[i]) : 0;
    key[i / 8] |= byte << (8 * (7 - i % 8));
  }
}

// The order NTFS keeps names in, for the bytes of a name: ASCII a-z read as A-Z, then unsigned
// byte values; names equal that way (only in the case of their letters) keep their byte order.
// A name never holds a NUL, so the zeros that pad a short key sort it before longer names.
struct NameOrder {
  const unsigned char* names;

  bool operator()(const FoundEntry& a, const FoundEntry& b) const {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.key[0] != b.key[0]) return a.key[0] < b.key[0];
    if (a.key[1] != b.key[1]) return a.key[1] < b.key[1];
    const unsigned char* x = names + a.offset;
    const unsigned char* y = names + b.offset;
    const std::size_t common = std::min(a.length, b.length);
    for (std::size_t i = kKeyBytes; i < common; ++i) {
      const unsigned char fx = fold(x[i]);
      const unsigned char fy = fold(y[i]);
      if (fx != fy) return fx < fy;
    }
    if (a.length != b.length) return a.length < b.length;
    return std::memcmp(x, y, a.length) < 0;
  }
};

// A listing reads a whole directory before its page is built, and after each request glibc would
// hand the freed heap back to the system only to fault it in again for the next one (three page
// faults per listing of 1,000 names, more time than the sort). Freed memory up to this bound is
// kept for the next request instead, and blocks up to it come from the heap, not fresh mappings.
constexpr int kKeptHeapBytes = 4 << 20;

void keep_freed_heap() {
#if defined(__GLIBC__)
  mallopt(M_TRIM_THRESHOLD, kKeptHeapBytes);
  mallopt(M_MMAP_THRESHOLD, kKeptHeapBytes);
#endif
}

std::uint8_t dot_rank(const char* name) {
  if (name[0] != '.') return 2;
  if (name[1] == '\0') return 0;
  return (name[1] == '.' && name[2] == '\0') ? 1 : 2;
}

void fill(const FindState& state, const FoundEntry& entry, WIN32_FIND_DATAA* data) {
  // A Win32 long name fits in 259 bytes; POSIX names are at most 255.
  const std::size_t length = std::min<std::size_t>(entry.length, sizeof(data->cFileName) - 1);
  std::memcpy(data->cFileName, state.names.data() + entry.offset, length);
  data->cFileName[length] = '\0';
  data->cAlternateFileName[0] = '\0';
  data->dwFileAttributes = entry.is_directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
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
  keep_freed_heap();
  auto* state = new FindState;
  // A read error ends the list early, as if the directory ended there.
  while (const dirent* entry = readdir(dir)) {
    // The program reads every backslash as a separator, so such a name could never be requested.
    if (std::strchr(entry->d_name, '\\') != nullptr) continue;
    const std::size_t length = std::strlen(entry->d_name);
    FoundEntry found{{0, 0},
                     static_cast<std::uint32_t>(state->names.size()),
                     static_cast<std::uint16_t>(length),
                     dot_rank(entry->d_name),
                     entry->d_type == DT_DIR};
    make_key(reinterpret_cast<const unsigned char*>(entry->d_name), length, found.key);
    state->entries.push_back(found);
    state->names.append(entry->d_name, length + 1);
  }
  closedir(dir);
  if (state->entries.empty()) {
    delete state;
    return INVALID_HANDLE_VALUE;
  }
  std::sort(state->entries.begin(), state->entries.end(),
            NameOrder{reinterpret_cast<const unsigned char*>(state->names.data())});
  fill(*state, state->entries[0], data);
  state->next = 1;
  return state;
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) {
  auto* state = static_cast<FindState*>(find);
  if (state->next >= state->entries.size()) return 0;
  fill(*state, state->entries[state->next++], data);
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
