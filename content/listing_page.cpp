#include "content/listing_page.h"

#include <cstring>
#include <string_view>

#include "content/escape.h"
#include "platform/win32.h"

namespace dirhttp {

std::string make_listing_page(const std::string& request_target, const std::string& full_path) {
  std::string listing_path = request_target;
  for (char& c : listing_path) {
    if (c == '\\') c = '/';
  }
  const bool ends_in_slash = !listing_path.empty() && listing_path.back() == '/';

  // Every link starts with the same encoded listing path and joining slash.
  std::string link_prefix;
  append_href_encoded(listing_path, link_prefix);
  if (!ends_in_slash) link_prefix += '/';

  std::string page = "<h1>Listing ";
  append_html_escaped(listing_path, page);
  page += "</h1><ul>";

  const std::string pattern = full_path + "\\*";
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA(pattern.c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string_view name(entry.cFileName, strnlen(entry.cFileName, MAX_PATH));
      if (name.empty() || name[0] == '.') continue;  // ".", ".." and dot-names stay hidden
      page += "<li><a href=\"";
      page += link_prefix;
      append_href_encoded(name, page);
      page += "\">";
      append_html_escaped(name, page);
      page += "</a></li>";
    } while (FindNextFileA(find, &entry) != 0);
    FindClose(find);
  }
  page += "</ul>";
  return page;
}

}  // namespace dirhttp
