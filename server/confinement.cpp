#include "server/confinement.h"

#include <string_view>

#include "platform/win32.h"

namespace dirhttp {
namespace {

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool equals_upper(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_upper(text[i]) != upper[i]) return false;
  }
  return true;
}

// Windows drops trailing dots and spaces, so "...", ". ." and ".. " can all mean "..".
bool only_dots_and_spaces(std::string_view segment) {
  if (segment.size() < 2) return false;
  for (char c : segment) {
    if (c != '.' && c != ' ') return false;
  }
  return true;
}

// Device names are reserved in every directory, whatever follows the first dot ("nul.txt",
// "CON .html"), and trailing spaces before it do not count either.
bool reserved_device_name(std::string_view segment) {
  std::string_view base = segment.substr(0, segment.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (std::string_view name : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"}) {
    if (equals_upper(base, name)) return true;
  }
  if (base.size() != 4) return false;
  const std::string_view stem = base.substr(0, 3);
  if (!equals_upper(stem, "COM") && !equals_upper(stem, "LPT")) return false;
  const auto digit = static_cast<unsigned char>(base[3]);
  // 1-9, and the superscript digits of the ANSI code page, which Windows also maps to devices.
  return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

bool segment_is_safe(std::string_view segment, bool windows_names) {
  if (segment == "..") return false;
  if (!windows_names) return true;
  return !only_dots_and_spaces(segment) && !reserved_device_name(segment);
}

// The A functions convert a name from the ANSI code page before they look at it, and a byte that
// does not convert is dropped or replaced there ("NUL" followed by a lone lead byte of a
// double-byte code page opens the device): the checks hold only for names that convert whole.
bool converts_cleanly(const std::string& name) {
  std::basic_string<WCHAR> wide(name.size(), 0);
  return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(),
                             static_cast<int>(name.size()), wide.data(),
                             static_cast<int>(wide.size())) != 0;
}

}  // namespace

bool target_is_confined(const std::string& request_target, bool windows_names) {
  if (request_target.empty() || request_target[0] != '\\') return false;
  if (request_target.find('\0') != std::string::npos) return false;
  if (windows_names && request_target.find(':') != std::string::npos) return false;
  if (windows_names && !converts_cleanly(request_target)) return false;
  std::size_t start = 0;
  while (start <= request_target.size()) {
    std::size_t end = request_target.find_first_of("\\/", start);
    if (end == std::string::npos) end = request_target.size();
    if (!segment_is_safe(std::string_view(request_target).substr(start, end - start),
                         windows_names)) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace dirhttp
