// The per-account side file: defaults by type, values and bad values read, what is written
// (only what differs, mode 0600, nothing at all for defaults), and the file following the
// account through rename and delete.
#include "common/account_options.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/account_fields.h"
#include "common/records.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace common {
namespace {

std::string Describe(const AccountOptions& o) {
  return std::string("secure=") + (o.secure ? "1" : "0") +
         " mode=" + (o.tlsMode == TlsMode::kImplicit ? "implicit" : "starttls") +
         " port=" + std::to_string(o.port) + " pop=" + std::to_string(o.popPort) +
         " verify=" + (o.verify ? "1" : "0") + " days=" + std::to_string(o.certDays) +
         (PopTlsMode(o) == o.tlsMode            ? ""
          : PopTlsMode(o) == TlsMode::kImplicit ? " popmode=implicit"
                                                : " popmode=starttls");
}

TEST(AccountOptions, ReadValuesDefaultsAndProblems) {
  struct Case {
    const char* name;
    uint8_t type;
    const char* file;  // nullptr: no side file
    std::string options;
    std::vector<std::string> problems;
  };
  const Case cases[] = {
      {"page without a file",
       kHttpPage,
       nullptr,
       "secure=0 mode=starttls port=80 pop=110 verify=1 days=14",
       {}},
      {"ftp without a file",
       kFtpTransfer,
       nullptr,
       "secure=0 mode=starttls port=21 pop=110 verify=1 days=14",
       {}},
      {"mail without a file",
       kEmail,
       nullptr,
       "secure=0 mode=starttls port=25 pop=110 verify=1 days=14",
       {}},
      {"secure page takes 443",
       kHttpPage,
       "[ACCOUNT]\nSECURE=1\n",
       "secure=1 mode=starttls port=443 pop=110 verify=1 days=14",
       {}},
      {"secure implicit ftp takes 990",
       kFtpTransfer,
       "[ACCOUNT]\nSECURE=1\nTLSMODE=implicit\n",
       "secure=1 mode=implicit port=990 pop=995 verify=1 days=14",
       {}},
      {"secure implicit mail takes 465 and 995",
       kEmail,
       "[account]\r\nsecure=1\r\ntlsmode=IMPLICIT\r\n",
       "secure=1 mode=implicit port=465 pop=995 verify=1 days=14",
       {}},
      {"secure starttls mail keeps 25 and 110",
       kEmail,
       "[ACCOUNT]\nSECURE=1\n",
       "secure=1 mode=starttls port=25 pop=110 verify=1 days=14",
       {}},
      {"implicit without secure changes no port",
       kEmail,
       "[ACCOUNT]\nTLSMODE=implicit\n",
       "secure=0 mode=implicit port=25 pop=110 verify=1 days=14",
       {}},
      {"every key set",
       kEmail,
       "[ACCOUNT]\nSECURE=1\nTLSMODE=starttls\nPORT=587\nPOPPORT=1995\nVERIFY=0\nCERTDAYS=0\n",
       "secure=1 mode=starttls port=587 pop=1995 verify=0 days=0",
       {}},
      {"a STARTTLS relay beside a POP3S mailbox",
       kEmail,
       "[ACCOUNT]\nSECURE=1\nPOPTLSMODE=implicit\n",
       "secure=1 mode=starttls port=25 pop=995 verify=1 days=14 popmode=implicit",
       {}},
      {"implicit SMTP beside STLS",
       kEmail,
       "[ACCOUNT]\nSECURE=1\nTLSMODE=implicit\nPOPTLSMODE=starttls\n",
       "secure=1 mode=implicit port=465 pop=110 verify=1 days=14 popmode=starttls",
       {}},
      {"a bad POP3 mode follows TLSMODE",
       kEmail,
       "[ACCOUNT]\nSECURE=1\nTLSMODE=implicit\nPOPTLSMODE=ssl\n",
       "secure=1 mode=implicit port=465 pop=995 verify=1 days=14",
       {"POPTLSMODE=ssl is neither starttls nor implicit, TLSMODE used"}},
      {"no POP3 mode but for e-mail",
       kFtpTransfer,
       "[ACCOUNT]\nSECURE=1\nPOPTLSMODE=implicit\n",
       "secure=1 mode=starttls port=21 pop=110 verify=1 days=14",
       {}},
      {"limits are in range",
       kHttpPage,
       "[ACCOUNT]\nPORT=65535\nCERTDAYS=3650\n",
       "secure=0 mode=starttls port=65535 pop=110 verify=1 days=3650",
       {}},
      {"keys of another section are not read",
       kHttpPage,
       "[OTHER]\nSECURE=1\n",
       "secure=0 mode=starttls port=80 pop=110 verify=1 days=14",
       {}},
      {"out of range and not numbers fall back, each named",
       kHttpPage,
       "[ACCOUNT]\nSECURE=2\nTLSMODE=ssl\nPORT=0\nPOPPORT=65536\nVERIFY=yes\nCERTDAYS=3651\n",
       "secure=0 mode=starttls port=80 pop=110 verify=1 days=14",
       {"SECURE=2 is out of range 0-1, 0 used",
        "TLSMODE=ssl is neither starttls nor implicit, "
        "starttls used",
        "PORT=0 is out of range 1-65535, 80 used",
        "POPPORT=65536 is out of range 1-65535, 110 used", "VERIFY=yes is out of range 0-1, 1 used",
        "CERTDAYS=3651 is out of range 0-3650, 14 used"}},
      {"a number with a tail is no number",
       kHttpPage,
       "[ACCOUNT]\nSECURE=1\nPORT=8443x\n",
       "secure=1 mode=starttls port=443 pop=110 verify=1 days=14",
       {"PORT=8443x is out of range 1-65535, 443 used"}},
      {"a negative number",
       kHttpPage,
       "[ACCOUNT]\nCERTDAYS=-1\n",
       "secure=0 mode=starttls port=80 pop=110 verify=1 days=14",
       {"CERTDAYS=-1 is out of range 0-3650, 14 used"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    if (c.file) testsupport::WriteFile(AccountOptionsPath(dir.path(), "6162"), c.file);
    AccountOptionsRead read = ReadAccountOptions(dir.path(), "6162", c.type);
    EXPECT_EQ(read.fileFound, c.file != nullptr);
    EXPECT_EQ(Describe(read.options), c.options);
    EXPECT_EQ(read.problems, c.problems);
  }
}

TEST(AccountOptions, WrittenOnlyWhenDifferentFromTheDefaults) {
  struct Case {
    const char* name;
    uint8_t type;
    AccountOptions options;
    const char* file;  // nullptr: no side file afterwards
  };
  auto with = [](uint8_t type, auto change) {
    AccountOptions o = DefaultAccountOptions(type);
    change(o);
    return o;
  };
  const Case cases[] = {
      {"defaults", kHttpPage, DefaultAccountOptions(kHttpPage), nullptr},
      {"secure page on 443", kHttpPage,
       with(kHttpPage, [](AccountOptions& o) { o.secure = true, o.port = 443; }),
       "[ACCOUNT]\nSECURE=1\n"},
      {"secure page on its own port", kHttpPage,
       with(kHttpPage, [](AccountOptions& o) { o.secure = true, o.port = 8443; }),
       "[ACCOUNT]\nSECURE=1\nPORT=8443\n"},
      {"plain page on 443 names the port", kHttpPage,
       with(kHttpPage, [](AccountOptions& o) { o.port = 443; }), "[ACCOUNT]\nPORT=443\n"},
      {"implicit mail on its default ports", kEmail,
       with(kEmail,
            [](AccountOptions& o) {
              o.secure = true, o.tlsMode = TlsMode::kImplicit, o.port = 465, o.popPort = 995;
            }),
       "[ACCOUNT]\nSECURE=1\nTLSMODE=implicit\n"},
      {"STARTTLS relay beside a POP3S mailbox on its default ports", kEmail,
       with(kEmail,
            [](AccountOptions& o) {
              o.secure = true, o.popTlsMode = TlsMode::kImplicit, o.popPort = 995;
            }),
       "[ACCOUNT]\nSECURE=1\nPOPTLSMODE=implicit\n"},
      {"a POP3 mode equal to TLSMODE is no option of its own", kEmail,
       with(kEmail,
            [](AccountOptions& o) {
              o.secure = true, o.tlsMode = o.popTlsMode.emplace(TlsMode::kImplicit);
              o.port = 465, o.popPort = 995;
            }),
       "[ACCOUNT]\nSECURE=1\nTLSMODE=implicit\n"},
      {"certificate options", kFtpTransfer,
       with(kFtpTransfer, [](AccountOptions& o) { o.verify = false, o.certDays = 30; }),
       "[ACCOUNT]\nVERIFY=0\nCERTDAYS=30\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    const std::string path = AccountOptionsPath(dir.path(), "6162");
    // A file of earlier options is replaced, or removed for defaults.
    AccountOptions earlier = DefaultAccountOptions(c.type);
    earlier.certDays = 99;
    ASSERT_TRUE(WriteAccountOptions(dir.path(), "6162", c.type, earlier));
    ASSERT_EQ(testsupport::ReadFile(path), "[ACCOUNT]\nCERTDAYS=99\n");
    ASSERT_TRUE(WriteAccountOptions(dir.path(), "6162", c.type, c.options));
    EXPECT_EQ(AllDefault(c.options, c.type), c.file == nullptr);
    if (c.file == nullptr) {
      EXPECT_FALSE(platform::PathExists(path));
      continue;
    }
    EXPECT_EQ(testsupport::ReadFile(path), c.file);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Describe(ReadAccountOptions(dir.path(), "6162", c.type).options), Describe(c.options))
        << "read back as written";
  }
}

// Every row the field table keeps in the side file, for every type that keeps it: a value of
// its own is written under the row's key and read back; a value the row does not take is
// one problem naming the key, and the default is used.
TEST(AccountOptions, EveryRowOfTheDescriptionGoesThroughTheFile) {
  int rows = 0;
  for (uint8_t type : {kServer, kHttpPage, kFtpTransfer, kEmail}) {
    for (const AccountField& f : AccountFields()) {
      if (!f.sideFile || (f.fileTypes & TypeBit(type)) == 0) continue;
      SCOPED_TRACE(std::string(f.iniKey) + " of type " + std::to_string(type));
      ++rows;
      testsupport::TempDir dir;
      AccountFile account;
      account.record.type = type;
      account.options = DefaultAccountOptions(type);
      std::string value;
      if (f.number) {
        const long fallback = f.defaultValue(account);
        const long own = fallback == f.low ? static_cast<long>(f.max) : f.low;
        f.setValue(account, own);
        value = std::to_string(own);
      } else {
        for (const char* own : {"implicit", "gw 1"}) {
          if (OptionTextFits(f, own) && own != f.defaultText(account)) value = own;
        }
        ASSERT_FALSE(value.empty());
        f.setText(account, value);
      }
      ASSERT_TRUE(WriteAccountOptions(dir.path(), "6162", type, account.options));
      const std::string path = AccountOptionsPath(dir.path(), "6162");
      EXPECT_NE(testsupport::ReadFile(path).find("\n" + std::string(f.iniKey) + "=" + value + "\n"),
                std::string::npos);
      AccountFile back = account;
      back.options = ReadAccountOptions(dir.path(), "6162", type).options;
      EXPECT_EQ(Describe(back.options), Describe(account.options));
      EXPECT_EQ(f.number ? std::to_string(f.value(back)) : f.text(back), value);

      std::string refused;
      for (const std::string& bad :
           {std::string("ssl"), std::string(65, 'a'), std::to_string(f.max + 1)}) {
        if (refused.empty() && !OptionTextFits(f, bad)) refused = bad;
      }
      ASSERT_FALSE(refused.empty());
      testsupport::WriteFile(path, "[ACCOUNT]\n" + std::string(f.iniKey) + "=" + refused + "\n");
      const AccountOptionsRead read = ReadAccountOptions(dir.path(), "6162", type);
      ASSERT_EQ(read.problems.size(), 1u);
      EXPECT_EQ(read.problems[0].rfind(std::string(f.iniKey) + "=" + refused + " ", 0), 0u)
          << read.problems[0];
      EXPECT_EQ(Describe(read.options), Describe(DefaultAccountOptions(type)));
      EXPECT_EQ(read.options.parent, "");
    }
  }
  EXPECT_GE(rows, 4 * 7 + 1) << "at least seven options for every type, POPTLSMODE for mail";
}

TEST(AccountOptions, FollowsTheAccount) {
  testsupport::TempDir dir;
  AccountOptions secure = DefaultAccountOptions(kHttpPage);
  secure.secure = true;
  secure.port = 443;
  ASSERT_TRUE(WriteAccountOptions(dir.path(), "6f6c64", kHttpPage, secure));
  // An account deleted earlier under the new name left a file: it is replaced.
  testsupport::WriteFile(AccountOptionsPath(dir.path(), "6e6577"), "[ACCOUNT]\nVERIFY=0\n");
  ASSERT_TRUE(RenameAccountOptions(dir.path(), "6f6c64", "6e6577"));
  EXPECT_FALSE(platform::PathExists(AccountOptionsPath(dir.path(), "6f6c64")));
  EXPECT_EQ(testsupport::ReadFile(AccountOptionsPath(dir.path(), "6e6577")),
            "[ACCOUNT]\nSECURE=1\n");

  // Renaming an account without options leaves none under the new name either.
  testsupport::WriteFile(AccountOptionsPath(dir.path(), "7468"), "[ACCOUNT]\nVERIFY=0\n");
  ASSERT_TRUE(RenameAccountOptions(dir.path(), "6e6f6e65", "7468"));
  EXPECT_FALSE(platform::PathExists(AccountOptionsPath(dir.path(), "7468")));

  ASSERT_TRUE(RemoveAccountOptions(dir.path(), "6e6577"));
  EXPECT_FALSE(platform::PathExists(AccountOptionsPath(dir.path(), "6e6577")));
  EXPECT_TRUE(RemoveAccountOptions(dir.path(), "6e6577")) << "nothing left to remove";

  // Keys that would leave the folder name no file.
  EXPECT_FALSE(WriteAccountOptions(dir.path(), "../x", kHttpPage, secure));
  EXPECT_FALSE(RenameAccountOptions(dir.path(), "6e6577", ".."));
  EXPECT_FALSE(ReadAccountOptions(dir.path(), "", kHttpPage).fileFound);
}

TEST(AccountOptions, TrustFileSetting) {
  testsupport::TempDir dir;
  EXPECT_EQ(ReadTrustFileSetting(dir.path()), "");
  testsupport::WriteFile(dir / "Varnock.ini", "[PROGRAM]\nTLSCAFILE=/etc/ca.pem\n");
  EXPECT_EQ(ReadTrustFileSetting(dir.path()), "/etc/ca.pem");
  testsupport::WriteFile(dir / "Varnock.ini", "[PROGRAM]\nTLSCAFILE=Setting/ca.pem\n");
  EXPECT_EQ(ReadTrustFileSetting(dir.path()), dir / "Setting/ca.pem") << "from the program dir";
}

}  // namespace
}  // namespace common
