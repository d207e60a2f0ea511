// Raw file reading for responses: a file opened for reading that denies no other process access,
// read whole into memory or sent to a socket piece by piece. Implemented per platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/win32.h"

namespace dirhttp {

/// A file opened for reading; closed when destroyed. Only regular (disk) files are ever opened.
class InputFile {
 public:
  InputFile() = default;
  explicit InputFile(std::intptr_t handle, std::uint64_t size) : handle_(handle), size_(size) {}
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  bool is_open() const { return handle_ != kClosed; }
  /// The file's size when it was opened.
  std::uint64_t size() const { return size_; }
  std::intptr_t handle() const { return handle_; }

  static constexpr std::intptr_t kClosed = -1;

 private:
  std::intptr_t handle_ = kClosed;
  std::uint64_t size_ = 0;
};

/// Opens the file that `full_path` names (backslash separators; the name ends at its first NUL)
/// for reading, sharing read, write and delete access with other processes and never blocking.
/// The result is closed when the open fails or the path names anything but a regular disk file
/// (a FIFO, socket or device would block the read forever).
InputFile open_regular_file(const std::string& full_path);

/// Appends up to `limit` bytes of `file`, read from its current position, to `out`. Stops early at
/// the end of the file or at a read error, keeping what was read before it. Returns false when a
/// read failed, true when the limit or the end of the file was reached.
bool append_file_bytes(InputFile& file, std::uint64_t limit, std::string& out);

/// Sends bytes of `file` from `offset` on, at most `count`, on the non-blocking `socket` without
/// waiting: kMoved with the number of bytes that went out, kWouldBlock, kEnded when the file ends
/// before `offset` (it shrank) or a read of it fails, or kFailed with the socket error.
/// `already_sent` is how many bytes of the response went out before `offset`; where the platform
/// sends the file in pieces of a fixed size (sendfile on Linux), they end where the whole
/// response's length reaches a multiple of that size. `scratch` is a buffer the call may use for bytes read from the file on their way
/// to the socket.
Transfer send_file_now(SOCKET socket, InputFile& file, std::uint64_t offset, std::uint64_t count,
                       std::uint64_t already_sent, std::vector<char>& scratch);

}  // namespace dirhttp
