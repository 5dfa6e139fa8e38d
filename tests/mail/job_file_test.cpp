#include "mail/job_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"

namespace {

uint32_t U32(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
         static_cast<uint8_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

mail::MailJob AgentJob() {
  mail::MailJob job;
  job.smtpHost = "mx";
  job.to = "a@x,b@y";
  job.from = "me@z";
  job.subject = "S";
  job.body = "Body";
  job.logDestination = "/d/RelayKitLog,1,KT.Varnock";
  return job;
}

TEST(MailJobFile, EncodesHeadAndTextsByteForByte) {
  const std::string bytes = mail::EncodeMailJob(AgentJob());
  std::string expected_texts = std::string("mx") + '\0' + "dummy" + '\0' + "a@x,b@y" + '\0' + '\0' +
                               "me@z" + '\0' + '\0' + "S" + '\0' + "Body" + '\0' + '\0' +
                               "/d/RelayKitLog,1,KT.Varnock" + '\0';
  ASSERT_EQ(bytes.size(), 96 + expected_texts.size());
  EXPECT_EQ(bytes.substr(96), expected_texts);
  EXPECT_EQ(U32(bytes, 0), 128u);
  EXPECT_EQ(U32(bytes, 4), 1u);
  EXPECT_EQ(U32(bytes, 16), 25u);
  EXPECT_EQ(U32(bytes, 28), 110u);
  // (head field, offset, length) of every text: lengths count the zero byte.
  const struct {
    size_t field;
    uint32_t offset, length;
  } kTexts[] = {{8, 96, 3},   {20, 99, 6},  {32, 105, 8}, {40, 113, 1}, {48, 114, 5},
                {56, 119, 1}, {64, 120, 2}, {72, 122, 5}, {80, 127, 1}, {88, 128, 28}};
  for (const auto& t : kTexts) {
    EXPECT_EQ(U32(bytes, t.field), t.offset) << "field " << t.field;
    EXPECT_EQ(U32(bytes, t.field + 4), t.length) << "field " << t.field;
  }
}

TEST(MailJobFile, WriteIsOwnerOnlyAndReadsBack) {
  testsupport::TempDir dir;
  mail::MailJob job = AgentJob();
  job.attachments = "/tmp/a.gif,/tmp/b.bin";
  job.charset = 0;
  job.deleteAfterSending = -99;
  job.smtpPort = 0x10000 + 2525;
  const std::string path = dir / "CON1.tmp";
  ASSERT_TRUE(mail::WriteMailJob(path, job));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto back = mail::ReadMailJob(path);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->charset, 0);
  EXPECT_EQ(back->deleteAfterSending, -99);
  EXPECT_EQ(back->smtpPort, 0x10000 + 2525);
  EXPECT_EQ(back->to, job.to);
  EXPECT_EQ(back->attachments, job.attachments);
  EXPECT_EQ(back->logDestination, job.logDestination);
}

TEST(MailJobFile, ShortOrOutOfRangeFilesAreRefused) {
  std::string bytes = mail::EncodeMailJob(AgentJob());
  EXPECT_FALSE(mail::DecodeMailJob(bytes.substr(0, 95)));
  EXPECT_FALSE(mail::DecodeMailJob(bytes.substr(0, bytes.size() - 1)));  // last text cut
  std::string bad = bytes;
  bad[72] = '\xF0';  // body offset far beyond the end
  EXPECT_FALSE(mail::DecodeMailJob(bad));
  EXPECT_FALSE(mail::ReadMailJob("/nonexistent/CON.tmp"));
}

TEST(MailJobFile, AttachmentListShorterThanFourBytesMeansNone) {
  for (const char* list : {"", "a", "ab", "abc"}) {
    mail::MailJob job = AgentJob();
    job.attachments = list;
    auto back = mail::DecodeMailJob(mail::EncodeMailJob(job));
    ASSERT_TRUE(back);
    if (std::string(list).size() + 1 < 4)
      EXPECT_EQ(back->attachments, "") << list;
    else
      EXPECT_EQ(back->attachments, list);
  }
}

}  // namespace
