// Composition of the message: encoders, the Japanese conversion, header texts, addresses,
// the date, message ID and boundary, and the message layout with its attachments.
#include <gtest/gtest.h>

#include <map>

#include "mail/addresses.h"
#include "mail/compose.h"
#include "mail/encoders.h"
#include "mail/header_text.h"
#include "mail/jis.h"
#include "mail_test_support.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

const std::string kEsc2 = "\x1B$B";
const std::string kEsc1 = "\x1B(J";

std::string FromJis(const std::string& jis) {
  auto sjis = platform::ConvertText(jis, "ISO-2022-JP", "CP932");
  return sjis ? *sjis : std::string("<undecodable>");
}

std::string Sjis(const char* utf8) {
  return *platform::Utf8ToCp932(utf8);
}

TEST(MailEncoders, Base64KnownVectors) {
  const std::pair<std::string, std::string> cases[] = {{"", ""},
                                                       {"f", "Zg=="},
                                                       {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},
                                                       {"foob", "Zm9vYg=="},
                                                       {"fooba", "Zm9vYmE="},
                                                       {"foobar", "Zm9vYmFy"},
                                                       {"Username", "VXNlcm5hbWU="},
                                                       {std::string("\xFF\x00\x80", 3), "/wCA"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(mail::Base64Encode(in), out) << in;
}

TEST(MailEncoders, QuotedPrintable) {
  const std::pair<std::string, std::string> cases[] = {
      {"a=b", "a=3Db"},
      {"a b", "a b"},
      {"a \t", "a=20=09"},  // blanks with nothing visible after them
      {"a \tb", "a \tb"},
      {"x\ny", "x=0Ay"},  // hard line breaks travel as =0A
      {"caf\xE9", "caf=E9"},
      {std::string(75, 'a'), std::string(75, 'a')},
      {std::string(80, 'a'), std::string(75, 'a') + "=\n" + std::string(5, 'a')},
      {std::string(73, 'a') + "\xE9\xE9", std::string(73, 'a') + "=E9=\n=E9"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(mail::QuotedPrintableEncode(in), out) << in;
  EXPECT_EQ(mail::QEncodeWord("caf\xE9 au lait?_"), "caf=E9=20au=20lait=3F=5F");
}

TEST(MailJis, ShiftJisToIso2022Jp) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc", "abc"},
      {"\x88\x9F", kEsc2 + "0!" + kEsc1},  // the first kanji
      {"a\x88\x9F"
       "b",
       "a" + kEsc2 + "0!" + kEsc1 + "b"},
      {"\x82\xA0\x83\x41", kEsc2 + "$\"%\"" + kEsc1},  // hiragana a, katakana a
      {"\xB6\xDE", kEsc2 + "%," + kEsc1},              // half-width ka + voiced: ga
      {"\xCA\xDF\xCA\xDE", kEsc2 + "%Q%P" + kEsc1},    // pa, ba
      {"\xB1\xDE", kEsc2 + "%\"!+" + kEsc1},           // a has no voiced form: a, mark
      {"\xB0\xA1\xA4", kEsc2 + "!<!#!\"" + kEsc1},     // prolonged mark, stop, comma
      {"\xDD", kEsc2 + "%s" + kEsc1},                  // n
      {"\xA0", kEsc2 + "!!" + kEsc1},                  // not a katakana
      {"\x87\x40", kEsc2 + "-!" + kEsc1},              // NEC circled one, row 13
      {"\xFA\x40", kEsc2 + "|q" + kEsc1},              // IBM small roman one
      {"\xFA\x5C", kEsc2 + "y!" + kEsc1},              // IBM kanji at its row-89 place
      {"\xFA\x58", kEsc2 + "-j" + kEsc1},              // IBM parenthesised kabu: row 13
      {"\xFC\x4B", kEsc2 + "|n" + kEsc1},
      {"\x88", kEsc2 + "!!" + kEsc1},  // lone lead byte at the end
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(mail::SjisToIso2022Jp(in), out) << in;
}

// Lead bytes 0xED and 0xEE (NEC-selected IBM extensions) are whole characters: each
// becomes the JIS code of its twin among the IBM extensions 0xFA-0xFC (the character the
// code page gives both), and the byte after it is kept.
TEST(MailJis, NecSelectedIbmExtensionsAreDoubleByteCharacters) {
  EXPECT_EQ(mail::SjisToIso2022Jp("\xED\x40\n"), kEsc2 + "y!" + kEsc1 + "\n");
  EXPECT_EQ(mail::SjisToIso2022Jp("a\xEE\xEF\xEE\xFC"
                                  "b"),
            "a" + kEsc2 + "|q|~" + kEsc1 + "b");
  std::map<std::string, std::string> ibmTwin;  // character (UTF-8) -> its 0xFA-0xFC bytes
  for (int lead = 0xFA; lead <= 0xFC; ++lead) {
    for (int trail = 0x40; trail <= 0xFC; ++trail) {
      const std::string pair{static_cast<char>(lead), static_cast<char>(trail)};
      if (auto c = platform::Cp932ToUtf8(pair)) ibmTwin.emplace(*c, pair);
    }
  }
  int checked = 0;
  for (int lead : {0xED, 0xEE}) {
    for (int trail = 0x40; trail <= 0xFC; ++trail) {
      const std::string pair{static_cast<char>(lead), static_cast<char>(trail)};
      const auto c = platform::Cp932ToUtf8(pair);
      if (!c) continue;
      ASSERT_EQ(ibmTwin.count(*c), 1u) << std::hex << lead << " " << trail;
      EXPECT_EQ(mail::SjisToIso2022Jp(pair + "\n"), mail::SjisToIso2022Jp(ibmTwin[*c] + "\n"))
          << std::hex << lead << " " << trail;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 374);
}

TEST(MailJis, DecodesBackToTheShiftJisInput) {
  const std::string text = Sjis("監視サーバが停止しました。 web1 (10.0.0.1) 確認してください");
  EXPECT_EQ(FromJis(mail::SjisToIso2022Jp(text)), text);
}

TEST(MailHeaderText, EncodingByCharacterSet) {
  const std::string kanji = Sjis("件名");
  const std::string eight = "caf\xE9";
  struct Case {
    int charset;
    std::string in, out;
  } cases[] = {
      {128, "plain text", "plain text"},
      {0, "plain text", "plain text"},
      {128, kanji, "=?iso-2022-jp?B?" + mail::Base64Encode(mail::SjisToIso2022Jp(kanji)) + "?="},
      {129, eight, "=?EUC-KR?B?" + mail::Base64Encode(eight) + "?="},
      {134, eight, "=?gb2312?B?" + mail::Base64Encode(eight) + "?="},
      {136, eight, "=?big5?B?" + mail::Base64Encode(eight) + "?="},
      {0, eight, "=?iso-8859-1?Q?caf=E9?="},
      {222, eight, "=?iso-8859-1?Q?caf=E9?="},
      {204, eight, "=?iso-8859-2?Q?caf=E9?="},
      {238, eight, "=?iso-8859-2?Q?caf=E9?="},
      {161, eight, "=?iso-8859-7?Q?caf=E9?="},
      {162, eight, "=?iso-8859-9?Q?caf=E9?="},
      {178, eight, "=?iso-8859-6?Q?caf=E9?="},
      {77, eight, eight},
  };
  for (const Case& c : cases)
    EXPECT_EQ(mail::EncodeHeaderText(c.in, c.charset), c.out) << c.charset;
}

TEST(MailHeaderText, LongJapaneseTextBecomesSeveralWholeWords) {
  std::string text;
  for (int i = 0; i < 80; ++i) text += Sjis("監");
  text += "ab";
  const std::string encoded = mail::EncodeHeaderText(text, 128);
  std::string decoded;
  size_t words = 0;
  for (size_t pos = 0; (pos = encoded.find("=?iso-2022-jp?B?", pos)) != std::string::npos;) {
    pos += 16;
    const size_t end = encoded.find("?=", pos);
    const std::string bytes = mailtest::Base64Decode(encoded.substr(pos, end - pos));
    EXPECT_LE(bytes.size(), 102u);
    decoded += FromJis(bytes);
    ++words;
  }
  EXPECT_GE(words, 2u);
  EXPECT_EQ(decoded, text);  // nothing lost, every word decodes on its own
  EXPECT_NE(encoded.find("?=\n =?iso-2022-jp?B?"), std::string::npos);
}

// Words are cut between characters also for the lead bytes only the conversion knows (the
// NEC-selected IBM extensions at 0xED and 0xEE, whose trail may be a lead byte itself).
TEST(MailHeaderText, WordsNeverSplitAVendorCharacter) {
  auto bare = [](std::string jis) {
    for (const std::string& esc : {kEsc2, kEsc1}) {
      for (size_t at; (at = jis.find(esc)) != std::string::npos;) jis.erase(at, esc.size());
    }
    return jis;
  };
  for (const char* character : {"\xED\x9F", "\xEE\xE0", "\xF0\x9F"}) {
    std::string text;
    for (int i = 0; i < 60; ++i) text += character;
    const std::string encoded = mail::EncodeHeaderText(text, 128);
    std::string words;
    for (size_t pos = 0; (pos = encoded.find("=?iso-2022-jp?B?", pos)) != std::string::npos;) {
      pos += 16;
      words += bare(mailtest::Base64Decode(encoded.substr(pos, encoded.find("?=", pos) - pos)));
    }
    EXPECT_EQ(words, bare(mail::SjisToIso2022Jp(text))) << character;
  }
}

TEST(MailAddresses, EnvelopeRecipients) {
  const std::string long80(76, 'x');  // with "@y.z" exactly 80 characters
  struct Case {
    std::string to, cc;
    std::vector<std::string> out;
  } cases[] = {
      {"A <a@x.test>, B <b@y.test>", "", {"a@x.test", "b@y.test"}},
      {"a@x.test, b@y.test", "c@z.test", {"a@x.test", "b@y.test", "c@z.test"}},
      {"", "c@z.test", {"c@z.test"}},
      {" , a@x.test,,\t", "", {"a@x.test"}},
      {"a@x.test," + long80 + "@y.z,b@y.test", "c@z.test", {"a@x.test", "c@z.test"}},
      {"a@x.test," + long80.substr(1) + "@y.z", "", {"a@x.test", long80.substr(1) + "@y.z"}},
      {"", "", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(mail::EnvelopeRecipients(c.to, c.cc), c.out) << c.to;
}

TEST(MailAddresses, EnvelopeSender) {
  const std::pair<std::string, std::string> cases[] = {
      {"Alert <alert@x.test>", "alert@x.test"},
      {"alert@x.test (Alert Desk)", "alert@x.test"},
      {"\"a@b.test, desk\" <real@x.test>", "real@x.test"},
      {"(mail a@c.test) plain@x.test", "plain@x.test"},
      {"a@b@c.test x@y.test", "x@y.test"},
      {"nobody", "nobody"},
      {Sjis("山田") + " <y@x.test>", "y@x.test"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(mail::EnvelopeSender(in), out) << in;
}

TEST(MailAddresses, HeaderFoldingAndDisplayNames) {
  const std::string name = Sjis("山田");
  const std::pair<std::string, std::string> cases[] = {
      {"a@x.test,b@y.test", "a@x.test,\n\tb@y.test"},
      {"A <a@x.test>, B <b@y.test>", "A <a@x.test>, B <b@y.test>"},
      {name + " <y@x.test>",
       "=?iso-2022-jp?B?" + mail::Base64Encode(mail::SjisToIso2022Jp(name)) + "?= <y@x.test>"},
      {"a@x.test", "a@x.test"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(mail::AddressHeaderText(in, 128), out) << in;
}

TEST(MailStamp, DateMessageIdAndBoundary) {
  EXPECT_EQ(mail::FormatDate(2026, 12, 8, 2, 15, 42, 30, 540), "Tue, 08 Dec 2026 15:42:30  +0900");
  EXPECT_EQ(mail::FormatDate(2026, 1, 4, 0, 3, 4, 5, -300), "Sun, 04 Jan 2026 03:04:05  -0500");
  EXPECT_EQ(mail::FormatDate(2026, 7, 1, 3, 0, 0, 0, -90), "Wed, 01 Jul 2026 00:00:00  -0130");
  EXPECT_EQ(mail::FormatDate(2026, 7, 1, 3, 0, 0, 0, 0), "Wed, 01 Jul 2026 00:00:00  +0000");
  EXPECT_EQ(mail::FormatDate(2026, 7, 1, 3, 0, 0, 0, std::nullopt),
            "Wed, 01 Jul 2026 00:00:00 error");
  EXPECT_EQ(mail::FormatMessageId(12, 8, 2026, 15, 42, 30, 7, 3, "vmhost", "mx.test"),
            "12082026154230007.3.1809041115@mx.test");
  EXPECT_EQ(mail::FormatMessageId(1, 2, 2026, 3, 4, 5, 999, 0, "ab", "mx"),
            "01022026030405999.0.9798@mx");
  EXPECT_EQ(mail::MakeBoundary(0, [] { return 0u; }), "=_ Boundary oqsuwyACEGIKMOQSU");
  // The milliseconds and the random part shift every character along the set.
  EXPECT_EQ(mail::MakeBoundary(73, [] { return 100u; }), "=_ Boundary nprtvxzBDFHJLNPRT");
  const mail::MessageStamp a = mail::NewStamp("mx.test"), b = mail::NewStamp("mx.test");
  EXPECT_NE(a.messageId, b.messageId);  // the counter grows
  EXPECT_EQ(a.boundary.size(), 29u);
}

mail::MailJob Job() {
  mail::MailJob job;
  job.smtpHost = "mx.test";
  job.from = "Alert <alert@x.test>";
  job.to = "ops@x.test,boss@x.test";
  job.subject = "web1 is down";
  job.body = "Server DOWN";
  return job;
}

const mail::MessageStamp kStamp = {"Tue, 08 Dec 2026 15:42:30  +0900",
                                   "12082026154230007.0.1809@mx.test",
                                   "=_ Boundary oqsuwyACEGIKMOQSU"};

TEST(MailMessage, SinglePartLayout) {
  mail::MailJob job = Job();
  job.replyTo = "desk@x.test";
  job.cc = "cc@x.test";
  EXPECT_EQ(mail::BuildMessage(job, "KT.Varnock", kStamp),
            "Date: Tue, 08 Dec 2026 15:42:30  +0900\n"
            "From: Alert <alert@x.test>\n"
            "Reply-To: desk@x.test\n"
            "X-Mailer: KT.Varnock\n"
            "MIME-Version: 1.0\n"
            "To: ops@x.test,\n\tboss@x.test\n"
            "Cc: cc@x.test\n"
            "Subject: web1 is down\n"
            "Message-ID: <12082026154230007.0.1809@mx.test>\n"
            "Content-Type: text/plain; charset=iso-2022-jp\n"
            "Content-Transfer-Encoding: 7bit\n"
            "\n"
            "Server DOWN\n");
}

TEST(MailMessage, BodyPartByCharacterSet) {
  struct Case {
    int charset;
    std::string body, head, text;
  } cases[] = {
      {128, "Server DOWN", "charset=iso-2022-jp\nContent-Transfer-Encoding: 7bit", "Server DOWN"},
      {0, "Server DOWN", "charset=us-ascii\nContent-Transfer-Encoding: 7bit", "Server DOWN"},
      {0, "caf\xE9\nok", "charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable",
       "caf=E9=0Aok"},
      {129, "\xB0\xA1", "charset=EUC-KR\nContent-Transfer-Encoding: quoted-printable", "=B0=A1"},
      {136, "\xA4\x40", "charset=big5\nContent-Transfer-Encoding: quoted-printable", "=A4@"},
      {178, "\xC7", "charset=iso-8859-6\nContent-Transfer-Encoding: quoted-printable", "=C7"},
      {77, "\xC7", "charset=us-ascii\nContent-Transfer-Encoding: 7bit", "\xC7"},
      {128, "\x88\x9F\nx", "charset=iso-2022-jp\nContent-Transfer-Encoding: 7bit",
       kEsc2 + "0!" + kEsc1 + "\nx"},
  };
  for (const Case& c : cases) {
    mail::MailJob job = Job();
    job.charset = c.charset;
    job.body = c.body;
    const std::string text = mail::BuildMessage(job, "m", kStamp);
    EXPECT_NE(text.find("Content-Type: text/plain; " + c.head + "\n\n" + c.text + "\n"),
              std::string::npos)
        << c.charset << "\n"
        << text;
  }
}

TEST(MailMessage, AttachmentsOfEveryKind) {
  testsupport::TempDir dir;
  std::string binary;
  for (int i = 0; i < 300; ++i) binary.push_back(static_cast<char>(i * 7));
  const std::string gifByContent = "GIF89a" + binary;
  testsupport::WriteFile(dir / "pic.GIF", binary);
  testsupport::WriteFile(dir / "photo.JPEG", binary);
  testsupport::WriteFile(dir / "image.dat", gifByContent);
  testsupport::WriteFile(dir / "data.bin", binary);
  testsupport::WriteFile(dir / "note.fwd", "Subject: old\r\n\r\nold text\r\n");
  mail::MailJob job = Job();
  job.attachments = dir / "pic.GIF" + ", " + dir / "photo.JPEG" + "," + dir / "image.dat" + "," +
                    dir / "missing.bin" + "," + dir / "data.bin" + "," + dir / "note.fwd";
  const std::string text = mail::BuildMessage(job, "m", kStamp);
  const std::string b = kStamp.boundary;
  const size_t head = text.find(
      "Message-ID: <12082026154230007.0.1809@mx.test>\n"
      "Content-Type: multipart/mixed;\n"
      "    boundary=\"" +
      b + "\"\n\n\n--" + b +
      "\n"
      "Content-Type: text/plain; charset=iso-2022-jp\n");
  EXPECT_NE(head, std::string::npos) << text;
  struct Part {
    const char* type;
    const char* name;
    const char* disposition;
    std::string content;
  } parts[] = {{"image/gif", "pic.GIF", "inline", binary},
               {"image/jpeg", "photo.JPEG", "inline", binary},
               {"image/gif", "image.dat", "inline", gifByContent},
               {"application/octet-stream", "data.bin", "attachment", binary}};
  size_t at = 0;
  for (const Part& p : parts) {
    const std::string partHead = std::string("\n--") + b + "\nContent-Type: " + p.type +
                                 "; name=\"" + p.name + "\"\nContent-Transfer-Encoding: base64\n" +
                                 "Content-Disposition: " + p.disposition + "; filename=\"" +
                                 p.name + "\"\n\n";
    at = text.find(partHead, at);
    ASSERT_NE(at, std::string::npos) << p.name << "\n" << text;
    at += partHead.size();
    const size_t end = text.find("\n--", at);
    const std::string encoded = text.substr(at, end - at + 1);
    EXPECT_EQ(mailtest::Base64Decode(encoded), p.content) << p.name;
    EXPECT_EQ(encoded.find('\n'), 68u);  // 51 bytes per line
  }
  EXPECT_EQ(text.find("missing.bin"), std::string::npos);
  const std::string fwd = "\n--" + b +
                          "\nContent-Type: message/rfc822\nContent-Transfer-Encoding: 7bit\n"
                          "Content-Disposition: inline\n\nSubject: old\n\nold text\n\n--" +
                          b + "--\n";
  EXPECT_EQ(text.substr(text.size() - fwd.size()), fwd);
}

TEST(MailMessage, AttachmentListAndDeletion) {
  EXPECT_EQ(mail::AttachmentPaths("a, b,,  c"), (std::vector<std::string>{"a", "b", "", "c"}));
  EXPECT_EQ(mail::AttachmentPaths(std::string(260, 'p') + ",q"),
            (std::vector<std::string>{"", "q"}));
  EXPECT_TRUE(mail::AttachmentPaths("").empty());
  for (int flag : {1, -99, 0}) {
    SCOPED_TRACE(flag);
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "a.bin", "x");
    testsupport::WriteFile(dir / "m.fwd", "x");
    mail::MailJob job = Job();
    job.deleteAfterSending = flag;
    job.attachments = dir / "a.bin" + "," + dir / "m.fwd";
    mail::DeleteAttachments(job);
    EXPECT_EQ(platform::PathExists(dir / "a.bin"), flag == 0 || flag == -99);
    EXPECT_FALSE(platform::PathExists(dir / "m.fwd"));  // forwarded messages always go
  }
}

// A line break inside a header text would end the header block there: each becomes a
// blank, so every header stays one (folded) header and the envelope stays clean.
TEST(MailMessage, LineBreaksInHeaderTextsBecomeBlanks) {
  mail::MailJob job = Job();
  job.subject = "Down: web1\r\n\r\nInjected-Body";
  job.from = "Alert\r\nX-Evil: 1 <alert@x.test>";
  job.replyTo = "desk@x.test\nX-Evil: 2";
  job.to = "ops@x.test\r\nBcc: evil@y.test";
  job.cc = "cc@x.test\rX-Evil: 3";
  const std::string text = mail::BuildMessage(job, "m", kStamp);
  const std::string head = text.substr(0, text.find("\n\n"));
  EXPECT_NE(head.find("\nSubject: Down: web1  Injected-Body\n"), std::string::npos) << text;
  EXPECT_NE(head.find("\nFrom: Alert X-Evil: 1 <alert@x.test>\n"), std::string::npos) << text;
  EXPECT_NE(head.find("\nReply-To: desk@x.test X-Evil: 2\n"), std::string::npos) << text;
  EXPECT_NE(head.find("\nTo: ops@x.test Bcc: evil@y.test\n"), std::string::npos) << text;
  EXPECT_NE(head.find("\nCc: cc@x.test X-Evil: 3\n"), std::string::npos) << text;
  EXPECT_NE(head.find("\nMessage-ID: <"), std::string::npos) << text;
  EXPECT_NE(head.find("\nContent-Type: text/plain"), std::string::npos) << text;
  for (const char* header : {"\nX-Evil", "\nBcc", "\nInjected"})
    EXPECT_EQ(head.find(header), std::string::npos) << header;

  testsupport::TempDir dir;
  mail::ComposedMail composed;
  ASSERT_EQ(mail::ComposeMessage(job, "m", dir.path(), &composed), mail::ComposeStatus::kComposed);
  for (const std::string& r : composed.recipients)
    EXPECT_EQ(r.find_first_of("\r\n"), std::string::npos) << r;
  EXPECT_EQ(composed.sender, "alert@x.test");
}

// Attachment paths in a job are CP932; the file system names files in UTF-8.
TEST(MailMessage, JapaneseAttachmentNamesAreFoundAndDeleted) {
  testsupport::TempDir dir;
  const std::string utf8Name = "\xE5\xA0\xB1\xE5\x91\x8A.bin";  // 報告.bin
  testsupport::WriteFile(dir / utf8Name, "report");
  testsupport::WriteFile(dir / "plain.bin", "plain");
  mail::MailJob job = Job();
  job.attachments = *platform::Utf8ToCp932(dir / utf8Name) + "," + dir / "plain.bin";
  const std::string text = mail::BuildMessage(job, "m", kStamp);
  const std::string encodedName =
      "=?iso-2022-jp?B?" + mail::Base64Encode(mail::SjisToIso2022Jp(Sjis("報告.bin"))) + "?=";
  const size_t at = text.find("filename=\"" + encodedName + "\"\n\n");
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_EQ(text.substr(at + encodedName.size() + 13, 9), mail::Base64Encode("report") + "\n");
  EXPECT_NE(text.find("filename=\"plain.bin\""), std::string::npos);
  mail::DeleteAttachments(job);
  EXPECT_FALSE(platform::PathExists(dir / utf8Name));
  EXPECT_FALSE(platform::PathExists(dir / "plain.bin"));
}

TEST(MailMessage, ComposeWritesCrLfFileOrNothing) {
  testsupport::TempDir dir;
  mail::ComposedMail composed;
  mail::MailJob job = Job();
  ASSERT_EQ(mail::ComposeMessage(job, "m", dir / "new/sub", &composed),
            mail::ComposeStatus::kComposed);
  EXPECT_EQ(composed.sender, "alert@x.test");
  EXPECT_EQ(composed.recipients, (std::vector<std::string>{"ops@x.test", "boss@x.test"}));
  EXPECT_EQ(platform::DirName(composed.path), dir / "new/sub");
  EXPECT_EQ(composed.path.substr(composed.path.rfind('/') + 1, 4), "MAIL");
  const std::string stored = testsupport::ReadFile(composed.path);
  EXPECT_NE(stored.find("To: ops@x.test,\r\n\tboss@x.test\r\n"), std::string::npos);
  EXPECT_EQ(stored.substr(stored.size() - 13), "Server DOWN\r\n");
  job.to = " , ";
  mail::ComposedMail none;
  EXPECT_EQ(mail::ComposeMessage(job, "m", dir / "none", &none),
            mail::ComposeStatus::kNoRecipients);
  EXPECT_FALSE(platform::PathExists(dir / "none"));
}

}  // namespace
