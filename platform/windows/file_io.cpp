// Raw file reading over CreateFileA/ReadFile: a handle opened for reading that shares read, write
// and delete access with other processes, kept only when it names a disk file.
#include "platform/file_io.h"

#include <algorithm>
#include <vector>

namespace dirhttp {
namespace {

HANDLE as_handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// ReadFile takes a 32-bit count; larger requests are made in pieces of this size.
constexpr DWORD kLargestRead = 1u << 30;

}  // namespace

InputFile::InputFile(InputFile&& other) noexcept : handle_(other.handle_), size_(other.size_) {
  other.handle_ = kClosed;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    if (is_open()) CloseHandle(as_handle(handle_));
    handle_ = other.handle_;
    size_ = other.size_;
    other.handle_ = kClosed;
  }
  return *this;
}

InputFile::~InputFile() {
  if (is_open()) CloseHandle(as_handle(handle_));
}

InputFile open_regular_file(const std::string& full_path) {
  // The C string ends at the full path's first NUL, as for every other call on this name.
  HANDLE file = CreateFileA(full_path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return InputFile();
  // A pipe or a character device (a console, a serial port) would block the read or never end.
  LARGE_INTEGER size;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size) || size.QuadPart < 0) {
    CloseHandle(file);
    return InputFile();
  }
  // A handle is never INVALID_HANDLE_VALUE (-1), the value of a closed InputFile.
  return InputFile(reinterpret_cast<std::intptr_t>(file),
                   static_cast<std::uint64_t>(size.QuadPart));
}

bool append_file_bytes(InputFile& file, std::uint64_t limit, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(limit));
  std::size_t got = 0;
  bool read_failed = false;
  while (got < limit) {
    const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(limit - got, kLargestRead));
    DWORD n = 0;
    read_failed = !ReadFile(as_handle(file.handle()), &out[start + got], want, &n, nullptr);
    if (read_failed || n == 0) break;
    got += n;
  }
  out.resize(start + got);
  return !read_failed;
}

Transfer send_file_now(SOCKET socket, InputFile& file, std::uint64_t offset, std::uint64_t count,
                       std::uint64_t, std::vector<char>& scratch) {
  // Read at `offset` (the handle is synchronous, so the read completes before ReadFile returns).
  // Bytes read but not taken by the socket are read again by the next call, from its offset.
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(count, scratch.size()));
  DWORD got = 0;
  // A failed read or an early end (the file shrank) ends the body short of its size.
  if (!ReadFile(as_handle(file.handle()), scratch.data(), want, &got, &at) || got == 0) {
    return {Transfer::kEnded, 0, 0};
  }
  return send_now(socket, scratch.data(), got);
}

}  // namespace dirhttp
