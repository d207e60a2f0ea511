// The Win32 file-system calls over stat and opendir/readdir.
#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

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

struct FindState {
  DIR* dir;
};

// Fills `data` from the next directory entry; false at the end or on a read error.
bool next_entry(DIR* dir, WIN32_FIND_DATAA* data) {
  const dirent* entry = readdir(dir);
  if (entry == nullptr) return false;
  std::memset(data, 0, sizeof(*data));
  // A Win32 long name fits in 259 bytes; POSIX names are at most 255.
  std::strncpy(data->cFileName, entry->d_name, sizeof(data->cFileName) - 1);
  data->dwFileAttributes =
      entry->d_type == DT_DIR ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  return true;
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
  if (!next_entry(dir, data)) {
    closedir(dir);
    return INVALID_HANDLE_VALUE;
  }
  return new FindState{dir};
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) {
  return next_entry(static_cast<FindState*>(find)->dir, data) ? 1 : 0;
}

BOOL FindClose(HANDLE find) {
  auto* state = static_cast<FindState*>(find);
  closedir(state->dir);
  delete state;
  return 1;
}

DWORD GetLastError() { return static_cast<DWORD>(errno); }

DWORD GetCurrentDirectoryA(DWORD buffer_length, LPSTR buffer) {
  if (getcwd(buffer, buffer_length) == nullptr) return 0;
  return static_cast<DWORD>(std::strlen(buffer));
}
