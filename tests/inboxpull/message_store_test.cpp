// The file names of retrieved messages, the hidden file a message is written to, and the
// known-message list.
#include "inboxpull/message_store.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using namespace inboxpull;

TEST(MessageStore, IdFromHeaders) {
  struct Case {
    const char* headers;
    const char* id;  // cleaned
  };
  const Case cases[] = {
      {"Subject: x\r\nMessage-ID: <abc.123@host>\r\n\r\n", "abc123host"},
      {"message-id:<A-b_c@Example.ORG>\r\n", "AbcExampleORG"},
      {"MESSAGE-ID:   plain@id  \r\n", "plainid"},
      // Folded onto the next line.
      {"Message-Id:\r\n <folded.1@h>\r\nTo: y\r\n", "folded1h"},
      // Only the header block counts, and only a header of that name.
      {"Subject: x\r\n\r\nMessage-ID: <in.body@h>\r\n", ""},
      {"X-Message-ID: <other@h>\r\n", ""},
      // Bytes that are no ASCII letter or digit go.
      {"Message-ID: <\xE6\x97\xA5.7/../x@h>\r\n", "7xh"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CleanId(FindMessageId(c.headers)), c.id) << c.headers;
  }
}

TEST(MessageStore, GeneratedIdPattern) {
  // Month, day, years since 1900, time, counter, the first five bytes of the host name as
  // two digits each (code modulo 100), server.
  EXPECT_EQ(GeneratedId(12, 9, 126, 4, 5, 6, 7, "ab.cdefg", "pop.example"),
            "1209126040506.7.9798469900@pop.example");
  EXPECT_EQ(CleanId(GeneratedId(1, 2, 99, 3, 4, 5, 0, "h", "s")), "010299030405004s");
}

TEST(MessageStore, PublishTakesTheNextFreeNameAndNeverReplaces) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir / "id_003.eml", "someone else's");
  std::vector<std::string> names;
  for (int i = 0; i < 4; ++i) {
    MessageFile f;
    ASSERT_TRUE(f.Open(dir.path()));
    ASSERT_TRUE(f.Write("message " + std::to_string(i)));
    names.push_back(f.Publish("id", ".eml"));
  }
  EXPECT_EQ(names, (std::vector<std::string>{dir / "id.eml", dir / "id_002.eml", dir / "id_004.eml",
                                             dir / "id_005.eml"}));
  EXPECT_EQ(testsupport::ReadFile(dir / "id_003.eml"), "someone else's");
  EXPECT_EQ(testsupport::ReadFile(dir / "id_002.eml"), "message 1");
  // A message dropped before it was whole leaves nothing, not even its hidden file.
  {
    MessageFile f;
    ASSERT_TRUE(f.Open(dir.path()));
    ASSERT_TRUE(f.Write("half a mess"));
  }
  EXPECT_EQ(platform::ListFiles(dir.path()).size(), 5u);
  EXPECT_EQ(SafeName("../x/.y"), "_._x_.y");
}

TEST(MessageStore, KnownListMatchesWholeIds) {
  const std::set<std::string> known = ParseKnownList("1 abc\r\n2 0000000A\r\nbroken\r\n 3  d e \n");
  EXPECT_EQ(known, (std::set<std::string>{"abc", "0000000A", "d e"}));
  // An ID that only occurs inside another is not known.
  EXPECT_EQ(known.count("ab"), 0u);
  EXPECT_EQ(known.count("1"), 0u);
  EXPECT_EQ(FormatKnownList({{1, "u1"}, {12, "u12"}}), "1 u1\r\n12 u12\r\n");
  UidEntry e;
  EXPECT_FALSE(ParseUidLine("0 x", &e));
  EXPECT_FALSE(ParseUidLine("x 1", &e));
  EXPECT_FALSE(ParseUidLine("5", &e));
  EXPECT_EQ(KnownListPath("/d", "a/b", "h"), "/d/a_b@h.uid");
}

}  // namespace
