// Deleting a folder tree.
#include "treesweep/TreeSweep.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using testsupport::WriteFile;

// root/a.txt, root/b/c.txt, root/b/d/e.txt, root/f (empty folder)
std::string MakeTree(const testsupport::TempDir& tmp) {
  const std::string root = tmp / "root";
  WriteFile(root + "/a.txt", "a");
  WriteFile(root + "/b/c.txt", "c");
  WriteFile(root + "/b/d/e.txt", "e");
  platform::MakeDirs(root + "/f");
  return root;
}

TEST(TreeSweep, RemovesATreeWithOrWithoutTrailingSlash) {
  for (const char* suffix : {"", "/", "//"}) {
    SCOPED_TRACE(std::string("suffix \"") + suffix + "\"");
    testsupport::TempDir tmp;
    const std::string root = MakeTree(tmp);
    WriteFile(tmp / "beside.txt", "stays");
    EXPECT_EQ(0, DeleteNestDirFiles(7, -1, (root + suffix).c_str()));
    EXPECT_FALSE(platform::PathExists(root));
    EXPECT_EQ("stays", testsupport::ReadFile(tmp / "beside.txt"));
  }
}

TEST(TreeSweep, DotNamesSurviveWithTheirFolders) {
  testsupport::TempDir tmp;
  const std::string root = MakeTree(tmp);
  WriteFile(root + "/b/d/.keep", "k");
  WriteFile(root + "/.hidden/inside.txt", "h");
  EXPECT_EQ(0, DeleteNestDirFiles(0, 0, root.c_str()));
  // Everything else went; the dot entries and the folders above them stay.
  EXPECT_EQ("k", testsupport::ReadFile(root + "/b/d/.keep"));
  EXPECT_EQ("h", testsupport::ReadFile(root + "/.hidden/inside.txt"));
  EXPECT_FALSE(platform::PathExists(root + "/a.txt"));
  EXPECT_FALSE(platform::PathExists(root + "/b/c.txt"));
  EXPECT_FALSE(platform::PathExists(root + "/b/d/e.txt"));
  EXPECT_FALSE(platform::PathExists(root + "/f"));
}

TEST(TreeSweep, LinksAreDeletedNotFollowed) {
  testsupport::TempDir tmp;
  const std::string root = MakeTree(tmp);
  WriteFile(tmp / "outside/precious.txt", "p");
  ASSERT_EQ(0, symlink((tmp / "outside").c_str(), (root + "/b/link").c_str()));
  EXPECT_EQ(0, DeleteNestDirFiles(0, 0, root.c_str()));
  EXPECT_FALSE(platform::PathExists(root));
  EXPECT_EQ("p", testsupport::ReadFile(tmp / "outside/precious.txt"));
}

TEST(TreeSweep, BadPathsChangeNothing) {
  testsupport::TempDir tmp;
  WriteFile(tmp / "file.txt", "f");
  // The refusal of "/" is deliberately not tried here: a fault would wipe the machine.
  for (const std::string& path :
       {tmp / "missing", tmp / "missing/", tmp / "file.txt", std::string()}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(0, DeleteNestDirFiles(0, 0, path.c_str()));
  }
  EXPECT_EQ(0, DeleteNestDirFiles(0, 0, nullptr));
  EXPECT_EQ("f", testsupport::ReadFile(tmp / "file.txt"));
}

TEST(TreeSweep, LoadsAndRunsByExportedName) {
  void* lib = dlopen((std::string(VARN_LIB_DIR) + "/libTreeSweep.so").c_str(), RTLD_NOW);
  ASSERT_NE(nullptr, lib) << dlerror();
  using Sweep = int32_t (*)(int32_t, int32_t, const char*);
  auto sweep = reinterpret_cast<Sweep>(dlsym(lib, "DeleteNestDirFiles"));
  ASSERT_NE(nullptr, sweep);
  testsupport::TempDir tmp;
  const std::string root = MakeTree(tmp);
  EXPECT_EQ(0, sweep(0, 0, root.c_str()));
  EXPECT_FALSE(platform::PathExists(root));
  dlclose(lib);
}

}  // namespace
