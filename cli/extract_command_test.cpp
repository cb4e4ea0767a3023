// `rawlift extract` and `rawlift settings` in process, over synthetic camera
// files and a settings file in a scratch folder.
#include "cli/extract_command.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "cli/settings_command.h"
#include "job/extraction_job.h"
#include "job/job_test_support.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/exif_reader.h"
#include "tests/fixtures/jpeg.h"

using job_test::Bytes;
using job_test::ScratchFolder;

namespace {

// Captures what a command writes to a stream.
class Capture {
 public:
  Capture() : file_(std::tmpfile()) {}
  ~Capture() {
    if (file_) std::fclose(file_);
  }
  FILE* get() const { return file_; }
  std::string Text() const {
    std::fflush(file_);
    std::rewind(file_);
    std::string text;
    char chunk[512];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file_)) > 0) text.append(chunk, got);
    return text;
  }

 private:
  FILE* file_;
};

class CommandTest : public ::testing::Test {
 protected:
  CommandTest()
      : dir_(std::string("rawlift_cli_job_") +
             ::testing::UnitTest::GetInstance()->current_test_info()->name()) {
    platform::CreateFolder(dir_.Path({u"photos"}));
    settingsFile_ = dir_.Path({u"config", u"Corvane", u"RLFT", u"RLFT.cfg"});
  }

  std::string Photos() const { return platform::Utf16ToUtf8(dir_.Path({u"photos"})); }
  std::u16string PhotoPath(std::initializer_list<std::u16string> parts) const {
    std::u16string p = dir_.Path({u"photos"});
    for (const auto& part : parts) p += platform::kPathSeparator + part;
    return p;
  }

  // Writes the demo camera files; returns how many carry a RAW suffix and
  // how many of those the engine is expected to extract.
  void WriteDemoFiles(int* raw, int* extractable) {
    job::ExtractionJob suffixes{settings::ExtractionSettings()};
    suffixes.FillRawSuffixes();
    *raw = *extractable = 0;
    for (const fixtures::DemoFile& f : fixtures::MakeDemoFiles()) {
      ASSERT_TRUE(ScratchFolder::Write(PhotoPath({platform::Utf8ToUtf16(f.name)}), f.bytes));
      if (job::ExtractionJob::HasRawSuffix(platform::Utf8ToUtf16(f.name), suffixes.rawSuffixes())) {
        ++*raw;
        if (f.extractable) ++*extractable;
      }
    }
  }

  int Extract(const cli::Args& args, std::string* out = nullptr, std::string* err = nullptr,
              bool interrupted = false) {
    Capture o, e;
    std::atomic<bool> flag{interrupted};
    cli::ExtractEnvironment env;
    env.out = o.get();
    env.err = e.get();
    env.settingsFile = settingsFile_;
    env.interrupted = &flag;
    const int status = cli::RunExtractWith(args, env);
    if (out) *out = o.Text();
    if (err) *err = e.Text();
    return status;
  }

  int Settings(const cli::Args& args, std::string* out = nullptr, std::string* err = nullptr) {
    Capture o, e;
    const int status = cli::RunSettingsWith(args, settingsFile_, o.get(), e.get());
    if (out) *out = o.Text();
    if (err) *err = e.Text();
    return status;
  }

  settings::ExtractionSettings Stored() const {
    settings::SettingsStore store;
    settings::LoadSettingsFromPath(&store, settings::kSettingsMagic, settingsFile_);
    settings::ExtractionSettings record;
    settings::ReadExtractionSettings(store, &record);
    return record;
  }

  ScratchFolder dir_;
  std::u16string settingsFile_;
};

std::string Line(int found, int total, int fresh) {
  return "Files Scanned: " + std::to_string(found) + "\nJPEGs Extracted: " + std::to_string(total) +
         " Total - " + std::to_string(fresh) + " New\n";
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

size_t CountOf(const std::vector<std::string>& lines, const std::string& part) {
  size_t n = 0;
  for (const std::string& line : lines) n += line.find(part) != std::string::npos ? 1 : 0;
  return n;
}

}  // namespace

TEST_F(CommandTest, SettingsShowsDefaultsAndStoresFlagsWithinBounds) {
  std::string out;
  ASSERT_EQ(Settings({}, &out), 0);
  EXPECT_NE(out.find("size mode: native only (0)\nmax width: 800\nmax height: 800\nadd suffix: "
                     "yes\nmetadata: compact (0)\n"),
            std::string::npos)
      << out;
  EXPECT_FALSE(platform::CanOpenForReading(settingsFile_)) << "showing writes nothing";

  // Bounds given as options are 1 to 65535 (stored values are taken as
  // they are: SettingsKeepsForeignValuesOfTheFile).
  std::string err;
  for (const char* bound : {"0", "-3", "65536", "1e3"}) {
    EXPECT_EQ(Settings({"--max-width", bound}, &out, &err), 2) << bound;
    EXPECT_NE(err.find("--max-width needs a whole number from 1 to 65535, not '" +
                       std::string(bound) + "'"),
              std::string::npos)
        << err;
  }
  EXPECT_FALSE(platform::CanOpenForReading(settingsFile_)) << "a refused bound stores nothing";
  ASSERT_EQ(Settings({"--smaller", "--max-width", "1", "--max-height=65535", "--no-suffix"}, &out),
            0);
  settings::ExtractionSettings expected;
  expected.sizeMode = settings::NativeAndSmaller;
  expected.maxWidth = 1;
  expected.maxHeight = 65535;
  expected.addSuffix = false;
  EXPECT_EQ(Stored(), expected);
  Bytes file;
  ASSERT_TRUE(ScratchFolder::Read(settingsFile_, &file));
  EXPECT_EQ(file.size(), 64u);
  ASSERT_EQ(Settings({"--native-only"}, &out), 0);
  expected.sizeMode = settings::NativeOnly;
  EXPECT_EQ(Stored(), expected) << "flags not given keep their stored values";
}

TEST_F(CommandTest, SettingsKeepsForeignValuesOfTheFile) {
  settings::SettingsStore store;
  store.Entry(7, 1).type = settings::kSettingText;
  store.Entry(7, 1).text = u"kept";
  ASSERT_TRUE(cli::SaveSettingsTo(store, settingsFile_));
  ASSERT_EQ(Settings({"--max-width", "1024"}), 0);
  settings::SettingsStore loaded;
  settings::LoadSettingsFromPath(&loaded, settings::kSettingsMagic, settingsFile_);
  EXPECT_EQ(loaded.sections().at(7).at(1).text, u"kept");
  EXPECT_EQ(Stored().maxWidth, 1024);
}

TEST_F(CommandTest, UsageErrorsChangeNothing) {
  std::string err;
  EXPECT_EQ(Settings({"--max-width", "12px"}, nullptr, &err), 2);
  EXPECT_NE(err.find("whole number"), std::string::npos);
  EXPECT_EQ(Settings({"--max-width", "99999999999"}), 2);
  EXPECT_EQ(Settings({"--smaller", "--native-only"}), 2);
  EXPECT_EQ(Settings({"--suffix", "--no-suffix"}), 2);
  EXPECT_EQ(Settings({"somewhere"}), 2);
  EXPECT_EQ(Settings({"--bogus"}), 2);
  EXPECT_FALSE(platform::CanOpenForReading(settingsFile_));
  EXPECT_EQ(Extract({}), 2) << "no PATH";
  EXPECT_EQ(Extract({"--max-height", "", Photos()}), 2);
  EXPECT_FALSE(platform::IsDirectory(PhotoPath({u"extracted_jpegs"})));
}

TEST_F(CommandTest, ExtractWritesPreviewsOnceAndSummarises) {
  int raw = 0, extractable = 0;
  WriteDemoFiles(&raw, &extractable);
  ASSERT_GT(extractable, 0);
  std::string out, err;
  ASSERT_EQ(Extract({Photos()}, &out, &err), 0) << err;
  EXPECT_EQ(out.rfind(Line(raw, extractable, extractable), 0), 0u) << out;
  EXPECT_NE(out.find("\nTotal Time: "), std::string::npos);
  EXPECT_TRUE(err.empty()) << "no progress bar when standard error is no terminal: " << err;
  const auto written = ScratchFolder::Names(PhotoPath({u"extracted_jpegs"}));
  EXPECT_EQ(written.size(), static_cast<size_t>(extractable));
  for (const auto& name : written) {
    EXPECT_NE(name.find(u"_RLFT.jpg"), std::u16string::npos);
    Bytes jpeg;
    ASSERT_TRUE(ScratchFolder::Read(PhotoPath({u"extracted_jpegs", name}), &jpeg));
    ASSERT_GE(jpeg.size(), 4u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
  }

  ASSERT_EQ(Extract({Photos()}, &out), 0);
  EXPECT_EQ(out.rfind(Line(raw, extractable, 0), 0), 0u) << out;
  EXPECT_EQ(ScratchFolder::Names(PhotoPath({u"extracted_jpegs"})), written);
}

TEST_F(CommandTest, FlagsApplyToOneRunUnlessSaved) {
  ASSERT_TRUE(ScratchFolder::Write(
      PhotoPath({u"IMG_0042.CR2"}),
      fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, fixtures::MakeJpeg({1200, 600}))));
  std::string out, err;
  ASSERT_EQ(Extract({"--smaller", "--max-width", "400", "--no-suffix", Photos()}, &out, &err), 0)
      << err;
  EXPECT_EQ(out.rfind(Line(1, 1, 1), 0), 0u) << out;
  EXPECT_EQ(ScratchFolder::Names(PhotoPath({u"extracted_jpegs"})),
            std::vector<std::u16string>{u"IMG_0042.jpg"});
  EXPECT_EQ(ScratchFolder::Names(PhotoPath({u"extracted_jpegs_400"})),
            std::vector<std::u16string>{u"IMG_0042.jpg"});
  EXPECT_FALSE(platform::CanOpenForReading(settingsFile_)) << "not stored without --save";

  ASSERT_EQ(Extract({"--smaller", "--max-width", "300", "--save", Photos()}, &out), 0);
  settings::ExtractionSettings expected;
  expected.sizeMode = settings::NativeAndSmaller;
  expected.maxWidth = 300;
  EXPECT_EQ(Stored(), expected);
  EXPECT_EQ(ScratchFolder::Names(PhotoPath({u"extracted_jpegs_300"})),
            std::vector<std::u16string>{u"IMG_0042_RLFT_300.jpg"});
  // The stored settings now apply without flags: everything is present.
  ASSERT_EQ(Extract({Photos()}, &out), 0);
  EXPECT_EQ(out.rfind(Line(1, 1, 0), 0), 0u) << out;
}

TEST_F(CommandTest, MetadataModeForOneRunOrSavedAndShown) {
  fixtures::ShotInfo shot{"NIKON CORPORATION", "NIKON D850"};
  ASSERT_TRUE(ScratchFolder::Write(PhotoPath({u"DSC_0001.NEF"}),
                                   fixtures::MakeNefLike(shot, fixtures::MakeJpeg({320, 200}))));
  const auto output = [&] {
    Bytes jpeg;
    ScratchFolder::Read(PhotoPath({u"extracted_jpegs", u"DSC_0001_RLFT.jpg"}), &jpeg);
    platform::RemoveFile(PhotoPath({u"extracted_jpegs", u"DSC_0001_RLFT.jpg"}));
    fixtures::ExifStructure exif;
    std::string error;
    EXPECT_TRUE(fixtures::ReadJpegExif(jpeg, &exif, &error)) << error;
    return exif;
  };
  std::string err, out;
  ASSERT_EQ(Extract({"--metadata", "complete", Photos()}, nullptr, &err), 0) << err;
  fixtures::ExifStructure complete = output();
  ASSERT_NE(complete.exif.Find(36867), nullptr) << "DateTimeOriginal of the raw file";
  EXPECT_EQ(complete.exif.Find(36867)->Text(), shot.date_time);
  EXPECT_FALSE(platform::CanOpenForReading(settingsFile_)) << "not stored without --save";

  ASSERT_EQ(Extract({Photos()}), 0);
  EXPECT_EQ(output().exif.Find(36867), nullptr) << "compact by default";

  ASSERT_EQ(Extract({"--metadata=complete", "--save", Photos()}), 0);
  EXPECT_EQ(Stored().metadata, settings::MetadataComplete);
  EXPECT_NE(output().exif.Find(36867), nullptr);
  ASSERT_EQ(Extract({Photos()}), 0);
  EXPECT_NE(output().exif.Find(36867), nullptr) << "the stored mode applies";
  ASSERT_EQ(Settings({}, &out), 0);
  EXPECT_NE(out.find("\nmetadata: complete (1)\n"), std::string::npos) << out;
  ASSERT_EQ(Settings({"--metadata", "compact"}, &out), 0);
  EXPECT_NE(out.find("\nmetadata: compact (0)\n"), std::string::npos) << out;
  EXPECT_EQ(Stored().metadata, settings::MetadataCompact);

  for (const char* bad : {"full", "", "Complete", "1"}) {
    EXPECT_EQ(Settings({"--metadata", bad}, nullptr, &err), 2) << bad;
    EXPECT_NE(err.find("--metadata needs compact or complete"), std::string::npos) << err;
    EXPECT_EQ(Extract({"--metadata", bad, Photos()}), cli::kExtractUsage) << bad;
  }
  EXPECT_EQ(Stored().metadata, settings::MetadataCompact);
}

TEST_F(CommandTest, JobsOptionIsCheckedAndGivesTheSequentialOutcome) {
  std::string err;
  for (const char* bad : {"0", "-1", "65", "two", "", "1.5", "99999999999"}) {
    EXPECT_EQ(Extract({"--jobs", bad, Photos()}, nullptr, &err), cli::kExtractUsage) << bad;
    EXPECT_NE(err.find("--jobs needs a whole number from 1 to 64"), std::string::npos) << err;
  }
  EXPECT_FALSE(platform::IsDirectory(PhotoPath({u"extracted_jpegs"})));
  int raw = 0, extractable = 0;
  WriteDemoFiles(&raw, &extractable);
  // Two names that share an output: the first in list order wins either way.
  const Bytes first = fixtures::MakeJpeg({64, 48}), second = fixtures::MakeJpeg({96, 64});
  ASSERT_TRUE(ScratchFolder::Write(PhotoPath({u"a.b.CR2"}),
                                   fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, first)));
  ASSERT_TRUE(ScratchFolder::Write(PhotoPath({u"a.c.CR2"}),
                                   fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, second)));
  std::string out;
  ASSERT_EQ(Extract({"-j", "1", "--no-suffix", Photos()}, &out, &err), 0) << err;
  const std::string sequential = out.substr(0, out.find("\nTotal Time"));
  Bytes expected;
  ASSERT_TRUE(ScratchFolder::Read(PhotoPath({u"extracted_jpegs", u"a.jpg"}), &expected));
  for (const auto& name : ScratchFolder::Names(PhotoPath({u"extracted_jpegs"}))) {
    platform::RemoveFile(PhotoPath({u"extracted_jpegs", name}));
  }
  ASSERT_EQ(Extract({"--jobs=3", "--no-suffix", Photos()}, &out, &err), 0) << err;
  EXPECT_EQ(out.substr(0, out.find("\nTotal Time")), sequential);
  Bytes parallel;
  ASSERT_TRUE(ScratchFolder::Read(PhotoPath({u"extracted_jpegs", u"a.jpg"}), &parallel));
  EXPECT_EQ(parallel, expected);
  EXPECT_EQ(Stored(), settings::ExtractionSettings()) << "--jobs is never stored";
  // Flushing each output changes when it reaches the disk, not what is written.
  for (const auto& name : ScratchFolder::Names(PhotoPath({u"extracted_jpegs"}))) {
    platform::RemoveFile(PhotoPath({u"extracted_jpegs", name}));
  }
  ASSERT_EQ(Extract({"--sync", "-j", "2", "--no-suffix", "--save", Photos()}, &out, &err), 0)
      << err;
  EXPECT_EQ(out.substr(0, out.find("\nTotal Time")), sequential);
  Bytes flushed;
  ASSERT_TRUE(ScratchFolder::Read(PhotoPath({u"extracted_jpegs", u"a.jpg"}), &flushed));
  EXPECT_EQ(flushed, expected);
  settings::ExtractionSettings saved;
  saved.addSuffix = false;
  EXPECT_EQ(Stored(), saved) << "--jobs and --sync are never stored";
}

TEST_F(CommandTest, MissingPathsAreReportedAfterTheRun) {
  ASSERT_TRUE(
      ScratchFolder::Write(PhotoPath({u"A.CR2"}),
                           fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, fixtures::MakeJpeg())));
  std::string out, err;
  const std::string missing = Photos() + "/nothing_here.CR2";
  EXPECT_EQ(Extract({Photos(), missing}, &out, &err), cli::kExtractCompletedWithProblems);
  EXPECT_NE(err.find("nothing_here.CR2': no such file or folder"), std::string::npos) << err;
  EXPECT_EQ(out.rfind(Line(2, 1, 1), 0), 0u) << out;
}

TEST_F(CommandTest, InterruptStopsBetweenFilesAndLeavesNothingPartial) {
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(ScratchFolder::Write(
        PhotoPath({platform::Utf8ToUtf16("IMG_" + std::to_string(i) + ".CR2")}),
        fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, fixtures::MakeJpeg({64, 48}))));
  }
  std::string out, err;
  EXPECT_EQ(Extract({Photos()}, &out, &err, /*interrupted=*/true), cli::kExtractInterrupted);
  EXPECT_NE(err.find("stopping after the current file"), std::string::npos);
  ASSERT_EQ(out.rfind("Files Scanned: ", 0), 0u) << out;
  EXPECT_EQ(out.find("Total Time"), std::string::npos) << "a cancelled run records no time";
  const size_t fresh = out.find(" Total - ");
  ASSERT_NE(fresh, std::string::npos);
  const int newCount = std::stoi(out.substr(fresh + 9));
  EXPECT_LT(newCount, 40);
  const auto written = ScratchFolder::Names(PhotoPath({u"extracted_jpegs"}));
  EXPECT_EQ(written.size(), static_cast<size_t>(newCount)) << "no temporary or partial file";
}

#ifndef _WIN32
namespace {

bool WriteNative(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool ExistsNative(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

}  // namespace

// POSIX names that are not UTF-8 (Latin-1 "caf\xe9", a UTF-8 "\xc3\xa9" next
// to a Latin-1 byte, a lone 0xFF) in a folder whose own name is not UTF-8:
// they used to be counted as found and then silently give nothing, since the
// listing replaced their bytes and the name no longer led to the file.
TEST_F(CommandTest, NamesThatAreNotUtf8AreExtractedUnderTheSameBytes) {
  const std::string folder = Photos() + "/\xe9t\xe9";
  ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
  const Bytes raw = fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, fixtures::MakeJpeg());
  for (const char* name : {"caf\xe9.NEF", "\xc3\xa9t\xe9.NEF", "\xff.NEF"}) {
    ASSERT_TRUE(WriteNative(folder + "/" + name, raw));
  }
  std::string out, err;
  // The folder as an operand: its listing and the outputs keep every byte.
  ASSERT_EQ(Extract({"--no-suffix", folder}, &out, &err), 0) << err;
  EXPECT_EQ(out.rfind(Line(3, 3, 3), 0), 0u) << out;
  for (const char* output : {"caf\xe9.jpg", "\xc3\xa9t\xe9.jpg", "\xff.jpg"}) {
    EXPECT_TRUE(ExistsNative(folder + "/extracted_jpegs/" + output)) << output;
  }
  // A file as an operand, and a missing one, whose message stays UTF-8.
  ASSERT_EQ(std::remove((folder + "/extracted_jpegs/caf\xe9.jpg").c_str()), 0);
  EXPECT_EQ(Extract({"--no-suffix", folder + "/caf\xe9.NEF", folder + "/gon\xe9.NEF"}, &out, &err),
            cli::kExtractCompletedWithProblems);
  EXPECT_EQ(out.rfind(Line(2, 1, 1), 0), 0u) << out;
  EXPECT_TRUE(ExistsNative(folder + "/extracted_jpegs/caf\xe9.jpg"));
  EXPECT_NE(err.find("/gon\xef\xbf\xbd.NEF': no such file or folder"), std::string::npos) << err;
  EXPECT_EQ(err.find("\xe9"), std::string::npos) << "raw bytes reached the message";
}

TEST_F(CommandTest, CtrlCReachesTheRunningCommand) {
  constexpr int kFiles = 1000;
  for (int i = 0; i < kFiles; ++i) {
    ASSERT_TRUE(ScratchFolder::Write(
        PhotoPath({platform::Utf8ToUtf16("IMG_" + std::to_string(i) + ".CR2")}),
        fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, fixtures::MakeJpeg({64, 48}))));
  }
  const std::string config = platform::Utf16ToUtf8(dir_.Path({u"config"}));
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  // The interrupt comes once the first output exists: by then the command's
  // handler is in place and the run is under way.
  std::atomic<bool> stop{false};
  std::thread interrupter([&] {
    while (!stop && ScratchFolder::Names(PhotoPath({u"extracted_jpegs"})).empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!stop) std::raise(SIGINT);
  });
  // One file at a time: the run outlasts the command's 10 ms look at the
  // interrupt flag many times over, even on a fast machine.
  const int status = cli::RunExtract({"--jobs", "1", Photos()});
  stop = true;
  interrupter.join();
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(status, cli::kExtractInterrupted);
  EXPECT_LT(ScratchFolder::Names(PhotoPath({u"extracted_jpegs"})).size(),
            static_cast<size_t>(kFiles));
}
#endif

TEST_F(CommandTest, VerboseSaysForEachFileWhatWasWrittenOrWhyNothingWas) {
  int raw = 0, extractable = 0;
  WriteDemoFiles(&raw, &extractable);
  std::string out, err;
  ASSERT_EQ(Extract({"-v", "--smaller", Photos()}, &out, &err), 0) << err;
  std::vector<std::string> lines = SplitLines(out);
  ASSERT_EQ(lines.size(), static_cast<size_t>(raw) + 4) << out;
  // The summary follows the file lines, exactly as without --verbose.
  const size_t summary = out.find("Files Scanned: ");
  EXPECT_EQ(out.substr(summary).rfind(Line(raw, extractable, extractable), 0), 0u) << out;
  EXPECT_EQ(CountOf(lines, ": wrote "), static_cast<size_t>(extractable));
  EXPECT_EQ(CountOf(lines, ": nothing written: "), static_cast<size_t>(raw - extractable));
  const auto path = [&](std::initializer_list<std::u16string> parts) {
    return platform::Utf16ToUtf8(PhotoPath(parts));
  };
  const std::string converted = path({u"DSC_0004.NEF"}) + ": nothing written: " +
                                "not a camera raw file: written by a raw converter";
  EXPECT_EQ(CountOf(lines, converted), 1u) << out;
  const std::string cr2 = path({u"IMG_0001.CR2"}) + ": wrote " +
                          path({u"extracted_jpegs", u"IMG_0001_RLFT.jpg"}) + " (1152x768), " +
                          path({u"extracted_jpegs_800", u"IMG_0001_RLFT_800.jpg"}) + " (800x533)";
  EXPECT_EQ(CountOf(lines, cr2), 1u) << out;

  // A second run finds everything, and still tells the sizes.
  ASSERT_EQ(Extract({"--verbose", "--smaller", Photos()}, &out), 0);
  lines = SplitLines(out);
  EXPECT_EQ(CountOf(lines, ": already present: "), static_cast<size_t>(extractable));
  EXPECT_EQ(CountOf(lines, path({u"IMG_0001.CR2"}) + ": already present: " +
                               path({u"extracted_jpegs", u"IMG_0001_RLFT.jpg"}) + " (1152x768), "),
            1u)
      << out;
  // Without --verbose, nothing but the summary.
  ASSERT_EQ(Extract({Photos()}, &out), 0);
  EXPECT_EQ(out.rfind(Line(raw, extractable, 0), 0), 0u) << out;
}

TEST(FileOutcomeLine, MixedAndPartialOutcomes) {
  job::FileOutcome outcome;
  outcome.rawPath = u"/p/A.NEF";
  job::OutputResult full, reduced;
  full.status = job::OutputStatus::kAlreadyPresent;
  full.path = u"/p/extracted_jpegs/A_RLFT.jpg";
  reduced.reduced = true;
  reduced.status = job::OutputStatus::kWritten;
  reduced.path = u"/p/extracted_jpegs_800/A_RLFT_800.jpg";
  reduced.width = 800;
  reduced.height = 533;
  outcome.outputs = {full, reduced};
  EXPECT_EQ(cli::FileOutcomeLine(outcome),
            "/p/A.NEF: wrote /p/extracted_jpegs_800/A_RLFT_800.jpg (800x533); already present: "
            "/p/extracted_jpegs/A_RLFT.jpg (size unknown)");
  outcome.outputs[0].status = job::OutputStatus::kWritten;
  outcome.outputs[0].width = 6000;
  outcome.outputs[0].height = 4000;
  outcome.outputs[1].status = job::OutputStatus::kNotWritten;
  outcome.outputs[1].fault = job::OutputFault::kCannotWrite;
  EXPECT_EQ(cli::FileOutcomeLine(outcome),
            "/p/A.NEF: wrote /p/extracted_jpegs/A_RLFT.jpg (6000x4000); reduced copy not "
            "written: cannot write the output");
  EXPECT_EQ(cli::FileOutcomeJson(outcome),
            "{\"path\": \"/p/A.NEF\", \"outcome\": \"written\", \"reason\": \"cannot write the "
            "output\", \"outputs\": [{\"kind\": \"full\", \"status\": \"written\", \"path\": "
            "\"/p/extracted_jpegs/A_RLFT.jpg\", \"width\": 6000, \"height\": 4000}]}");
}

TEST_F(CommandTest, JsonIsOneObjectPerFileThenTheCounts) {
  int raw = 0, extractable = 0;
  WriteDemoFiles(&raw, &extractable);
#ifndef _WIN32
  // Guards: a quote, a backslash or a control character in a file name
  // breaking the JSON line.
  ASSERT_TRUE(ScratchFolder::Write(
      PhotoPath({u"odd \"name\\\t.CR2"}),
      fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, fixtures::MakeJpeg({64, 48}))));
  ++raw;
  ++extractable;
#endif
  std::string out, err;
  ASSERT_EQ(Extract({"--json", "-j", "3", Photos()}, &out, &err), 0) << err;
  const std::vector<std::string> lines = SplitLines(out);
  ASSERT_EQ(lines.size(), static_cast<size_t>(raw) + 1) << out;
  for (const std::string& line : lines) {
    EXPECT_EQ(line.front(), '{') << line;
    EXPECT_EQ(line.back(), '}') << line;
    EXPECT_EQ(line.find('\t'), std::string::npos) << "control characters are escaped";
  }
  EXPECT_EQ(out.find("Files Scanned"), std::string::npos) << "no summary text";
  EXPECT_EQ(CountOf(lines,
                    "\"outcome\": \"written\", \"reason\": null, \"outputs\": [{\"kind\": "
                    "\"full\", \"status\": \"written\""),
            static_cast<size_t>(extractable));
  EXPECT_EQ(CountOf(lines, "\"outcome\": \"none\", \"reason\": \""),
            static_cast<size_t>(raw - extractable));
#ifndef _WIN32
  EXPECT_EQ(CountOf(lines, "/odd \\\"name\\\\\\t.CR2\""), 1u) << out;
#endif
  const std::string counts =
      "{\"files_scanned\": " + std::to_string(raw) + ", \"files_done\": " + std::to_string(raw) +
      ", \"total\": " + std::to_string(extractable) + ", \"new\": " + std::to_string(extractable) +
      ", \"present\": 0, \"none\": " + std::to_string(raw - extractable) +
      ", \"completed\": true, \"seconds\": ";
  EXPECT_EQ(lines.back().rfind(counts, 0), 0u) << lines.back();
  EXPECT_NE(lines.back().find(", \"subfolders_not_searched\": 0, \"folders_too_deep\": 0, "
                              "\"failed\": 0, \"faults\": {\"folder_not_created\": 0, "
                              "\"write_failed\": 0, \"out_of_memory\": 0, \"cannot_read\": 0}}"),
            std::string::npos)
      << lines.back();

  // With several workers, the files come in the order of a run with one.
  std::string sequential;
  ASSERT_EQ(Extract({"--json", "-j", "1", Photos()}, &sequential), 0);
  std::string parallel;
  ASSERT_EQ(Extract({"--json", "-j", "4", Photos()}, &parallel), 0);
  const auto paths = [](const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& line : SplitLines(text))
      found.push_back(line.substr(0, line.find(',')));
    return found;
  };
  EXPECT_EQ(paths(parallel), paths(sequential));

  EXPECT_EQ(Extract({"--json", "--verbose", Photos()}, nullptr, &err), cli::kExtractUsage);
  EXPECT_NE(err.find("--verbose and --json cannot be combined"), std::string::npos) << err;
}

namespace {

bool IsUtf8(const std::string& text) {
  return platform::Utf16ToUtf8(platform::Utf8ToUtf16(text)) == text;
}

// Checks what a progress window reads: "# TEXT" and percentage lines, the
// percentages whole numbers that never go back and say 100 only on the last
// line; returns the texts of the file lines.
std::vector<std::string> CheckProgressLines(const std::string& out) {
  std::vector<std::string> texts;
  const std::vector<std::string> lines = SplitLines(out);
  EXPECT_FALSE(lines.empty());
  EXPECT_EQ(out.back(), '\n');
  int last = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    EXPECT_TRUE(IsUtf8(line)) << line;
    if (i % 2 == 0) {
      EXPECT_EQ(line.rfind("# ", 0), 0u) << line;
      if (line.find(" of ") != std::string::npos && line.back() == ')')
        texts.push_back(line.substr(2));
      continue;
    }
    EXPECT_TRUE(!line.empty() && line.size() <= 3 &&
                line.find_first_not_of("0123456789") == std::string::npos)
        << "line " << i << ": " << line;
    const int percent = std::atoi(line.c_str());
    EXPECT_GE(percent, last) << "line " << i;
    EXPECT_EQ(percent == 100, i + 1 == lines.size()) << "line " << i << ": " << line;
    last = percent;
  }
  EXPECT_EQ(last, 100);
  return texts;
}

}  // namespace

TEST_F(CommandTest, ProgressIsATextAndAPercentageLinePerFileForAProgressWindow) {
  int raw = 0, extractable = 0;
  WriteDemoFiles(&raw, &extractable);
#ifndef _WIN32
  // Guards: a newline in a name splitting a "# " line (the window would read
  // the rest as a percentage), a byte that is not UTF-8 (the window's reader
  // stops at invalid text), a backslash that the window reads as an escape.
  const Bytes cr2 = fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, fixtures::MakeJpeg({64, 48}));
  ASSERT_TRUE(WriteNative(Photos() + "/two\nlines \\n caf\xe9.CR2", cr2));
  raw += 1;
  extractable += 1;
#endif
  std::string out, err;
  ASSERT_EQ(Extract({"--progress", "-j", "3", Photos()}, &out, &err), 0) << err;
  std::vector<std::string> texts = CheckProgressLines(out);
  ASSERT_EQ(texts.size(), static_cast<size_t>(raw)) << out;
  EXPECT_EQ(CountOf(texts, ": written ("), static_cast<size_t>(extractable)) << out;
  EXPECT_EQ(CountOf(texts,
                    "DSC_0004.NEF: nothing written: not a camera raw file: written by a "
                    "raw converter ("),
            1u)
      << out;
  EXPECT_EQ(CountOf(texts, " of " + std::to_string(raw) + ")"), static_cast<size_t>(raw));
  EXPECT_EQ(CountOf(texts, "(" + std::to_string(raw) + " of "), 1u) << "numbered as they finish";
  EXPECT_EQ(texts.front().find('/'), std::string::npos) << "the name alone, not the folder";
#ifndef _WIN32
  EXPECT_EQ(CountOf(texts, "two\xef\xbf\xbdlines \\\\n caf\xef\xbf\xbd.CR2: written ("), 1u) << out;
#endif
  EXPECT_EQ(SplitLines(out).back(), "100");
  EXPECT_NE(out.find("\n# Done: " + std::to_string(raw) + " RAW files, " +
                     std::to_string(extractable) + " new, 0 already present\n100\n"),
            std::string::npos)
      << out;
  // The summary goes to standard error, where the window's reader never sees it.
  EXPECT_EQ(out.find("Files Scanned"), std::string::npos);
  EXPECT_EQ(err.rfind(Line(raw, extractable, extractable), 0), 0u) << err;

  ASSERT_EQ(Extract({"--progress", Photos()}, &out, &err), 0);
  texts = CheckProgressLines(out);
  EXPECT_EQ(CountOf(texts, ": already present ("), static_cast<size_t>(extractable)) << out;

  for (const char* other : {"--verbose", "--json"}) {
    EXPECT_EQ(Extract({other, "--progress", Photos()}, &out, &err), cli::kExtractUsage);
    EXPECT_NE(err.find(std::string(other) + " and --progress cannot be combined"),
              std::string::npos)
        << err;
    EXPECT_TRUE(out.empty()) << out;
  }
}

TEST_F(CommandTest, ProgressOfAnInterruptedRunEndsTheWindowAndSaysSo) {
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(ScratchFolder::Write(
        PhotoPath({platform::Utf8ToUtf16("IMG_" + std::to_string(i) + ".CR2")}),
        fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, fixtures::MakeJpeg({64, 48}))));
  }
  std::string out, err;
  EXPECT_EQ(Extract({"--progress", Photos()}, &out, &err, /*interrupted=*/true),
            cli::kExtractInterrupted);
  const std::vector<std::string> texts = CheckProgressLines(out);
  EXPECT_NE(
      out.find("\n# Stopped after " + std::to_string(texts.size()) + " of 20 RAW files\n100\n"),
      std::string::npos)
      << out;
  EXPECT_NE(err.find("stopping after the current file"), std::string::npos) << err;
  EXPECT_NE(err.find("Files Scanned: 20\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("Total Time"), std::string::npos) << "a cancelled run records no time";
  EXPECT_EQ(ScratchFolder::Names(PhotoPath({u"extracted_jpegs"})).size(), texts.size())
      << "every file reported was finished, and nothing else is there";
}

TEST(ProgressText, OneSafeLineAndAPercentageBelow100UntilTheEnd) {
  // Guards each way a name could break a line or the label of the window.
  EXPECT_EQ(cli::ProgressDialogText("a\nb\rc\td\x7f"
                                    "e"),
            "a\uFFFDb\uFFFDc\uFFFDd\uFFFDe");
  EXPECT_EQ(cli::ProgressDialogText("C1 \xc2\x85 LS \xe2\x80\xa8 PS \xe2\x80\xa9"),
            "C1 \uFFFD LS \uFFFD PS \uFFFD");
  EXPECT_EQ(cli::ProgressDialogText("bad \xff\xc3 end"), "bad \uFFFD\uFFFD end");
  EXPECT_EQ(cli::ProgressDialogText("back\\slash \\n"), "back\\\\slash \\\\n");
  EXPECT_EQ(cli::ProgressDialogText("caf\xc3\xa9 \xf0\x9f\x93\xb7"), "caf\xc3\xa9 \xf0\x9f\x93\xb7")
      << "valid text stays";

  job::FileOutcome outcome;
  outcome.rawPath = platform::Utf8ToUtf16KeepingBytes("/p/caf\xe9\n.NEF");
  job::OutputResult full, reduced;
  full.status = job::OutputStatus::kWritten;
  reduced.reduced = true;
  reduced.fault = job::OutputFault::kCannotReduce;
  outcome.outputs = {full, reduced};
  EXPECT_EQ(cli::FileProgressText(outcome, 2, 7),
            "caf\uFFFD\uFFFD.NEF: written; reduced copy not written: the preview cannot be reduced "
            "(2 of 7)");

  EXPECT_EQ(cli::ProgressPercent(0, 0), 0);
  EXPECT_EQ(cli::ProgressPercent(1, 3), 33);
  EXPECT_EQ(cli::ProgressPercent(199, 200), 99);
  EXPECT_EQ(cli::ProgressPercent(3, 3), 99) << "100 is kept for the end of the run";
  EXPECT_EQ(cli::ProgressPercent(2000000000, 2000000000), 99) << "no overflow";
}

TEST_F(CommandTest, SubFoldersNotSearchedAreToldAndRecursiveEntersThem) {
  const Bytes raw = fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, fixtures::MakeJpeg({64, 48}));
  ASSERT_TRUE(ScratchFolder::Write(PhotoPath({u"TOP.CR2"}), raw));
  ASSERT_TRUE(platform::CreateFolder(PhotoPath({u"DCIM"})));
  ASSERT_TRUE(platform::CreateFolder(PhotoPath({u"DCIM", u"100CANON"})));
  ASSERT_TRUE(ScratchFolder::Write(PhotoPath({u"DCIM", u"100CANON", u"IMG_1.CR2"}), raw));
  ASSERT_TRUE(ScratchFolder::Write(PhotoPath({u"DCIM", u"100CANON", u"IMG_2.CR2"}), raw));

  std::string out, err;
  ASSERT_EQ(Extract({Photos()}, &out, &err), 0);
  EXPECT_EQ(out.rfind(Line(1, 1, 1), 0), 0u) << out;
  EXPECT_EQ(err, "rawlift extract: 1 sub-folder was not searched; use --recursive\n");
  ASSERT_TRUE(platform::CreateFolder(PhotoPath({u"MISC"})));
  ASSERT_EQ(Extract({Photos()}, &out, &err), 0);
  EXPECT_EQ(err, "rawlift extract: 2 sub-folders were not searched; use --recursive\n")
      << "our own extracted_jpegs is not counted";
  ASSERT_EQ(Extract({"--json", Photos()}, &out, &err), 0);
  EXPECT_NE(out.find("\"subfolders_not_searched\": 2, \"folders_too_deep\": 0,"), std::string::npos)
      << out;
  EXPECT_NE(err.find("2 sub-folders were not searched"), std::string::npos);

  ASSERT_EQ(Extract({"-r", Photos()}, &out, &err), 0);
  EXPECT_EQ(out.rfind(Line(3, 3, 2), 0), 0u) << out;
  EXPECT_TRUE(err.empty()) << err;
  EXPECT_EQ(ScratchFolder::Names(PhotoPath({u"DCIM", u"100CANON", u"extracted_jpegs"})),
            (std::vector<std::u16string>{u"IMG_1_RLFT.jpg", u"IMG_2_RLFT.jpg"}))
      << "outputs go beside each RAW file";
  ASSERT_EQ(Extract({"--recursive", "--smaller", Photos()}, &out, &err), 0);
  EXPECT_EQ(out.rfind(Line(3, 3, 3), 0), 0u) << "reduced copies, never files of extracted_jpegs*";
  EXPECT_EQ(Stored(), settings::ExtractionSettings()) << "--recursive is never stored";
}

TEST(ProgressLine, ShowsDoneOfTotalCountsAndTimeLeft) {
  job::JobCounters c;
  EXPECT_EQ(cli::ProgressLine(c, 0, 10), "collecting RAW files...");
  c.filesFound = 40;
  EXPECT_EQ(cli::ProgressLine(c, 0, 10), "[..........] 0/40 files, 0 new, 0 present, --:-- left");
  c.filesDone = 10;
  c.newCount = 8;
  c.existingCount = 1;
  EXPECT_EQ(cli::ProgressLine(c, 20000, 10),
            "[##........] 10/40 files, 8 new, 1 present, 1:00 left");
  c.filesDone = 39;
  EXPECT_EQ(cli::ProgressLine(c, 3900 * 1000, 4),
            "[###.] 39/40 files, 8 new, 1 present, 1:40 left");
  c.filesDone = 40;
  EXPECT_EQ(cli::ProgressLine(c, 1, 4), "[####] 40/40 files, 8 new, 1 present");
  EXPECT_EQ(cli::ProgressLine(job::JobCounters{0}, 0, 2), "[##] 0/0 files, 0 new, 0 present");
}

namespace {

job::OutputResult Output(bool reduced, job::OutputStatus status,
                         job::OutputFault fault = job::OutputFault::kNone, int systemError = 0,
                         const char16_t* where = u"") {
  job::OutputResult output;
  output.reduced = reduced;
  output.status = status;
  output.fault = fault;
  output.systemError = systemError;
  output.where = where;
  output.path =
      reduced ? u"/c/extracted_jpegs_800/A_RLFT_800.jpg" : u"/c/extracted_jpegs/A_RLFT.jpg";
  return output;
}

}  // namespace

// Every report words an outcome through one description: what became of the
// file, faults told apart from files without a preview.
TEST(Describe, OneDescriptionForEveryReportAndFaultsToldApart) {
  using job::OutputFault;
  using job::OutputStatus;
  struct Case {
    std::vector<job::OutputResult> outputs;
    engine::NoPreviewReason previewReason;
    const char* word;
    const char* progress;  // FileProgressText without " (1 of 1)"
  };
  const Case cases[] = {
      {{Output(false, OutputStatus::kWritten)},
       engine::NoPreviewReason::kNone,
       "written",
       "A.NEF: written"},
      {{Output(false, OutputStatus::kAlreadyPresent),
        Output(true, OutputStatus::kNotWritten, OutputFault::kCannotWrite, ENOSPC, u"/c/x")},
       engine::NoPreviewReason::kNone,
       "present",
       "A.NEF: already present; reduced copy not written: cannot write the output: no space left "
       "on device"},
      {{Output(false, OutputStatus::kNotWritten, OutputFault::kNoPreview)},
       engine::NoPreviewReason::kUnknownContainer,
       "none",
       "A.NEF: nothing written: not a camera raw file: unknown container"},
      {{Output(false, OutputStatus::kNotWritten, OutputFault::kNoPreview)},
       engine::NoPreviewReason::kCannotOpen,
       "failed",
       "A.NEF: nothing written: cannot be opened"},
      {{Output(false, OutputStatus::kNotWritten, OutputFault::kCannotCreateFolder, EACCES, u"/c/")},
       engine::NoPreviewReason::kNone,
       "failed",
       "A.NEF: nothing written: output folder cannot be created: permission denied"},
      {{Output(false, OutputStatus::kNotWritten, OutputFault::kNoPreview)},
       engine::NoPreviewReason::kOutOfMemory,
       "failed",
       "A.NEF: nothing written: out of memory"},
      {{Output(false, OutputStatus::kWritten),
        Output(true, OutputStatus::kNotWritten, OutputFault::kCannotReduce)},
       engine::NoPreviewReason::kNone,
       "written",
       "A.NEF: written; reduced copy not written: the preview cannot be reduced"},
  };
  cli::FaultTally tally;
  for (const Case& c : cases) {
    job::FileOutcome outcome;
    outcome.rawPath = std::u16string(u"/c") + platform::kPathSeparator + u"A.NEF";
    outcome.outputs = c.outputs;
    outcome.previewReason = c.previewReason;
    EXPECT_STREQ(cli::Describe(outcome).word, c.word) << c.progress;
    EXPECT_EQ(cli::FileProgressText(outcome, 1, 1), std::string(c.progress) + " (1 of 1)");
    EXPECT_NE(cli::FileOutcomeJson(outcome).find(std::string("\"outcome\": \"") + c.word + "\""),
              std::string::npos);
    tally.Add(outcome);
  }
  // One line per kind and cause, with where it happened; a cut preview or a
  // file without one is no fault.
  EXPECT_EQ(tally.Lines(),
            (std::vector<std::string>{
                "1 preview could not be written: output folder cannot be created: permission "
                "denied in /c",
                "1 preview could not be written: cannot write the output: no space left on device "
                "in /c/x",
                "1 preview could not be written: out of memory",
                "1 RAW file could not be read: cannot be opened in /c",
            }));
  EXPECT_EQ(tally.FilesFailed(), 3);
  EXPECT_EQ(tally.Count(job::FaultKind::kWriteFailed), 1);
  cli::RunTotals totals;
  totals.faults = tally;
  totals.counters.filesFound = totals.counters.filesDone = 7;
  totals.counters.newCount = 2;
  totals.counters.existingCount = 1;
  EXPECT_NE(cli::CountsJson(totals).find("\"none\": 1, "), std::string::npos)
      << cli::CountsJson(totals);
  EXPECT_NE(cli::CountsJson(totals).find(
                "\"failed\": 3, \"faults\": {\"folder_not_created\": 1, \"write_failed\": 1, "
                "\"out_of_memory\": 1, \"cannot_read\": 1}}"),
            std::string::npos)
      << cli::CountsJson(totals);
}
