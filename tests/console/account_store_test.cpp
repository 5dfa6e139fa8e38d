// Changes of the account set as whole steps: stale dialogs are refused, a change cut short
// is finished or undone at the next start, and a held store lock costs a bounded wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "common/account_key.h"
#include "common/accounts.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/status_update.h"
#include "console/account_change.h"
#include "console/account_editing.h"
#include "console/account_transfer.h"
#include "console/api.h"
#include "console/console_app.h"
#include "console/ui_text.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "support/temp_dir.h"
#include "varnindex/VarnIndex.h"

namespace console {
namespace {

using nlohmann::json;

bool NoAgent(const std::string&, const std::vector<std::string>&) {
  return true;
}

// An FTP transfer account's form; an empty password is left out, as the edit dialog does
// (the stored one stays).
json FtpForm(const std::string& name, const std::string& password) {
  json form = {{"type", common::kFtpTransfer},
               {"name", name},
               {"domain", "127.0.0.1"},
               {"ftpUser", "user"},
               {"remoteDir", "/up"}};
  if (!password.empty()) form["ftpPassword"] = password;
  return form;
}

// Everything of the account set that a change touches: records, status files, rows.
std::set<std::string> StoreParts(const std::string& dir) {
  std::set<std::string> parts;
  for (const std::string& name : platform::ListFiles(common::InDir(dir, common::kAllData))) {
    parts.insert("AllData/" + name);
  }
  for (const char* folder : common::kStatusFolderNames) {
    for (const std::string& name : platform::ListFiles(common::InDir(dir, folder))) {
      if (name != common::kFirstRunMarker) parts.insert(std::string(folder) + "/" + name);
    }
  }
  const std::string store = common::ListViewDir(dir);
  const int n = HowManyRecordInDB(store.c_str());
  for (int i = 0; i < n; ++i) {
    char buf[400] = {};
    if (GetRecordWithOffset(store.c_str(), buf, i)) {
      EXPECT_TRUE(parts.insert(std::string("row ") + buf).second) << "row twice: " << buf;
    }
  }
  return parts;
}

class Client {
 public:
  explicit Client(ConsoleApp& app) : app_(app) {}
  json Do(const std::string& action, json body) {
    bool quit = false;
    body["action"] = action;
    return Act(app_, action, body, &quit);
  }

 private:
  ConsoleApp& app_;
};

TEST(AccountStore, AStaleDialogNeitherDuplicatesNorResurrectsNorLosesThePassword) {
  struct Case {
    const char* what;
    // What client A does between B's load and B's save; B then saves as "renamedB".
    std::function<void(Client& a, const std::string& revision)> meanwhile;
    std::set<std::string> accountsAfter;
  };
  const std::string shared = common::HexKey("shared");
  const std::string renamedA = common::HexKey("renamedA");
  const Case cases[] = {
      {"A renamed it",
       [&](Client& a, const std::string& revision) {
         json form = FtpForm("renamedA", "");
         EXPECT_TRUE(a.Do("account-save",
                          {{"form", form}, {"originalKey", shared}, {"revision", revision}})["ok"]
                         .get<bool>());
       },
       {renamedA}},
      {"A deleted it",
       [&](Client& a, const std::string& revision) {
         EXPECT_TRUE(
             a.Do("account-delete", {{"key", shared}, {"revision", revision}})["ok"].get<bool>());
       },
       {}},
      {"A changed its domain",
       [&](Client& a, const std::string& revision) {
         json form = FtpForm("shared", "");
         form["domain"] = "127.0.0.2";
         EXPECT_TRUE(a.Do("account-save",
                          {{"form", form}, {"originalKey", shared}, {"revision", revision}})["ok"]
                         .get<bool>());
       },
       {shared}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "Varnock.ini", "[PROGRAM]\r\nLANGUAGE=0\r\n");
    ConsoleApp app(dir.path(), "/none", NoAgent);
    app.StartUp();
    Client a(app), b(app);
    ASSERT_TRUE(a.Do("account-save", {{"form", FtpForm("shared", "secret")}})["ok"].get<bool>());
    const json loadedA = a.Do("account-load", {{"key", shared}});
    const json loadedB = b.Do("account-load", {{"key", shared}});
    ASSERT_TRUE(loadedB["ok"].get<bool>());
    const std::string revision = loadedB["revision"].get<std::string>();
    EXPECT_EQ(revision.size(), 16u);
    EXPECT_EQ(loadedA["revision"], loadedB["revision"]);

    c.meanwhile(a, loadedA["revision"].get<std::string>());
    const std::set<std::string> before = StoreParts(dir.path());
    const json answer =
        b.Do("account-save",
             {{"form", FtpForm("renamedB", "")}, {"originalKey", shared}, {"revision", revision}});
    EXPECT_FALSE(answer["ok"].get<bool>());
    EXPECT_EQ(answer["message"],
              "This account was changed or deleted meanwhile. Close the dialog and open it again.");
    EXPECT_EQ(StoreParts(dir.path()), before) << "nothing written";
    std::set<std::string> accounts;
    for (const std::string& key : common::ListAccounts(dir.path())) accounts.insert(key);
    EXPECT_EQ(accounts, c.accountsAfter);
    for (const std::string& key : accounts) {
      bool whole = false;
      const common::AccountFile kept =
          common::ReadAccount(common::AccountPath(dir.path(), key), &whole);
      EXPECT_EQ(common::FieldText(kept.record.ftpPassword), "secret") << "the password stays";
    }
    // B's stale delete is refused too, with the same message; a fresh one goes through.
    if (!accounts.empty()) {
      const std::string key = *accounts.begin();
      const json stale = b.Do("account-delete", {{"key", key}, {"revision", revision}});
      EXPECT_FALSE(stale["ok"].get<bool>());
      EXPECT_EQ(stale["key"], "msgChangedMeanwhile");
      const std::string fresh = AccountRevision(dir.path(), key);
      EXPECT_TRUE(b.Do("account-delete", {{"key", key}, {"revision", fresh}})["ok"].get<bool>());
    }
    // An edit without the state it was loaded from is not taken.
    EXPECT_FALSE(b.Do("account-save", {{"form", FtpForm("x", "pw")}, {"originalKey", shared}})["ok"]
                     .get<bool>());
  }
  EXPECT_NE(MessageText("1", "msgChangedMeanwhile"), "msgChangedMeanwhile");
  EXPECT_NE(MessageText("1", "msgChangedMeanwhile"), MessageText("0", "msgChangedMeanwhile"));
}

// A program directory with one account registered the ordinary way, to compare against.
struct Registered {
  testsupport::TempDir dir;
  common::AccountFile account;
  std::string key;
  explicit Registered(const std::string& name) {
    platform::MakeDirs(dir / "ListView");
    json form = {{"type", 0},
                 {"name", name},
                 {"domain", "127.0.0.1"},
                 {"ping", true},
                 {"http", true},
                 {"custom", true},
                 {"customRows", {{{"name", "ssh"}, {"port", "22"}}}}};
    EXPECT_TRUE(SaveAccount(dir.path(), form, {}, "").written);
    key = common::HexKey(name);
    bool whole = false;
    account = common::ReadAccount(common::AccountPath(dir.path(), key), &whole);
  }
};

void WriteIntent(const std::string& dir, const std::string& words) {
  ASSERT_TRUE(platform::WriteFileAtomic(AccountChangePath(dir),
                                        "KTVarnock account change\n" + words + "\n", 0600));
}

void AddRow(const std::string& dir, const std::string& row) {
  AddDelDat(1, common::ListViewDir(dir).c_str(), row.c_str());
}

TEST(AccountStore, AChangeCutShortIsFinishedOrUndoneAtTheNextStart) {
  const Registered reference("web");
  const std::set<std::string> whole = StoreParts(reference.dir.path());
  ASSERT_EQ(whole.size(), 7u);  // record, three status files, three rows
  const std::string key = reference.key;
  const std::string other = common::HexKey("other");
  auto renamed = [&](const std::set<std::string>& parts) {
    std::set<std::string> out;
    for (std::string p : parts) {
      const size_t at = p.find(key);
      out.insert(p.replace(at, key.size(), other));
    }
    return out;
  };
  const common::AccountFile account = reference.account;
  const std::string ping = common::IndexLine(key, common::StatusFolder::kPing, "127.0.0.1");

  struct Case {
    const char* what;
    std::function<void(const std::string& dir)> leave;  // the state a crash left
    std::string intent;
    std::set<std::string> after;
    const char* logged;
  };
  auto recordOnly = [&](const std::string& d) {
    ASSERT_TRUE(common::WriteAccount(common::AccountPath(d, key), account));
  };
  const Case cases[] = {
      {"register: record, PING row, HTTP status without row, no custom status",
       [&](const std::string& d) {
         recordOnly(d);
         AddRow(d, ping);
         testsupport::WriteFile(d + "/PINGData/" + key, std::string(84, '\0'));
         testsupport::WriteFile(d + "/HTTPData/" + key, std::string(84, '\0'));
       },
       "register " + key, whole, "the account is whole"},
      {"register: a row and a status file, no record yet",
       [&](const std::string& d) {
         AddRow(d, ping);
         testsupport::WriteFile(d + "/PINGData/" + key, std::string(84, '\0'));
         testsupport::WriteFile(d + "/AllData/." + key + ".Ab12Cd", "half a record");
       },
       "register " + key,
       {},
       "no record was written"},
      {"register: rows of the domain it had before",
       [&](const std::string& d) {
         recordOnly(d);
         AddRow(d, common::IndexLine(key, common::StatusFolder::kPing, "10.9.9.9"));
         AddRow(d, common::IndexLine(key, common::StatusFolder::kSmtpPort, "10.9.9.9"));
         testsupport::WriteFile(d + "/SMTPData/" + key, std::string(84, '\0'));
       },
       "register " + key, whole, "the account is whole"},
      {"remove: the rows went, the record and a status file stayed",
       [&](const std::string& d) {
         recordOnly(d);
         testsupport::WriteFile(d + "/CustData/" + key, std::string(748, '\0'));
       },
       "remove " + key,
       {},
       "the account is removed"},
      {"rename: the new record was written",
       [&](const std::string& d) {
         recordOnly(d);
         common::RegisterAccountChecks(d, account.record);
         common::AccountFile moved = account;
         common::SetField(moved.record.key, other);
         ASSERT_TRUE(common::WriteAccount(common::AccountPath(d, other), moved));
         AddRow(d, common::IndexLine(other, common::StatusFolder::kPing, "127.0.0.1"));
       },
       "rename " + key + " " + other, renamed(whole), "the rename is finished"},
      {"rename: no new record yet",
       [&](const std::string& d) {
         recordOnly(d);
         common::RegisterAccountChecks(d, account.record);
         AddRow(d, common::IndexLine(other, common::StatusFolder::kPing, "127.0.0.1"));
         testsupport::WriteFile(d + "/PINGData/" + other, std::string(84, '\0'));
       },
       "rename " + key + " " + other, whole, "the rename is undone"},
      {"a store change cut short left a row twice",
       [&](const std::string& d) {
         recordOnly(d);
         common::RegisterAccountChecks(d, account.record);
         const std::string keyFile = d + "/ListView/kdt.key";
         std::string slots = testsupport::ReadFile(keyFile);
         // Replaced, not rewritten in place, so the store sees the change of size.
         ASSERT_TRUE(platform::WriteFileAtomic(keyFile, slots + slots.substr(slots.size() - 150)));
       },
       "register " + key, whole, "the account is whole"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempDir dir;
    platform::MakeDirs(dir / "ListView");
    c.leave(dir.path());
    WriteIntent(dir.path(), c.intent);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(FinishAccountChange(dir.path()));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("an account change was cut short"), std::string::npos) << said;
    EXPECT_NE(said.find(c.logged), std::string::npos) << said;
    EXPECT_EQ(StoreParts(dir.path()), c.after);
    EXPECT_FALSE(platform::PathExists(AccountChangePath(dir.path())));
    EXPECT_FALSE(platform::PathExists(dir / ("AllData/." + key + ".Ab12Cd")));
    // Finished is finished: a second start changes nothing.
    testing::internal::CaptureStderr();
    EXPECT_TRUE(FinishAccountChange(dir.path()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }

  // An intent file that names no change is logged and removed; nothing else is touched.
  testsupport::TempDir dir;
  testsupport::WriteFile(AccountChangePath(dir.path()), "KTVarnock account change\nremove ../x\n");
  testing::internal::CaptureStderr();
  EXPECT_TRUE(FinishAccountChange(dir.path()));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("names no account change"),
            std::string::npos);
  EXPECT_FALSE(platform::PathExists(AccountChangePath(dir.path())));
}

TEST(AccountStore, EveryFinishedChangeLeavesNoIntentAndTheSameFiles) {
  Registered r("web");
  const std::string d = r.dir.path();
  EXPECT_FALSE(platform::PathExists(AccountChangePath(d)));
  const std::string status = testsupport::ReadFile(d + "/PINGData/" + r.key);
  const std::set<std::string> parts = StoreParts(d);
  // Starting again with nothing pending touches nothing.
  EXPECT_TRUE(FinishAccountChange(d));
  EXPECT_EQ(StoreParts(d), parts);
  EXPECT_EQ(testsupport::ReadFile(d + "/PINGData/" + r.key), status);

  const platform::SystemTime now = platform::LocalNow();
  EXPECT_EQ(ImportCsvLine(d, "imported,127.0.0.5,,,1", now), "");
  EXPECT_FALSE(platform::PathExists(AccountChangePath(d)));
  EXPECT_TRUE(DeleteAccount(d, r.key));
  EXPECT_FALSE(platform::PathExists(AccountChangePath(d)));
  EXPECT_EQ(StoreParts(d).size(), 3u);  // the imported account: record, status file, row
}

TEST(AccountStore, AHeldStoreLockCostsABoundedWaitAndWritesNothing) {
  testsupport::TempDir dir;
  const std::string d = dir.path();
  platform::MakeDirs(dir / "ListView");
  ASSERT_TRUE(SaveAccount(d,
                          {{"type", 0}, {"name", "kept"}, {"domain", "127.0.0.1"}, {"ping", true}},
                          {}, "")
                  .written);
  const std::string kept = common::HexKey("kept");
  const std::set<std::string> before = StoreParts(d);
  testsupport::TempDir elsewhere;  // export may not write inside the program directory
  platform::FileLock holder;
  ASSERT_TRUE(holder.Acquire(AccountStoreLockPath(d)));
  common::SetStatusLockWait(300);
  const platform::SystemTime now = platform::LocalNow();
  struct Case {
    const char* what;
    std::function<bool()> attempt;  // true when it changed nothing and said so
  };
  const Case cases[] = {
      {"add",
       [&] {
         return SaveAccount(d,
                            {{"type", 0}, {"name", "new"}, {"domain", "127.0.0.2"}, {"ping", true}},
                            {}, "")
                    .error.key == "msgWriteFailed";
       }},
      {"delete", [&] { return !DeleteAccount(d, kept); }},
      {"import line",
       [&] {
         bool busy = false;
         return ImportCsvLine(d, "new,127.0.0.2,,,1", now, &busy).empty() && busy;
       }},
      {"import step",
       [&] {
         AccountImport job;
         std::string error;
         EXPECT_TRUE(job.Start("new,127.0.0.2,,,1\r\n", &error));
         job.Step(d, now);
         return job.done() == 0 && job.rejected() == 0;
       }},
      {"export",
       [&] {
         const ExportResult r = ExportAccounts(d, elsewhere.path() + "/out.csv", false);
         return !r.ok && !platform::PathExists(elsewhere.path() + "/out.csv");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const common::LockWaitWatch watch;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(c.attempt());
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(watch.TimedOut()) << "the caller answers busy";
    EXPECT_GT(took, 0.2);
    EXPECT_LT(took, 10.0);
    EXPECT_EQ(StoreParts(d), before);
  }
  common::SetStatusLockWait(-1);
  holder.Release();
  EXPECT_TRUE(DeleteAccount(d, kept));
}

}  // namespace
}  // namespace console
