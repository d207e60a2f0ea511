#include "server/response.h"

#include "content/content_type.h"
#include "content/listing_page.h"
#include "platform/win32.h"
#include "server/confinement.h"

namespace dirhttp {

const char kNotFoundResponse[] =
    "HTTP/1.1 404 Not Found\n"
    "Content-Type: text/html\n\n"
    "<h1>File not found</h1>";

namespace {

Response not_found() { return Response{kNotFoundResponse, InputFile()}; }

// The file response's fixed header bytes: "HTTP/1.1 200 OK\nContent-Type: " and "\n\n".
constexpr std::size_t kFileHeadLength = 31 + 2;

}  // namespace

Response build_response(const std::string& document_root, const std::string& request_target) {
  // Refused targets get the 404 without touching the file system.
  if (!target_is_confined(request_target, kWindowsFileNames)) return not_found();
  const std::string full_path = document_root + request_target;

  // A regular file that opens is answered from its handle alone: the open and its size query are
  // the only file-system calls. Anything else (a directory, nothing, a file that cannot be opened)
  // is classified by its attributes after that.
  InputFile file = open_regular_file(full_path);
  Response response;
  if (!file.is_open()) {
    const DWORD attributes = GetFileAttributesA(full_path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return not_found();
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      response.text = "HTTP/1.1 200 OK\nContent-Type: text/html\n\n";
      response.text += make_listing_page(request_target, full_path);
      return response;
    }
  }

  const std::string content_type = content_type_for_path(full_path);
  const bool in_memory = file.is_open() && file.size() <= kInMemoryFileLimit;
  response.text.reserve(kFileHeadLength + content_type.size() + (in_memory ? file.size() : 0));
  response.text = "HTTP/1.1 200 OK\nContent-Type: ";
  response.text += content_type;
  response.text += "\n\n";
  if (!file.is_open()) return response;  // unreadable: the same bytes as an empty file
  if (in_memory) {
    response.cut_short = !append_file_bytes(file, file.size(), response.text);
  } else {
    response.body_file = std::move(file);
  }
  return response;
}

}  // namespace dirhttp
