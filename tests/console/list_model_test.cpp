#include "console/list_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "console/setup_command.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "support/temp_dir.h"
#include "varnindex/VarnIndex.h"

namespace console {
namespace {

class ListModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nlohmann::json setup = {
        {"accounts",
         nlohmann::json::array(
             {{{"name", "bravo"}, {"host", "10.0.0.2"}, {"ping", true}},
              {{"name", "alpha"}, {"host", "10.0.0.9"}, {"ping", true}},
              {{"name", "charlie"}, {"host", "10.0.0.1"}, {"ping", true}},
              {{"name", "delta"},
               {"host", "10.0.0.4"},
               {"custom", nlohmann::json::array({nlohmann::json::array({"SSH", 22}),
                                                 nlohmann::json::array({"rsync", 873})})}}})}};
    ASSERT_EQ(ApplySetup(dir_.path(), setup), "");
    Scanned("alpha", "20261208101500");
    Scanned("bravo", "20261208111500");
  }
  void Scanned(const std::string& name, const char* when) {
    common::CheckStatus s{};
    s.enabled = 1;
    std::strcpy(s.lastCheck, when);
    ASSERT_EQ(common::WriteWholeFile(dir_ / ("PINGData/" + common::HexKey(name)), &s, sizeof s), 1);
  }
  std::vector<std::string> Names() {
    std::vector<std::string> out;
    for (int i = 0; i < model_.RowCount(); ++i)
      out.push_back(model_.Row(i, platform::LocalNow()).name);
    return out;
  }
  std::string Ini(const char* key) {
    return platform::IniGetString(dir_ / "Varnock.ini", "PROGRAM", key, "");
  }
  testsupport::TempDir dir_;
  ListModel model_{dir_.path(), platform::LocalNow()};
};

TEST_F(ListModelTest, RowsInServerOrderWithCustomServices) {
  EXPECT_EQ(model_.RowCount(), 5);
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"alpha", "bravo", "charlie", "delta(rsync)", "delta(SSH)"}));
  ListRow r = model_.Row(4, platform::LocalNow());
  EXPECT_EQ(r.service, " CUSTOM");
  EXPECT_EQ(r.domain, " 10.0.0.4");
  EXPECT_TRUE(r.enabled);
  EXPECT_EQ(model_.Row(0, platform::LocalNow()).lastCheck, "10:15am");
  EXPECT_FALSE(model_.Row(5, platform::LocalNow()).valid);
}

TEST_F(ListModelTest, RowsNeverCheckedShowTheWhiteLamp) {
  // The records the console made for charlie and both delta services hold no check yet.
  const Lamp expected[] = {Lamp::kGreen, Lamp::kGreen, Lamp::kWhite, Lamp::kWhite, Lamp::kWhite};
  for (int i = 0; i < 5; ++i) {
    ListRow r = model_.Row(i, platform::LocalNow());
    ASSERT_TRUE(r.valid) << i;
    EXPECT_EQ(r.lamp, expected[i]) << r.name;
  }
}

TEST_F(ListModelTest, LastCheckSortPutsNeverScannedLastAscendingAndFirstDescending) {
  platform::IniSetString(dir_ / "Varnock.ini", "PROGRAM", "LASTSETTINGUPDATE", "200001010000");
  EXPECT_TRUE(model_.SortBy(5));  // first click: built, descending
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"delta(SSH)", "delta(rsync)", "charlie", "alpha", "bravo"}));
  EXPECT_FALSE(model_.SortBy(5));  // nothing changed since: only the direction flips
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"bravo", "alpha", "charlie", "delta(rsync)", "delta(SSH)"}));
  EXPECT_EQ(Ini("LASTCHECKSORT").size(), 12u);
}

TEST_F(ListModelTest, ServerClickOnlyReversesAndWritesNoBuildKey) {
  EXPECT_FALSE(model_.SortBy(2));
  EXPECT_EQ(Names().front(), "delta(SSH)");
  EXPECT_TRUE(model_.descending(2));
  for (int c = 0; c < 8; ++c) {
    if (c != 2) {
      EXPECT_EQ(Ini(BuildKeyOf(c)), "") << c;
    }
  }
}

TEST_F(ListModelTest, DomainSortAndStaleIndexAfterAChange) {
  EXPECT_TRUE(model_.SortBy(3));
  model_.SortBy(3);                       // back to ascending
  EXPECT_EQ(Names().front(), "charlie");  // 10.0.0.1
  // An index built in the same minute as the last change counts as stale.
  platform::IniSetString(dir_ / "Varnock.ini", "PROGRAM", "LASTSETTINGUPDATE", "209912312359");
  EXPECT_TRUE(model_.IndexStale(3));
  platform::IniSetString(dir_ / "Varnock.ini", "PROGRAM", "LASTSETTINGUPDATE", "200001010000");
  EXPECT_FALSE(model_.IndexStale(3));
}

TEST_F(ListModelTest, EnableToggleChangesOnlyTheRowsService) {
  ASSERT_TRUE(model_.ToggleEnable(4));  // delta(SSH)
  common::CustomStatus c{};
  ASSERT_EQ(common::ReadFixedFile(dir_ / ("CustData/" + common::HexKey("delta")), &c, sizeof c), 1);
  EXPECT_EQ(std::string(c.names[0]), "SSH");
  EXPECT_EQ(c.slots[0].enabled, 0u);
  EXPECT_EQ(c.slots[1].enabled, 1u);
  EXPECT_FALSE(model_.Row(4, platform::LocalNow()).enabled);
  EXPECT_EQ(Ini("LASTSETTINGUPDATE").size(), 12u);
  EXPECT_EQ(model_.SetAllEnabled(true), 1);
  EXPECT_EQ(model_.SetAllEnabled(false), 5);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(model_.Row(i, platform::LocalNow()).enabled);
}

TEST_F(ListModelTest, MissingAccountFileLeavesABlankRow) {
  std::remove((dir_ / ("AllData/" + common::HexKey("charlie"))).c_str());
  EXPECT_FALSE(model_.Row(2, platform::LocalNow()).valid);
  EXPECT_FALSE(model_.ToggleEnable(2));
}

// A sort index built on two threads over many batches of the main index holds what one
// thread reading the rows in the main index's order would add: the same keys in the same
// key files. Rows whose files are gone or damaged are left out alike.
TEST(SortIndexBuild, ManyBatchesOnTwoThreadsGiveTheOneThreadIndex) {
  testsupport::TempDir dir;
  nlohmann::json accounts = nlohmann::json::array();
  for (int i = 0; i < 1100; ++i) {
    nlohmann::json a = {{"name", "host-" + std::to_string((i * 7919) % 1100)},
                        {"host", "10.1." + std::to_string(i % 250) + "." + std::to_string(i % 7)},
                        {"ping", true}};
    if (i % 97 == 0) a["custom"] = nlohmann::json::array({nlohmann::json::array({"SSH", 22})});
    accounts.push_back(a);
  }
  ASSERT_EQ(ApplySetup(dir.path(), {{"accounts", accounts}}), "");
  std::remove((dir / ("AllData/" + common::HexKey("host-5"))).c_str());
  common::WriteWholeFile(dir / ("PINGData/" + common::HexKey("host-6")), "short", 5);
  const platform::SystemTime start = platform::LocalNow();
  ListModel model(dir.path(), start);
  ASSERT_GT(model.RowCount(), 1100);

  for (int column : {1, 3, 7}) {
    // The reference: every row read in order on this thread.
    std::string packed;
    int count = 0;
    const platform::SystemTime now = platform::LocalNow();
    for (int i = 0;; ++i) {
      char slot[150] = {};
      if (GetRecordWithOffset((dir / "ListView").c_str(), slot, i) != 1) break;
      auto rec = ParseStoreRecord(2, slot);
      ASSERT_TRUE(rec);
      auto st = ReadRowStatus(dir.path(), *rec);
      if (!st) continue;
      packed += SortKeyOf(column, *rec, *st, now, start) + '\0';
      ++count;
    }
    const std::string reference = dir / "reference";
    ASSERT_EQ(ReplaceAllDat(reference.c_str(), packed.data(), count), 1);
    BuiltIndex built = model.BuildIndex(column);
    ASSERT_TRUE(built.ok) << column;
    EXPECT_EQ(built.records, count) << column;
    EXPECT_EQ(count, model.RowCount() - 2) << column;  // host-5 and host-6 are left out
    const std::string store = dir / StoreDirOf(column);
    auto keyFiles = [](const std::string& folder) {
      std::vector<std::pair<std::string, int64_t>> out;
      for (const std::string& name : platform::ListFiles(folder))
        if (name.size() > 4 && name.substr(name.size() - 4) == ".key")
          out.push_back({name, common::FileSizeOf(platform::JoinPath(folder, name))});
      std::sort(out.begin(), out.end());
      return out;
    };
    EXPECT_EQ(keyFiles(store), keyFiles(reference)) << column;
    for (int i = 0; i < count; i += 37) {
      char a[150] = {}, b[150] = {};
      ASSERT_EQ(GetRecordWithOffset(store.c_str(), a, i), 1);
      ASSERT_EQ(GetRecordWithOffset(reference.c_str(), b, i), 1);
      EXPECT_STREQ(a, b) << column << " " << i;
    }
  }
}

TEST(StoreRecords, ParsedPerColumnWithTheFolderSpelling) {
  auto r = ParseStoreRecord(2, "616263\t\tpingdata\t\t10.0.0.1");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->dataDir, "PINGData");
  r = ParseStoreRecord(3, "10.0.0.1\t\t616263(ssh)\t\tcustdata");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->nameField, "616263(ssh)");
  EXPECT_EQ(r->dataDir, "CustData");
  EXPECT_EQ(r->domain, "10.0.0.1");
  r = ParseStoreRecord(5, "99999999999999\t\t616263\t\thttppagedata\t\twww");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->dataDir, "HTTPPageData");
  EXPECT_FALSE(ParseStoreRecord(2, "616263\t\tnofolder\t\tx"));
  EXPECT_FALSE(ParseStoreRecord(5, "616263\t\tpingdata"));
  EXPECT_FALSE(ParseStoreRecord(2, ""));
}

}  // namespace
}  // namespace console
