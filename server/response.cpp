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

}  // namespace

Response build_response(const std::string& document_root, const std::string& request_target) {
  // Refused targets get the 404 without touching the file system.
  if (!target_is_confined(request_target, kWindowsFileNames)) return not_found();
  const std::string full_path = document_root + request_target;
  const DWORD attributes = GetFileAttributesA(full_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return not_found();

  Response response;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    response.text = "HTTP/1.1 200 OK\nContent-Type: text/html\n\n";
    response.text += make_listing_page(request_target, full_path);
    return response;
  }

  response.text = "HTTP/1.1 200 OK\nContent-Type: ";
  response.text += content_type_for_path(full_path);
  response.text += "\n\n";
  InputFile file = open_regular_file(full_path);
  if (!file.is_open()) return response;  // unreadable: the same bytes as an empty file
  if (file.size() <= kInMemoryFileLimit) {
    append_file_bytes(file, file.size(), response.text);
  } else {
    response.body_file = std::move(file);
  }
  return response;
}

}  // namespace dirhttp
