#include "job/naming.h"

#include <gtest/gtest.h>

#include "platform/fs.h"

using namespace job;
using settings::ExtractionSettings;

namespace {

// The pure part of the per-file naming: RAW path and image size to the
// full-size and reduced output paths, with the given separator.
struct Outputs {
  std::u16string full, reduced;
};

Outputs OutputsFor(const std::u16string& raw, const ExtractionSettings& s, int32_t width,
                   char16_t sep) {
  std::u16string parent, base, ext;
  EXPECT_TRUE(ParentFolderOf(raw, &parent, sep));
  SplitFileName(raw, &base, &ext, sep);
  Outputs o;
  o.full =
      OutputFilePath(parent + ExpandFolderPattern(OutputFolderPattern(false), 0, 0),
                     ExpandFileNamePattern(OutputFileNamePattern(s, false), base, ext, 0, 0), sep);
  o.reduced = OutputFilePath(
      parent + ExpandFolderPattern(OutputFolderPattern(true), s.maxWidth, s.maxHeight),
      ExpandFileNamePattern(OutputFileNamePattern(s, true), base, ext, width, 0), sep);
  return o;
}

}  // namespace

TEST(Naming, WholePathsOfTheDefaultSettingsInWindowsAndPosixForm) {
  ExtractionSettings s;
  Outputs a = OutputsFor(u"D:\\Shoot\\IMG_0042.CR2", s, 800, u'\\');
  EXPECT_EQ(a.full, u"D:\\Shoot\\extracted_jpegs\\IMG_0042_RLFT.jpg");
  EXPECT_EQ(a.reduced, u"D:\\Shoot\\extracted_jpegs_800\\IMG_0042_RLFT_800.jpg");
  Outputs b = OutputsFor(u"D:\\Shoot\\IMG_0043.CR2", s, 533, u'\\');
  EXPECT_EQ(b.full, u"D:\\Shoot\\extracted_jpegs\\IMG_0043_RLFT.jpg");
  EXPECT_EQ(b.reduced, u"D:\\Shoot\\extracted_jpegs_800\\IMG_0043_RLFT_533.jpg");

  s.addSuffix = false;
  a = OutputsFor(u"D:\\Shoot\\IMG_0042.CR2", s, 800, u'\\');
  EXPECT_EQ(a.full, u"D:\\Shoot\\extracted_jpegs\\IMG_0042.jpg");
  EXPECT_EQ(a.reduced, u"D:\\Shoot\\extracted_jpegs_800\\IMG_0042.jpg");

  s.addSuffix = true;
  a = OutputsFor(u"/srv/shoot/IMG_0042.CR2", s, 800, u'/');
  EXPECT_EQ(a.full, u"/srv/shoot/extracted_jpegs/IMG_0042_RLFT.jpg");
  EXPECT_EQ(a.reduced, u"/srv/shoot/extracted_jpegs_800/IMG_0042_RLFT_800.jpg");
  // A forward slash is an ordinary character in the Windows form and a
  // backslash one in the POSIX form.
  a = OutputsFor(u"/srv/we\\ird/IMG.NEF", s, 1, u'/');
  EXPECT_EQ(a.full, u"/srv/we\\ird/extracted_jpegs/IMG_RLFT.jpg");
}

TEST(Naming, NamesSplitAtTheFirstDot) {
  std::u16string base, ext;
  SplitFileName(u"D:\\Shoot\\trip.day1.NEF", &base, &ext, u'\\');
  EXPECT_EQ(base, u"trip");
  EXPECT_EQ(ext, u"day1.NEF");
  SplitFileName(u"/a.b/SHOTNEF", &base, &ext, u'/');
  EXPECT_EQ(base, u"SHOTNEF") << "dots in folder names do not count";
  EXPECT_EQ(ext, u"");
  // Leading dots stay part of the name (hidden files, macOS's "._" files).
  SplitFileName(u"C:\\x\\.hidden.raw", &base, &ext, u'\\');
  EXPECT_EQ(base, u".hidden");
  EXPECT_EQ(ext, u"raw");
  SplitFileName(u"/card/._IMG_0001.CR3", &base, &ext, u'/');
  EXPECT_EQ(base, u"._IMG_0001");
  EXPECT_EQ(ext, u"CR3");
  SplitFileName(u"/card/..NEF", &base, &ext, u'/');
  EXPECT_EQ(base, u"..NEF") << "only dots before the name: the whole name";
  EXPECT_EQ(ext, u"");
  SplitFileName(u"IMG_0042.CR2", &base, &ext, u'\\');
  EXPECT_EQ(base, u"IMG_0042");
  EXPECT_EQ(ext, u"CR2");
}

TEST(Naming, FileNamePlaceholdersAndLiteralValues) {
  EXPECT_EQ(ExpandFileNamePattern(u"%N_RLFT_%W.jpg", u"IMG_0042", u"CR2", 533, 800),
            u"IMG_0042_RLFT_533.jpg");
  EXPECT_EQ(ExpandFileNamePattern(u"%E-%H-%W", u"a", u"NEF", -5, 0), u"NEF-0--5");
  // "%%" stays two characters in a file name and does not start a
  // placeholder with its second '%'.
  EXPECT_EQ(ExpandFileNamePattern(u"%%N|%%%N", u"b", u"", 0, 0), u"%%N|%%b");
  // Unknown placeholders, a lone '%' and case differences are copied.
  EXPECT_EQ(ExpandFileNamePattern(u"%n%X%w%", u"b", u"e", 1, 2), u"%n%X%w%");
  // Values are inserted verbatim, never expanded again.
  EXPECT_EQ(ExpandFileNamePattern(u"%N_RLFT.jpg", u"odd%W%N%%", u"", 9, 9), u"odd%W%N%%_RLFT.jpg");
  EXPECT_EQ(ExpandFileNamePattern(u"%N-%E", u"%E", u"%N", 0, 0), u"%E-%N");
}

TEST(Naming, FolderPlaceholdersAndBoundsInDecimal) {
  EXPECT_EQ(ExpandFolderPattern(u"extracted_jpegs_%W", 800, 600), u"extracted_jpegs_800");
  EXPECT_EQ(ExpandFolderPattern(u"extracted_jpegs_%W", 0, 0), u"extracted_jpegs_0");
  EXPECT_EQ(ExpandFolderPattern(u"extracted_jpegs_%W", -5, 0), u"extracted_jpegs_-5");
  EXPECT_EQ(ExpandFolderPattern(u"%Wx%H", 1024, 768), u"1024x768");
  // In folders "%%" is one '%', and %N / %E are not placeholders.
  EXPECT_EQ(ExpandFolderPattern(u"%%W %N %E 100%", 1, 2), u"%W %N %E 100%");
  EXPECT_EQ(ExpandFolderPattern(OutputFolderPattern(false), 7, 7), u"extracted_jpegs");
}

TEST(Naming, PatternsFollowTheSuffixSetting) {
  ExtractionSettings s;
  EXPECT_EQ(OutputFileNamePattern(s, false), u"%N_RLFT.jpg");
  EXPECT_EQ(OutputFileNamePattern(s, true), u"%N_RLFT_%W.jpg");
  s.addSuffix = false;
  EXPECT_EQ(OutputFileNamePattern(s, false), u"%N.jpg");
  EXPECT_EQ(OutputFileNamePattern(s, true), u"%N.jpg");
  EXPECT_EQ(OutputFolderPattern(true), u"extracted_jpegs_%W");
}

TEST(Naming, OutputFolderNamesAreKnownInAnyLetterCase) {
  for (const char16_t* ours : {u"extracted_jpegs", u"extracted_jpegs_800", u"extracted_jpegs_-5",
                               u"EXTRACTED_JPEGS_1024", u"Extracted_Jpegs", u"extracted_jpegs_x"}) {
    EXPECT_TRUE(IsOutputFolderName(ours)) << platform::PathForDisplay(ours);
  }
  for (const char16_t* theirs : {u"extracted_jpegs_", u"extracted_jpeg", u"extracted_jpegs2",
                                 u"my_extracted_jpegs", u"DCIM", u""}) {
    EXPECT_FALSE(IsOutputFolderName(theirs)) << platform::PathForDisplay(theirs);
  }
}

TEST(Naming, ParentFolderNeedsASeparator) {
  std::u16string parent = u"unchanged";
  EXPECT_FALSE(ParentFolderOf(u"IMG_0042.CR2", &parent, u'\\'));
  EXPECT_EQ(parent, u"unchanged");
  EXPECT_FALSE(ParentFolderOf(u"IMG\\", &parent, u'\\'))
      << "one trailing separator is dropped before the search";
  ASSERT_TRUE(ParentFolderOf(u"D:\\Shoot\\", &parent, u'\\'));
  EXPECT_EQ(parent, u"D:\\");
  ASSERT_TRUE(ParentFolderOf(u"/IMG.CR2", &parent, u'/'));
  EXPECT_EQ(parent, u"/");
  EXPECT_FALSE(ParentFolderOf(u"D:\\Shoot\\IMG.CR2", &parent, u'/'));
  EXPECT_EQ(OutputFilePath(u"D:\\", u"x.jpg", u'\\'), u"D:\\x.jpg");
  EXPECT_EQ(OutputFilePath(u"D:\\a", u"x.jpg", u'\\'), u"D:\\a\\x.jpg");
}

TEST(Naming, OutputFolderIsFoundOrCreatedButNeverReplacesAFile) {
  const std::u16string root = platform::AbsolutePath(u"rawlift_naming_test");
  const char16_t sep = platform::kPathSeparator;
  std::u16string folder;
  platform::CreateFolder(root);
  ASSERT_TRUE(EnsureOutputFolder(root, u"extracted_jpegs", &folder));
  EXPECT_EQ(folder, root + sep + u"extracted_jpegs");
  EXPECT_TRUE(platform::IsDirectory(folder));
  std::u16string again;
  ASSERT_TRUE(EnsureOutputFolder(root + sep, u"extracted_jpegs", &again));
  EXPECT_EQ(again, folder);

  platform::NewFile blocker;
  ASSERT_TRUE(blocker.Create(root + sep + u"extracted_jpegs_800"));
  blocker.Close();
  EXPECT_FALSE(EnsureOutputFolder(root, u"extracted_jpegs_800", &again));
  EXPECT_FALSE(OutputFileExists(folder)) << "a folder is not an output file";
  EXPECT_TRUE(OutputFileExists(root + sep + u"extracted_jpegs_800"));
  EXPECT_FALSE(EnsureOutputFolder(root + sep + u"missing" + sep + u"deeper", u"x", &again))
      << "only one level is created";

  platform::RemoveFile(root + sep + u"extracted_jpegs_800");
  platform::RemoveFolder(folder);
  platform::RemoveFolder(root);
}

// Guards: two RAW files of one folder sharing an output name (one counted
// as extracted with the other's picture), and names changed where no stem is
// shared.
TEST(Naming, BaseNamesOfAFolderNeverShareAnOutput) {
  struct Case {
    std::vector<std::u16string> names;
    std::vector<std::u16string> bases;
  };
  const Case cases[] = {
      // No shared stem: the stems as they are.
      {{u"IMG_0001.CR2", u"IMG_0002.CR2", u"trip.day1.NEF"}, {u"IMG_0001", u"IMG_0002", u"trip"}},
      // Two cameras, one stem: the remaining name that sorts first keeps it.
      {{u"IMG_0001.CRW", u"IMG_0001.CR3"}, {u"IMG_0001_CRW", u"IMG_0001"}},
      {{u"a.c.NEF", u"a.b.NEF"}, {u"a_c_NEF", u"a"}},
      {{u"sample.nef", u"sample.arw", u"sample.NEF"}, {u"sample_nef", u"sample_arw", u"sample"}},
      // ASCII case folded, as FAT, exFAT and Windows fold it.
      {{u"shot.NEF", u"SHOT.ORF"}, {u"shot", u"SHOT_ORF"}},
      // Leading dots belong to the stem.
      {{u".first.NEF", u".second.CR2", u"._IMG_0001.CR3", u"IMG_0001.CR3"},
       {u".first", u".second", u"._IMG_0001", u"IMG_0001"}},
      // No dot at all, and a name given twice (a file selected twice).
      {{u"SHOTNEF", u"SHOTNEF.NEF", u"x.NEF", u"x.NEF"}, {u"SHOTNEF", u"SHOTNEF_NEF", u"x", u"x"}},
      // Names that differ in letter case only: one output each on a file
      // system that ignores case.
      {{u"shot.NEF", u"Shot.NEF"}, {u"shot_NEF", u"Shot"}},
      // A derived name that is another file's stem takes a number.
      {{u"a.b.NEF", u"a.c.NEF", u"a_c_NEF.NEF"}, {u"a", u"a_c_NEF_2", u"a_c_NEF"}},
      {{}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BaseNamesOfFolder(c.names), c.bases)
        << platform::Utf16ToUtf8(c.names.empty() ? std::u16string() : c.names.front());
  }
}
