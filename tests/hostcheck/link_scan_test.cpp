// The links a page check follows.
#include "hostcheck/link_scan.h"

#include <gtest/gtest.h>

namespace hostcheck {
namespace {

std::string Describe(const std::vector<PageLink>& links) {
  std::string out;
  for (const PageLink& l : links) out += l.host + " " + l.path + "\n";
  return out;
}

TEST(LinkScan, LinkRules) {
  struct Case {
    const char* name;
    std::string page;
    std::string links;
  };
  const std::string longBase = "http://h/" + std::string(300, 'd');
  const Case cases[] = {
      {"relative link without base", "<p><a href=\"page2.htm\">x</a></p>", "pagehost /page2.htm\n"},
      {"absolute path", "<a href=\"/dir/p.htm\">", "pagehost /dir/p.htm\n"},
      {"tag and link are lowercased", "<A HREF=\"/Dir/P.HTM\">", "pagehost /dir/p.htm\n"},
      {"other host", "<a href=\"http://other.test/x/y.htm\">", "other.test /x/y.htm\n"},
      {"other host without a path", "<a href=\"http://other.test\">", "other.test \n"},
      {"https is a relative path", "<a href=\"https://sec.test/z\">",
       "pagehost /https://sec.test/z\n"},
      {"script call", "<a href=\"javascript:go(1)\">", ""},
      {"fragment", "<a href=\"#top\"><a href=\"p.htm#part\">", ""},
      {"mail address", "<a href=\"mailto:a@b.test\">", ""},
      {"empty href", "<a href=\"\">", ""},
      {"single quotes are not recognised", "<a href='p.htm'>", ""},
      {"spaces around = are not recognised", "<a href = \"p.htm\">", ""},
      {"tag ends before href", "<a name=\"x\">text href=\"p.htm\"", ""},
      {"any tag whose name starts with a", "<area href=\"m.htm\"><abbr title=\"t\">",
       "pagehost /m.htm\n"},
      {"base joins relative links",
       "<base href=\"http://h/dir\"><a href=\"page2.htm\"><a href=\"/abs.htm\">",
       "h /dir/page2.htm\nh /dir/abs.htm\n"},
      {"base with a slash of its own", "<BASE HREF=\"http://h/dir/\"><a href=\"p.htm\">",
       "h /dir/p.htm\n"},
      {"http link ignores the base", "<base href=\"http://h/dir\"><a href=\"http://o/p\">",
       "o /p\n"},
      {"base without href clears it", "<base href=\"http://h/d\"><base target=\"x\"><a href=\"p\">",
       "pagehost /p\n"},
      {"joined link stays under 260 characters",
       "<base href=\"" + longBase + "\"><a href=\"p.htm\">",
       "h " + ("/" + std::string(300, 'd')).substr(0, 259 - 8 - 6) + "/p.htm\n"},
      {"second bytes of double-byte characters are left alone",
       "<a title=\"\x83\x41\" href=\"/Q.htm\">", "pagehost /q.htm\n"},
      {"unterminated tag at the end", "<a href=\"p", "pagehost /p\n"},
      {"too short to hold a tag", "<a h", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string page = c.page;
    EXPECT_EQ(Describe(FindPageLinks(page, "pagehost")), c.links);
  }
}

// A secure page's links: "https://" ones are absolute and over TLS, "http://" ones plain,
// either with the port it names (else 443 and 80); the rest stay on the page's host, port
// and TLS ("S" marks TLS, the port 0 is the page's).
TEST(LinkScan, LinksOfASecurePage) {
  struct Case {
    const char* name;
    std::string page;
    std::string links;
  };
  const Case cases[] = {
      {"relative link", "<a href=\"p.htm\">", "S pagehost:0 /p.htm\n"},
      {"https link", "<a href=\"https://sec.test/z\">", "S sec.test:443 /z\n"},
      {"https link with a port", "<a href=\"https://sec.test:8443/z\">", "S sec.test:8443 /z\n"},
      {"https link without a path", "<a href=\"https://sec.test\">", "S sec.test:443 \n"},
      {"http link", "<a href=\"http://o.test/p\">", "- o.test:80 /p\n"},
      {"http link with a port", "<a href=\"http://o.test:8080/p\">", "- o.test:8080 /p\n"},
      {"a port that is none stays in the host", "<a href=\"https://o.test:99999/p\">",
       "S o.test:99999:443 /p\n"},
      {"https base joins relative links",
       "<base href=\"https://b.test:444/dir\"><a href=\"p.htm\"><a href=\"https://o.test/q\">",
       "S b.test:444 /dir/p.htm\nS o.test:443 /q\n"},
      {"links left out as on any page", "<a href=\"#top\"><a href=\"mailto:a@b.test\">", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string page = c.page;
    std::string out;
    for (const PageLink& l : FindPageLinks(page, "pagehost", true)) {
      out += std::string(l.secure ? "S " : "- ") + l.host + ":" + std::to_string(l.port) + " " +
             l.path + "\n";
    }
    EXPECT_EQ(out, c.links);
  }
}

TEST(LinkScan, TagsAreLowercasedInPlace) {
  std::string page = "<A HREF=\"X\">Text</A>";
  FindPageLinks(page, "h");
  EXPECT_EQ(page, "<a href=\"x\">Text</A>") << "closing tags are no links";
}

}  // namespace
}  // namespace hostcheck
