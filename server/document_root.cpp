#include "server/document_root.h"

#include <iostream>

#include "platform/win32.h"

namespace dirhttp {

const char kBackslashRootLine[] =
    "Cannot serve this directory: its path holds a backslash, which dirhttp reads as a separator";

bool root_is_servable(const std::string& path, bool windows_names) {
  return windows_names || path.find('\\') == std::string::npos;
}

bool accept_document_root(const std::string& path) {
  if (root_is_servable(path, kWindowsFileNames)) return true;
  std::cout << kBackslashRootLine << std::endl;
  return false;
}

}  // namespace dirhttp
