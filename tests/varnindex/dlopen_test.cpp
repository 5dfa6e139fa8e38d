// The library loaded at run time and called by its exported names.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace {

TEST(VarnIndexLibrary, LoadsAndRunsByExportedNames) {
  const std::string path = std::string(VARN_LIB_DIR) + "/libVarnIndex.so";
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, lib) << dlerror();
  using AddDel = int32_t (*)(int32_t, const char*, const char*);
  using Count = int32_t (*)(const char*);
  using Read = int32_t (*)(const char*, char*, int32_t);
  auto add = reinterpret_cast<AddDel>(dlsym(lib, "AddDelDat"));
  auto count = reinterpret_cast<Count>(dlsym(lib, "HowManyRecordInDB"));
  auto read = reinterpret_cast<Read>(dlsym(lib, "GetRecordWithOffset"));
  ASSERT_TRUE(add && count && read);
  testsupport::TempDir store;
  EXPECT_EQ(1, add(1, store.path().c_str(), "Zulu"));
  EXPECT_EQ(1, add(1, store.path().c_str(), "alpha"));
  EXPECT_EQ(2, count(store.path().c_str()));
  char out[150];
  EXPECT_EQ(1, read(store.path().c_str(), out, 1));
  EXPECT_STREQ("zulu", out);
  EXPECT_EQ(1, add(2, store.path().c_str(), "ZULU"));
  EXPECT_EQ(0, read(store.path().c_str(), out, 1));

  using ReplaceAll = int32_t (*)(const char*, const char*, int32_t);
  using ReadMany = int32_t (*)(const char*, char*, int32_t, int32_t);
  auto replaceAll = reinterpret_cast<ReplaceAll>(dlsym(lib, "ReplaceAllDat"));
  auto readMany = reinterpret_cast<ReadMany>(dlsym(lib, "GetRecordsWithOffset"));
  ASSERT_TRUE(replaceAll && readMany);
  EXPECT_EQ(1, replaceAll(store.path().c_str(), "Yankee\0xray\0", 2));
  char two[300];
  EXPECT_EQ(2, readMany(store.path().c_str(), two, 0, 2));
  EXPECT_STREQ("xray", two);
  EXPECT_STREQ("yankee", two + 150);
  dlclose(lib);
}

}  // namespace
