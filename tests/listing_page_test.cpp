// The listing page of a directory: heading, one link per entry, dot-names hidden, links encoded
// and texts escaped.
#include "content/listing_page.h"

#include <gtest/gtest.h>

#include <string>

#include "content/escape.h"
#include "tests/temp_tree.h"

namespace dirhttp {
namespace {

// The items the page should hold for `relative`, in enumeration order.
std::string expected_items(const TempTree& tree, const std::string& relative,
                           const std::string& link_prefix) {
  std::string items;
  for (const std::string& name : tree.entries(relative)) {
    if (name[0] == '.') continue;
    items += "<li><a href=\"" + link_prefix + name + "\">" + name + "</a></li>";
  }
  return items;
}

TEST(ListingPage, RootListsEntriesWithOneSlash) {
  TempTree tree;
  tree.write("a.txt", "a");
  tree.mkdir("docs");
  const std::string page = make_listing_page("\\", tree.root() + "\\");
  EXPECT_EQ(page, "<h1>Listing /</h1><ul>" + expected_items(tree, "", "/") + "</ul>");
  EXPECT_NE(page.find("<li><a href=\"/a.txt\">a.txt</a></li>"), std::string::npos);
  EXPECT_NE(page.find("<li><a href=\"/docs\">docs</a></li>"), std::string::npos);
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
    EXPECT_EQ(make_listing_page(c.target, tree.root() + c.target),
              "<h1>Listing " + c.heading + "</h1><ul><li><a href=\"" + c.link +
                  "\">b.txt</a></li></ul>")
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
  EXPECT_EQ(make_listing_page("\\dots", tree.root() + "\\dots"),
            "<h1>Listing /dots</h1><ul></ul>");
  EXPECT_EQ(make_listing_page("\\gone", tree.root() + "\\gone"),
            "<h1>Listing /gone</h1><ul></ul>");
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
            "a b&amp;c&lt;d&gt;&quot;e&#39;f%g#h?i+j~k;l,m=n\xE9.txt</a></li></ul>");
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
  append_html_escaped("&<>\"' plain\xE9", out);
  EXPECT_EQ(out, "&amp;&lt;&gt;&quot;&#39; plain\xE9");
}

}  // namespace
}  // namespace dirhttp
