#include "platform/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/file.h"

using namespace platform;

namespace {

// A fresh folder below the current one, removed with its files afterwards.
class FsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = std::string("rawlift_fs_test_") +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    root_ = AbsolutePath(Utf8ToUtf16(name));
    Cleanup();
    ASSERT_TRUE(CreateFolder(root_));
  }
  void TearDown() override { Cleanup(); }

  std::u16string In(const std::u16string& name) const { return root_ + kPathSeparator + name; }
  static void Put(const std::u16string& path, const std::string& bytes) {
    FILE* f = std::fopen(PathForDisplay(path).c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  static std::string Get(const std::u16string& path) {
    ReadOnlyFile file;
    if (!file.Open(path)) return "<absent>";
    std::string out(static_cast<size_t>(file.Size()), '\0');
    file.ReadAt(0, &out[0], out.size());
    return out;
  }

  std::u16string root_;

 private:
  void Cleanup() {
    std::vector<FolderEntry> entries;
    if (!ListFolder(root_, &entries)) return;
    for (const FolderEntry& e : entries) {
      if (e.isDirectory) {
        std::vector<FolderEntry> inner;
        ListFolder(In(e.name), &inner);
        for (const FolderEntry& i : inner) RemoveFile(In(e.name) + kPathSeparator + i.name);
        RemoveFolder(In(e.name));
      } else {
        RemoveFile(In(e.name));
      }
    }
    RemoveFolder(root_);
  }
};

}  // namespace

TEST_F(FsTest, FoldersAreCreatedOneLevelAndListedWithoutDotEntries) {
  EXPECT_TRUE(IsDirectory(root_));
  EXPECT_FALSE(CreateFolder(root_)) << "an existing folder is not created again";
  EXPECT_FALSE(CreateFolder(In(u"a") + kPathSeparator + u"b")) << "only one level";
  ASSERT_TRUE(CreateFolder(In(u"sub")));
  Put(In(u"file.CR2"), "x");
  EXPECT_FALSE(IsDirectory(In(u"file.CR2")));
  EXPECT_TRUE(CanOpenForReading(In(u"file.CR2")));
  EXPECT_FALSE(CanOpenForReading(In(u"sub"))) << "a folder is no readable file";
  EXPECT_FALSE(CanOpenForReading(In(u"missing")));

  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(root_ + kPathSeparator, &entries));
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, u"file.CR2");
  EXPECT_FALSE(entries[0].isDirectory);
  EXPECT_EQ(entries[1].name, u"sub");
  EXPECT_TRUE(entries[1].isDirectory);
  entries.clear();
  EXPECT_FALSE(ListFolder(In(u"missing"), &entries));
  EXPECT_TRUE(entries.empty());
}

TEST_F(FsTest, NewFileNeverOpensAnExistingOne) {
  Put(In(u"taken"), "old");
  NewFile file;
  EXPECT_FALSE(file.Create(In(u"taken")));
  EXPECT_EQ(Get(In(u"taken")), "old");
  ASSERT_TRUE(file.Create(In(u"fresh")));
  EXPECT_TRUE(file.Write("abc", 3));
  EXPECT_TRUE(file.Write("", 0));
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(Get(In(u"fresh")), "abc");
}

TEST_F(FsTest, RenameNoReplaceKeepsAnExistingTarget) {
  Put(In(u"a"), "first");
  Put(In(u"b"), "second");
  EXPECT_FALSE(RenameNoReplace(In(u"a"), In(u"b")));
  EXPECT_EQ(Get(In(u"a")), "first") << "the source stays where it was";
  EXPECT_EQ(Get(In(u"b")), "second");
  EXPECT_TRUE(RenameNoReplace(In(u"a"), In(u"c")));
  EXPECT_EQ(Get(In(u"a")), "<absent>");
  EXPECT_EQ(Get(In(u"c")), "first");
  EXPECT_TRUE(RenameReplacing(In(u"c"), In(u"b")));
  EXPECT_EQ(Get(In(u"b")), "first");
  EXPECT_TRUE(RemoveFile(In(u"b")));
  EXPECT_FALSE(RemoveFile(In(u"b")));
}

// Guards: a cleaner removing the temporary a live writer is filling, a
// recent file, or a folder.
TEST_F(FsTest, OnlyClosedOldFilesAreAbandoned) {
  NewFile writing;
  ASSERT_TRUE(writing.Create(In(u"open.part")));
  ASSERT_TRUE(writing.Write("abc", 3));
  EXPECT_FALSE(RemoveAbandonedFile(In(u"open.part"), 0)) << "held open by a writer";
  ASSERT_TRUE(writing.Close());
  EXPECT_EQ(Get(In(u"open.part")), "abc");
  EXPECT_FALSE(RemoveAbandonedFile(In(u"open.part"), 3600)) << "written just now";
  EXPECT_TRUE(RemoveAbandonedFile(In(u"open.part"), 0));
  EXPECT_EQ(Get(In(u"open.part")), "<absent>");
  EXPECT_FALSE(RemoveAbandonedFile(In(u"open.part"), 0)) << "nothing left to remove";
  ASSERT_TRUE(CreateFolder(In(u"folder.part")));
  EXPECT_FALSE(RemoveAbandonedFile(In(u"folder.part"), 0));
  EXPECT_TRUE(IsDirectory(In(u"folder.part")));
}

TEST_F(FsTest, UniqueFilesGetDistinctNamesInTheFolder) {
  NewFile one, two;
  std::u16string first, second;
  ASSERT_TRUE(CreateUniqueFile(root_, u".t-", u".tmp", &one, &first));
  ASSERT_TRUE(CreateUniqueFile(root_, u".t-", u".tmp", &two, &second));
  EXPECT_NE(first, second);
  EXPECT_EQ(first.rfind(root_ + kPathSeparator + u".t-", 0), 0u);
  EXPECT_EQ(first.size(), (root_ + kPathSeparator).size() + 3 + 16 + 4);
  one.Close();
  two.Close();
  NewFile three;
  std::u16string third;
  EXPECT_FALSE(CreateUniqueFile(In(u"missing"), u"x", u"", &three, &third));
}

#ifndef _WIN32
// A file whose name is not UTF-8 (a Latin-1 "caf\xe9") is listed under a name
// that opens it, renames it and removes it: the listing used to replace the
// byte, so the name it gave led nowhere.
TEST_F(FsTest, NamesThatAreNotUtf8AreListedUnderAWorkingName) {
  const std::string native = ToNativePath(root_) + "/caf\xe9.NEF";
  FILE* f = std::fopen(native.c_str(), "wb");
  ASSERT_TRUE(f);
  std::fputs("raw", f);
  std::fclose(f);
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(root_, &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(Get(In(entries[0].name)), "raw");
  EXPECT_TRUE(RenameNoReplace(In(entries[0].name), In(entries[0].name + u".old")));
  EXPECT_TRUE(RemoveFile(In(entries[0].name + u".old")));
}
#endif

TEST(ConfigFolder, FollowsXdgRulesAndDefaultsToDotConfig) {
  EXPECT_EQ(ConfigFolderFromEnvironment("/xdg/conf", "/home/u"), u"/xdg/conf");
  EXPECT_EQ(ConfigFolderFromEnvironment(nullptr, "/home/u"), u"/home/u/.config");
  EXPECT_EQ(ConfigFolderFromEnvironment("", "/home/u/"), u"/home/u/.config");
  EXPECT_EQ(ConfigFolderFromEnvironment("relative/conf", "/home/u"), u"/home/u/.config")
      << "a relative XDG_CONFIG_HOME is ignored";
  EXPECT_EQ(ConfigFolderFromEnvironment(nullptr, nullptr), u"");
  // A home folder named in Latin-1 still leads to its own .config.
  EXPECT_EQ(ConfigFolderFromEnvironment(nullptr, "/home/ren\xe9"), u"/home/ren\xdce9/.config");
}

TEST(AbsolutePath, AnchorsRelativePathsAtTheCurrentFolder) {
  const std::u16string here = AbsolutePath(u"x");
  ASSERT_GT(here.size(), 2u);
  EXPECT_EQ(here.back(), u'x');
  EXPECT_NE(here.find_last_of(kPathSeparator), std::u16string::npos);
  EXPECT_EQ(AbsolutePath(here), here);
}
