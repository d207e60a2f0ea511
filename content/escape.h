// The two escapers of the listing page: one for link targets, one for HTML text.
#pragma once

#include <string>
#include <string_view>

namespace dirhttp {

/// Appends `text` to `out` as a URL path: every byte outside A-Z, a-z, 0-9 and . - _ ! ( ) @ /
/// becomes %XX with upper-case hex digits, so the server's own request parsing takes it back.
void append_href_encoded(std::string_view text, std::string& out);

/// Appends `text`, a name in the platform's encoding (UTF-8 on POSIX, the ANSI code page on
/// Windows), to `out` as HTML text or attribute content: & < > " ' become entities, every other
/// ASCII character is copied, and every other character becomes a numeric character reference
/// (&#233;), one per code point; each byte that does not decode becomes &#65533; (U+FFFD).
/// Text of ASCII bytes alone therefore comes out as before names were decoded.
void append_html_escaped(std::string_view text, std::string& out);

}  // namespace dirhttp
