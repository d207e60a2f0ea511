// The two escapers of the listing page: one for link targets, one for HTML text.
#pragma once

#include <string>
#include <string_view>

namespace dirhttp {

/// Appends `text` to `out` as a URL path: every byte outside A-Z, a-z, 0-9 and . - _ ! ( ) @ /
/// becomes %XX with upper-case hex digits, so the server's own request parsing takes it back.
void append_href_encoded(std::string_view text, std::string& out);

/// Appends `text` to `out` as HTML text or attribute content: & < > " ' become entities; every
/// other byte is copied raw.
void append_html_escaped(std::string_view text, std::string& out);

}  // namespace dirhttp
