#include "platform/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

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
      if (e.isDirectory && !e.isLink) {
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

TEST_F(FsTest, NewFilesAreWrittenWholeAndNeverReplaceOne) {
  const std::string bytes = "\xFF\xD8 picture \xFF\xD9";
  const std::u16string target = In(u"out.jpg");
  for (const bool flush : {false, true}) {
    RemoveFile(target);
    ASSERT_TRUE(WriteNewFile(target, bytes.data(), bytes.size(), u".t-", u".part", flush));
    EXPECT_EQ(Get(target), bytes);
  }
  EXPECT_FALSE(WriteNewFile(target, "other", 5, u".t-", u".part", false));
  EXPECT_EQ(Get(target), bytes) << "an existing file is never replaced";
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(root_, &entries));
  ASSERT_EQ(entries.size(), 1u) << "no temporary is left behind";
  EXPECT_EQ(entries[0].name, u"out.jpg");
  EXPECT_FALSE(
      WriteNewFile(In(u"missing") + kPathSeparator + u"x.jpg", "x", 1, u".t-", u".part", false));
  // A bare name is in the current folder, as `rawlift preview -o out.jpg` gives it.
  const std::u16string bare = u"rawlift_fs_test_bare_name.jpg";
  RemoveFile(bare);
  EXPECT_TRUE(WriteNewFile(bare, bytes.data(), bytes.size(), u".t-", u".part", false));
  EXPECT_EQ(Get(bare), bytes);
  EXPECT_TRUE(RemoveFile(bare));
}

TEST_F(FsTest, WriteFailuresSayWhichStepFailed) {
  const std::u16string target = In(u"out.jpg");
  Put(target, "old");
  WriteResult result = WriteNewFile(target, "new", 3, u".t-", u".part", false);
  EXPECT_EQ(result.failure, WriteFailure::kNameTaken);
  EXPECT_EQ(Get(target), "old");
  result =
      WriteNewFile(In(u"missing") + kPathSeparator + u"x.jpg", "x", 1, u".t-", u".part", false);
  EXPECT_EQ(result.failure, WriteFailure::kCannotCreate);
#ifndef _WIN32
  EXPECT_EQ(result.systemError, ENOENT) << "the system's reason goes with the failure";
#endif
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(root_, &entries));
  EXPECT_EQ(entries.size(), 1u) << "no temporary is left behind";
}

// Guards --force turning into a write in place: another name of the old file
// (a hard link) would see it emptied and rewritten, and a failed write would
// destroy it.
TEST_F(FsTest, ReplacingPutsANewFileInThePlaceOfAPlainOne) {
  const std::u16string target = In(u"out.jpg");
  Put(target, "old");
#ifndef _WIN32
  ASSERT_EQ(::link(PathForDisplay(target).c_str(), PathForDisplay(In(u"link.jpg")).c_str()), 0);
#endif
  ASSERT_TRUE(
      WriteNewFile(target, "new", 3, u".t-", u".part", false, ExistingFile::kReplacePlainFile));
  EXPECT_EQ(Get(target), "new");
#ifndef _WIN32
  EXPECT_EQ(Get(In(u"link.jpg")), "old");
#endif
  ASSERT_TRUE(WriteNewFile(In(u"fresh.jpg"), "x", 1, u".t-", u".part", false,
                           ExistingFile::kReplacePlainFile))
      << "nothing there to replace is no fault";
  EXPECT_EQ(Get(In(u"fresh.jpg")), "x");
#ifdef _WIN32
  // Windows takes '/' in a path as well: the temporary goes beside the target.
  const std::u16string slashed = root_ + u"/slashed.jpg";
  ASSERT_TRUE(WriteNewFile(slashed, "y", 1, u".t-", u".part", false));
  EXPECT_EQ(Get(In(u"slashed.jpg")), "y");
#endif
}

// Guards a replacing write moving a plain file over a folder or a pipe
// (-o /dev/null as root would have put a file in the device's place).
TEST_F(FsTest, ReplacingRefusesWhatIsNoPlainFile) {
  ASSERT_TRUE(CreateFolder(In(u"folder.jpg")));
  std::vector<std::u16string> refused = {In(u"folder.jpg")};
#ifndef _WIN32
  ASSERT_EQ(::mkfifo(PathForDisplay(In(u"pipe.jpg")).c_str(), 0600), 0);
  refused.push_back(In(u"pipe.jpg"));
#endif
  for (const std::u16string& path : refused) {
    const PathKind before = KindOfPath(path);
    EXPECT_EQ(WriteNewFile(path, "x", 1, u".t-", u".part", false, ExistingFile::kReplacePlainFile)
                  .failure,
              WriteFailure::kNotPlainFile)
        << PathForDisplay(path);
    EXPECT_EQ(KindOfPath(path), before);
  }
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(root_, &entries));
  EXPECT_EQ(entries.size(), refused.size()) << "no temporary is left behind";
#ifndef _WIN32
  RemoveFile(In(u"pipe.jpg"));
#endif
}

TEST_F(FsTest, KindOfPathFollowsLinksAndTellsFilesFromTheRest) {
  Put(In(u"file"), "x");
  ASSERT_TRUE(CreateFolder(In(u"folder")));
  EXPECT_EQ(KindOfPath(In(u"file")), PathKind::kPlainFile);
  EXPECT_EQ(KindOfPath(In(u"folder")), PathKind::kFolder);
  EXPECT_EQ(KindOfPath(In(u"missing")), PathKind::kNothing);
#ifndef _WIN32
  ASSERT_EQ(::symlink("file", PathForDisplay(In(u"to_file")).c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", PathForDisplay(In(u"dangling")).c_str()), 0);
  ASSERT_EQ(::mkfifo(PathForDisplay(In(u"pipe")).c_str(), 0600), 0);
  EXPECT_EQ(KindOfPath(In(u"to_file")), PathKind::kPlainFile);
  EXPECT_EQ(KindOfPath(In(u"dangling")), PathKind::kNothing);
  EXPECT_EQ(KindOfPath(In(u"pipe")), PathKind::kOther);
  EXPECT_EQ(KindOfPath(u"/dev/null"), PathKind::kOther);
  for (const char16_t* name : {u"to_file", u"dangling", u"pipe"}) RemoveFile(In(name));
#endif
}

// Guards `rawlift preview` writing over the camera file it reads, named
// another way.
TEST_F(FsTest, SameFileWhateverThePathThatLeadsToIt) {
  Put(In(u"a.NEF"), "raw");
  Put(In(u"b.NEF"), "raw");
  const std::u16string dotted = root_ + kPathSeparator + u"." + kPathSeparator + u"a.NEF";
  EXPECT_TRUE(IsSameFile(In(u"a.NEF"), In(u"a.NEF")));
  EXPECT_TRUE(IsSameFile(In(u"a.NEF"), dotted));
  EXPECT_FALSE(IsSameFile(In(u"a.NEF"), In(u"b.NEF"))) << "the same bytes are not the same file";
  EXPECT_FALSE(IsSameFile(In(u"a.NEF"), In(u"missing")));
  EXPECT_FALSE(IsSameFile(In(u"missing"), In(u"missing")));
#ifdef _WIN32
  EXPECT_TRUE(IsSameFile(In(u"a.NEF"), In(u"A.nef"))) << "names differ only in case";
#else
  ASSERT_EQ(::symlink("a.NEF", PathForDisplay(In(u"link.NEF")).c_str()), 0);
  EXPECT_TRUE(IsSameFile(In(u"a.NEF"), In(u"link.NEF")));
  RemoveFile(In(u"link.NEF"));
#endif
}

TEST_F(FsTest, FoldersHaveOneIdentityWhateverThePath) {
  ASSERT_TRUE(CreateFolder(In(u"a")));
  ASSERT_TRUE(CreateFolder(In(u"b")));
  FolderIdentity a, again, b;
  ASSERT_TRUE(GetFolderIdentity(In(u"a"), &a));
  ASSERT_TRUE(GetFolderIdentity(In(u"a") + kPathSeparator + u"." + kPathSeparator, &again));
  ASSERT_TRUE(GetFolderIdentity(In(u"b"), &b));
  EXPECT_FALSE(a < again || again < a);
  EXPECT_TRUE(a < b || b < a);
  Put(In(u"file"), "x");
  EXPECT_FALSE(GetFolderIdentity(In(u"file"), &b)) << "a file is no folder";
  EXPECT_FALSE(GetFolderIdentity(In(u"missing"), &b));
}

#ifndef _WIN32
TEST_F(FsTest, ListingTellsLinksApartAndSaysWhereTheyLead) {
  ASSERT_TRUE(CreateFolder(In(u"real")));
  Put(In(u"file"), "x");
  ASSERT_EQ(::symlink("real", PathForDisplay(In(u"to_folder")).c_str()), 0);
  ASSERT_EQ(::symlink("file", PathForDisplay(In(u"to_file")).c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", PathForDisplay(In(u"dangling")).c_str()), 0);
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(root_, &entries));
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& x, const FolderEntry& y) { return x.name < y.name; });
  ASSERT_EQ(entries.size(), 5u);
  const struct {
    const char16_t* name;
    bool isLink, isDirectory;
  } expected[] = {{u"dangling", true, false},
                  {u"file", false, false},
                  {u"real", false, true},
                  {u"to_file", true, false},
                  {u"to_folder", true, true}};
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].name, expected[i].name);
    EXPECT_EQ(entries[i].isLink, expected[i].isLink) << PathForDisplay(entries[i].name);
    EXPECT_EQ(entries[i].isDirectory, expected[i].isDirectory) << PathForDisplay(entries[i].name);
    EXPECT_FALSE(entries[i].isSpecial);
  }
  for (const char16_t* link : {u"to_folder", u"to_file", u"dangling"}) RemoveFile(In(link));
}
#endif

#ifdef _WIN32
TEST_F(FsTest, ListingTellsFolderLinksApart) {
  ASSERT_TRUE(CreateFolder(In(u"real")));
  const std::u16string link = In(u"to_folder"), target = In(u"real");
  // Symbolic links need a privilege or developer mode; without, skip.
  constexpr DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  if (!CreateSymbolicLinkW(reinterpret_cast<const wchar_t*>(link.c_str()),
                           reinterpret_cast<const wchar_t*>(target.c_str()),
                           SYMBOLIC_LINK_FLAG_DIRECTORY | kUnprivileged)) {
    GTEST_SKIP() << "cannot create a symbolic link here";
  }
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(root_, &entries));
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& x, const FolderEntry& y) { return x.name < y.name; });
  // Wine's CreateSymbolicLinkW reports success without making a link.
  if (entries.size() == 1) GTEST_SKIP() << "the system made no link";
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_FALSE(entries[0].isLink);
  EXPECT_EQ(entries[1].name, u"to_folder");
  EXPECT_TRUE(entries[1].isLink);
  EXPECT_TRUE(entries[1].isDirectory);
  RemoveFolder(link);
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
