// The listing page of a directory: heading, one link per entry, dot-names hidden, links encoded
// and texts escaped.
#include "content/listing_page.h"

#include <gtest/gtest.h>

#include <string>

#include "content/escape.h"
#include "tests/temp_tree.h"

namespace dirhttp {
namespace {

TEST(ListingPage, RootListsEntriesWithOneSlash) {
  TempTree tree;
  tree.mkdir("docs");
  tree.write("a.txt", "a");
  EXPECT_EQ(make_listing_page("\\", tree.root() + "\\"),
            "<h1>Listing /</h1><ul><li><a href=\"/a.txt\">a.txt</a></li>"
            "<li><a href=\"/docs\">docs</a></li></ul>");
}

TEST(ListingPage, TrailingSlashesDecideTheJoin) {
  TempTree tree;
  tree.mkdir("docs");
  tree.write("docs/b.txt", "b");
  struct {
    std::string target;
    std::string heading;
    std::string link;
  } cases[] = {
      {"\\docs", "/docs", "/docs/b.txt"},
      {"\\docs\\", "/docs/", "/docs/b.txt"},
      {"\\docs\\\\", "/docs//", "/docs//b.txt"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(
        make_listing_page(c.target, tree.root() + c.target),
        "<h1>Listing " + c.heading + "</h1><ul><li><a href=\"" + c.link + "\">b.txt</a></li></ul>")
        << c.target;
  }
}

TEST(ListingPage, EmptyAndUnreadableDirectoriesGiveAnEmptyList) {
  TempTree tree;
  tree.mkdir("empty");
  tree.mkdir("dots");
  tree.write("dots/.config", "");
  tree.mkdir("dots/.cache");
  EXPECT_EQ(make_listing_page("\\empty", tree.root() + "\\empty"),
            "<h1>Listing /empty</h1><ul></ul>");
  EXPECT_EQ(make_listing_page("\\dots", tree.root() + "\\dots"), "<h1>Listing /dots</h1><ul></ul>");
  EXPECT_EQ(make_listing_page("\\gone", tree.root() + "\\gone"), "<h1>Listing /gone</h1><ul></ul>");
}

TEST(ListingPage, NamesAreEncodedInLinksAndEscapedInText) {
  TempTree tree;
  tree.mkdir("my docs");
  const std::string name = "a b&c<d>\"e'f%g#h?i+j~k;l,m=n\xE9.txt";
  tree.write("my docs/" + name, "x");
  const std::string page = make_listing_page("\\my docs\\", tree.root() + "\\my docs\\");
  EXPECT_EQ(page,
            "<h1>Listing /my docs/</h1><ul><li><a href=\"/my%20docs/"
            "a%20b%26c%3Cd%3E%22e%27f%25g%23h%3Fi%2Bj%7Ek%3Bl%2Cm%3Dn%E9.txt\">"
            "a b&amp;c&lt;d&gt;&quot;e&#39;f%g#h?i+j~k;l,m=n&#65533;.txt</a></li></ul>");
}

// Each name alone in a directory: its link carries the raw bytes, its text the characters.
TEST(ListingPage, NamesAreShownAsTheirCharacters) {
  struct {
    std::string name;
    std::string href;
    std::string text;
  } cases[] = {
      {"caf\xC3\xA9.txt", "caf%C3%A9.txt", "caf&#233;.txt"},  // two bytes
      {"\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC",
       "%CE%95%CE%BB%CE%BB%CE%B7%CE%BD%CE%B9%CE%BA%CE%AC",
       "&#917;&#955;&#955;&#951;&#957;&#953;&#954;&#940;"},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt", "%E6%97%A5%E6%9C%AC%E8%AA%9E.txt",
       "&#26085;&#26412;&#35486;.txt"},  // three bytes
      {"emoji \xF0\x9F\x8E\x89.txt", "emoji%20%F0%9F%8E%89.txt",
       "emoji &#127881;.txt"},  // four bytes: one reference, not two surrogates
      {"a&b \xC3\xA9<\xE2\x82\xAC>", "a%26b%20%C3%A9%3C%E2%82%AC%3E",
       "a&amp;b &#233;&lt;&#8364;&gt;"},
      {"caf\xE9.txt", "caf%E9.txt", "caf&#65533;.txt"},              // Latin-1
      {"x\xE6\x97.txt", "x%E6%97.txt", "x&#65533;&#65533;.txt"},     // cut short
      {"x\xC0\xAF", "x%C0%AF", "x&#65533;&#65533;"},                 // overlong "/"
      {"x\xED\xA0\x80", "x%ED%A0%80", "x&#65533;&#65533;&#65533;"},  // a surrogate
      {"x\xF4\x90\x80\x80", "x%F4%90%80%80", "x&#65533;&#65533;&#65533;&#65533;"},
      {"\xFF\xC3\xA9\xBF", "%FF%C3%A9%BF", "&#65533;&#233;&#65533;"},  // good between bad
  };
  for (const auto& c : cases) {
    TempTree tree;
    tree.mkdir("d");
    tree.write("d/" + c.name, "x");
    EXPECT_EQ(
        make_listing_page("\\d\\", tree.root() + "\\d\\"),
        "<h1>Listing /d/</h1><ul><li><a href=\"/d/" + c.href + "\">" + c.text + "</a></li></ul>")
        << c.href;
  }
}

TEST(ListingPage, NonAsciiHeadingIsShownAsItsCharacters) {
  TempTree tree;
  tree.mkdir(
      "donn\xC3\xA9"
      "es");
  tree.write(
      "donn\xC3\xA9"
      "es/x.txt",
      "x");
  EXPECT_EQ(make_listing_page("\\donn\xC3\xA9"
                              "es\\",
                              tree.root() + "\\donn\xC3\xA9"
                                            "es\\"),
            "<h1>Listing /donn&#233;es/</h1><ul><li><a href=\"/donn%C3%A9es/x.txt\">x.txt</a>"
            "</li></ul>");
}

// Names of ASCII bytes alone (controls and punctuation included) give the page they always gave.
TEST(ListingPage, AsciiPageIsUnchanged) {
  TempTree tree;
  tree.mkdir("d");
  tree.write("d/\x01\x1F\x7F ctl", "");
  tree.write("d/p !#$%&'()*+,-.;<=>?@[]^_`{|}~\"", "");
  tree.write("d/Plain-name_1.txt", "");
  EXPECT_EQ(make_listing_page("\\d", tree.root() + "\\d"),
            "<h1>Listing /d</h1><ul>"
            "<li><a href=\"/d/%01%1F%7F%20ctl\">\x01\x1F\x7F ctl</a></li>"
            "<li><a href=\"/d/p%20!%23%24%25%26%27()%2A%2B%2C-.%3B%3C%3D%3E%3F@%5B%5D%5E_%60%7B%7C"
            "%7D%7E%22\">p !#$%&amp;&#39;()*+,-.;&lt;=&gt;?@[]^_`{|}~&quot;</a></li>"
            "<li><a href=\"/d/Plain-name_1.txt\">Plain-name_1.txt</a></li></ul>");
}

TEST(ListingPage, HeadingIsEscapedToo) {
  TempTree tree;
  tree.mkdir("<b>x</b>");
  EXPECT_EQ(make_listing_page("\\<b>x<\\b>", tree.root() + "\\<b>x</b>"),
            "<h1>Listing /&lt;b&gt;x&lt;/b&gt;</h1><ul></ul>");
}

TEST(ListingPage, HiddenNamesOnlyWhenTheyBeginWithADot) {
  TempTree tree;
  tree.mkdir("d");
  tree.write("d/.hidden", "");
  tree.write("d/visible.", "");
  EXPECT_EQ(make_listing_page("\\d", tree.root() + "\\d"),
            "<h1>Listing /d</h1><ul><li><a href=\"/d/visible.\">visible.</a></li></ul>");
}

TEST(Escape, HrefKeepsOnlyTheSafeSet) {
  std::string out;
  append_href_encoded("AZaz09.-_!()@/ %\x01\x7F\x80\xFF", out);
  EXPECT_EQ(out, "AZaz09.-_!()@/%20%25%01%7F%80%FF");
}

TEST(Escape, HtmlEscapesFiveBytes) {
  std::string out;
  append_html_escaped("&<>\"' plain", out);
  EXPECT_EQ(out, "&amp;&lt;&gt;&quot;&#39; plain");
}

}  // namespace
}  // namespace dirhttp
