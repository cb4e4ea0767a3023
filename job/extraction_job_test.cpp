#include "job/extraction_job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "imaging/imaging.h"
#include "job/job_test_support.h"
#include "job/naming.h"
#include "platform/graphics_session.h"
#include "tests/fixtures/jpeg.h"

using namespace job;
using job_test::Bytes;
using job_test::ScratchFolder;
using settings::ExtractionSettings;

namespace {

Bytes Jpeg(int width, int height, uint32_t seed = 1) {
  fixtures::JpegOptions o;
  o.width = width;
  o.height = height;
  o.seed = seed;
  return fixtures::MakeJpeg(o);
}

imaging::ImageSize FrameOf(const Bytes& jpeg) {
  fixtures::JpegFrame frame;
  if (!fixtures::ReadJpegFrame(jpeg, &frame)) return imaging::ImageSize{};
  return imaging::ImageSize{frame.width, frame.height};
}

// A job whose "RAW files" are JPEG files: the preview is the file itself,
// and a file that is no JPEG gives the engine's "unknown container".
// Reductions are real, and recorded; failReductions makes them fail.
class FakeJob : public ExtractionJob {
 public:
  explicit FakeJob(const ExtractionSettings& s = ExtractionSettings()) : ExtractionJob(s) {
    FillRawSuffixes();
  }
  ~FakeJob() override { StopWorker(); }

  std::function<void(const std::u16string& rawPath, int call)> onExtract;  // before reading
  std::atomic<int> extractions{0};
  std::vector<imaging::ImageSize> reductions;
  bool failReductions = false;

 protected:
  engine::ExtractedPreview ExtractPreview(const std::u16string& rawPath,
                                          const engine::ExtractOptions& options) override {
    EXPECT_EQ(options.software, kSoftwareText);
    const int call = extractions++;
    if (onExtract) onExtract(rawPath, call);
    Bytes raw;
    if (!ScratchFolder::Read(rawPath, &raw) || raw.size() < 2 || raw[0] != 0xFF || raw[1] != 0xD8) {
      engine::ExtractedPreview none;
      none.reason = engine::NoPreviewReason::kUnknownContainer;
      return none;
    }
    return job_test::PreviewOf(raw);
  }
  bool ReducePreview(const uint8_t* jpeg, size_t length, int32_t w, int32_t h,
                     std::vector<uint8_t>* reduced) override {
    reductions.push_back(imaging::ImageSize{w, h});
    if (failReductions) return false;
    return ExtractionJob::ReducePreview(jpeg, length, w, h, reduced);
  }
};

ExtractionSettings Smaller(bool suffix = true, int32_t maxW = 800, int32_t maxH = 800) {
  ExtractionSettings s;
  s.sizeMode = settings::NativeAndSmaller;
  s.maxWidth = maxW;
  s.maxHeight = maxH;
  s.addSuffix = suffix;
  return s;
}

JobCounters RunOver(FakeJob& job, const std::vector<std::u16string>& selection) {
  job.SetSelection(&selection);
  job.Run();
  return job.Snapshot();
}

// Runs the job with an observer; the outcomes in the order it saw them.
std::vector<FileOutcome> OutcomesOf(FakeJob& job, const std::vector<std::u16string>& selection,
                                    JobOptions options = JobOptions()) {
  std::vector<FileOutcome> seen;
  std::mutex guard;
  job.SetOptions(options);
  job.SetFileObserver([&](const FileOutcome& outcome) {
    std::lock_guard<std::mutex> lock(guard);
    seen.push_back(outcome);
  });
  RunOver(job, selection);
  return seen;
}

std::vector<std::u16string> Names(std::initializer_list<const char16_t*> names) {
  return std::vector<std::u16string>(names.begin(), names.end());
}

class ExtractionJobTest : public ::testing::Test {
 protected:
  ExtractionJobTest()
      : dir_(std::string("rawlift_job_test_") +
             ::testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  // Reductions are real: GDI+ has to be up on Windows.
  platform::GraphicsSession graphics_;
  std::u16string In(std::initializer_list<std::u16string> parts) const { return dir_.Path(parts); }
  void Put(const std::u16string& name, const Bytes& bytes) {
    ASSERT_TRUE(ScratchFolder::Write(In({name}), bytes));
  }
  Bytes Get(std::initializer_list<std::u16string> parts) const {
    Bytes b;
    ScratchFolder::Read(In(parts), &b);
    return b;
  }

  ScratchFolder dir_;
};

}  // namespace

TEST(RawSuffixes, TwentyFiveInOrderMatchedAtTheEndIgnoringAsciiCase) {
  FakeJob job;
  EXPECT_EQ(job.rawSuffixes(),
            Names({u"RAF", u"CRW", u"CR2", u"KDC", u"DCR", u"MRW", u"NEF", u"ORF", u"DNG",
                   u"PTX", u"PEF", u"ARW", u"SRF", u"X3F", u"ERF", u"MOS", u"RAW", u"CR3",
                   u"RW2", u"RWL", u"NRW", u"SRW", u"SR2", u"ORI", u"IIQ"}));
  const auto& s = job.rawSuffixes();
  for (const char16_t* yes :
       {u"IMG_1.CR2", u"a.raw", u"b.Raw", u"c.nef", u"SHOTNEF", u"raw", u"D:\\x\\trip.day1.x3f",
        u"IMG_0001.CR3", u"P1.rw2", u"L1.RWL", u"CF1.iiq"}) {
    EXPECT_TRUE(ExtractionJob::HasRawSuffix(yes, s, u'\\')) << platform::PathForDisplay(yes);
  }
  for (const char16_t* no :
       {u"a.NEF.txt", u"a.jpg", u"NE", u"D:\\NEF\\readme", u"a.CR2 ", u"a.\u00c9RF"}) {
    EXPECT_FALSE(ExtractionJob::HasRawSuffix(no, s, u'\\')) << platform::PathForDisplay(no);
  }
  EXPECT_FALSE(ExtractionJob::HasRawSuffix(u"/photos.nef/notes", s, u'/'));
  EXPECT_TRUE(ExtractionJob::HasRawSuffix(u"/photos/x.ORF", s, u'/'));
}

TEST_F(ExtractionJobTest, FolderContributesOnlyItsOwnRawFiles) {
  const Bytes jpeg = Jpeg(64, 48);
  Put(u"IMG_1.CR2", jpeg);
  Put(u"IMG_2.CR2", jpeg);
  Put(u"IMG_3.cr2", jpeg);
  Put(u"notes.NEF.txt", jpeg);
  ASSERT_TRUE(platform::CreateFolder(In({u"sub"})));
  Put(u"sub" + std::u16string(1, platform::kPathSeparator) + u"IMG_9.CR2", jpeg);
  // Output folders of earlier runs, in any letter case, are not counted as
  // sub-folders left out.
  ASSERT_TRUE(platform::CreateFolder(In({u"Extracted_JPEGs_1024"})));

  FakeJob job;
  const JobCounters c = RunOver(job, {dir_.root()});
  EXPECT_EQ(c.filesFound, 3) << "the sub-folder is not entered";
  EXPECT_EQ(job.collection().subfoldersNotSearched, 1);
  EXPECT_EQ(job.collection().foldersTooDeep, 0);
  EXPECT_EQ(c.newCount, 3);
  EXPECT_EQ(c.existingCount, 0);
  EXPECT_EQ(c.filesDone, 3);
  EXPECT_TRUE(c.done);
  EXPECT_EQ(c.closeCountdown, kCloseCountdownTicks);
  EXPECT_EQ(ScratchFolder::Names(In({u"extracted_jpegs"})),
            Names({u"IMG_1_RLFT.jpg", u"IMG_2_RLFT.jpg", u"IMG_3_RLFT.jpg"}))
      << "no temporary file is left beside the outputs";
  EXPECT_EQ(Get({u"extracted_jpegs", u"IMG_2_RLFT.jpg"}), jpeg);
  EXPECT_TRUE(ScratchFolder::Names(In({u"sub", u"extracted_jpegs"})).empty());
}

#ifndef _WIN32
TEST_F(ExtractionJobTest, SpecialFilesInAFolderAreNeverOpened) {
  // Opening a FIFO for reading blocks until a writer comes: collecting one
  // would hang the run.
  Put(u"A.NEF", Jpeg(64, 48));
  ASSERT_EQ(::mkfifo(platform::PathForDisplay(In({u"pipe.NEF"})).c_str(), 0600), 0);
  FakeJob job;
  const JobCounters c = RunOver(job, {dir_.root()});
  EXPECT_EQ(c.filesFound, 1);
  EXPECT_EQ(c.newCount, 1);
}
#endif

TEST_F(ExtractionJobTest, SecondRunWritesNothingAndCountsEverythingPresent) {
  Put(u"A.NEF", Jpeg(64, 48, 1));
  Put(u"B.NEF", Jpeg(64, 48, 2));
  Put(u"C.NEF", Bytes{'n', 'o', 'p', 'e'});  // yields nothing
  {
    FakeJob first;
    const JobCounters c = RunOver(first, {dir_.root()});
    EXPECT_EQ(c.filesFound, 3);
    EXPECT_EQ(c.newCount, 2);
    EXPECT_EQ(c.existingCount, 0);
  }
  const Bytes before = Get({u"extracted_jpegs", u"A_RLFT.jpg"});
  Put(u"A.NEF", Jpeg(64, 48, 7));  // a changed RAW file does not overwrite its output
  FakeJob second;
  const JobCounters c = RunOver(second, {dir_.root()});
  EXPECT_EQ(c.filesFound, 3);
  EXPECT_EQ(c.newCount, 0);
  EXPECT_EQ(c.existingCount, 2);
  EXPECT_EQ(second.extractions, 1) << "only the file without output is tried again";
  EXPECT_EQ(Get({u"extracted_jpegs", u"A_RLFT.jpg"}), before);
  EXPECT_EQ(ScratchFolder::Names(In({u"extracted_jpegs"})), Names({u"A_RLFT.jpg", u"B_RLFT.jpg"}));
}

// Guards: an empty output left by a power cut after an unflushed write
// being counted as present for ever.
TEST_F(ExtractionJobTest, EmptyOutputIsWrittenAnewAndOthersAreKept) {
  Put(u"A.NEF", Jpeg(64, 48, 1));
  Put(u"B.NEF", Jpeg(64, 48, 2));
  ASSERT_TRUE(platform::CreateFolder(In({u"extracted_jpegs"})));
  ASSERT_TRUE(ScratchFolder::Write(In({u"extracted_jpegs", u"A_RLFT.jpg"}), Bytes{}));
  const Bytes small{0xFF};  // not a JPEG either, but not empty: someone's file
  ASSERT_TRUE(ScratchFolder::Write(In({u"extracted_jpegs", u"B_RLFT.jpg"}), small));
  FakeJob job;
  const JobCounters c = RunOver(job, {dir_.root()});
  EXPECT_EQ(c.newCount, 1);
  EXPECT_EQ(c.existingCount, 1);
  EXPECT_EQ(Get({u"extracted_jpegs", u"A_RLFT.jpg"}), Get({u"A.NEF"}));
  EXPECT_EQ(Get({u"extracted_jpegs", u"B_RLFT.jpg"}), small);
}

TEST_F(ExtractionJobTest, SelectionsWithoutRawFilesCompleteAtOnce) {
  Put(u"readme.txt", Bytes{1});
  FakeJob job;
  const JobCounters c = RunOver(job, {In({u"readme.txt"}), In({u"missing_folder"})});
  EXPECT_EQ(c.filesFound, 0);
  EXPECT_EQ(c.newCount + c.existingCount, 0);
  EXPECT_TRUE(c.done);
  EXPECT_EQ(BuildSummaryText(c),
            u"Files Scanned: 0\nJPEGs Extracted: 0 Total - 0 New\nTotal Time: 0 sec\n"
            u"Average Time per File: 0.00 sec");
  EXPECT_FALSE(platform::IsDirectory(In({u"extracted_jpegs"})));
}

// Guards: a RAW file counted as extracted (or present) with another file's
// picture because both share a stem.
TEST_F(ExtractionJobTest, SharedStemsGetOutputsOfTheirOwnAndRepeatedSelectionsCountAsPresent) {
  Put(u"a.b.NEF", Jpeg(64, 48, 1));
  Put(u"a.c.NEF", Jpeg(64, 48, 2));
  Put(u"solo.ORF", Jpeg(64, 48, 3));
  FakeJob job;
  // a.c.NEF named alone first: its name comes from its folder, not from
  // what else was selected.
  const JobCounters c =
      RunOver(job, {In({u"a.c.NEF"}), In({u"a.b.NEF"}), In({u"solo.ORF"}), dir_.root()});
  EXPECT_EQ(c.filesFound, 6) << "a file reached twice is listed twice";
  EXPECT_EQ(c.newCount, 3);
  EXPECT_EQ(c.existingCount, 3);
  EXPECT_EQ(Get({u"extracted_jpegs", u"a_RLFT.jpg"}), Get({u"a.b.NEF"}));
  EXPECT_EQ(Get({u"extracted_jpegs", u"a_c_NEF_RLFT.jpg"}), Get({u"a.c.NEF"}));
}

TEST_F(ExtractionJobTest, SuffixAndBoundChangesWriteBesideEarlierOutputs) {
  Put(u"IMG_0042.CR2", Jpeg(1000, 500));
  {
    FakeJob native;
    EXPECT_EQ(RunOver(native, {dir_.root()}).newCount, 1);
  }
  {
    // Switching to smaller sizes: the full-size output is found present, the
    // reduced copy is written, and the file counts as new.
    FakeJob smaller(Smaller());
    const JobCounters c = RunOver(smaller, {dir_.root()});
    EXPECT_EQ(c.newCount, 1);
    EXPECT_EQ(c.existingCount, 0);
    ASSERT_EQ(smaller.reductions.size(), 1u);
    EXPECT_EQ(smaller.reductions[0], (imaging::ImageSize{800, 400}));
    EXPECT_EQ(FrameOf(Get({u"extracted_jpegs_800", u"IMG_0042_RLFT_800.jpg"})),
              (imaging::ImageSize{800, 400}));
  }
  {
    FakeJob again(Smaller());
    const JobCounters c = RunOver(again, {dir_.root()});
    EXPECT_EQ(c.newCount, 0);
    EXPECT_EQ(c.existingCount, 1);
    EXPECT_TRUE(again.reductions.empty());
  }
  {
    FakeJob wider(Smaller(true, 1024, 800));
    EXPECT_EQ(RunOver(wider, {dir_.root()}).newCount, 1);
    EXPECT_EQ(ScratchFolder::Names(In({u"extracted_jpegs_1024"})),
              Names({u"IMG_0042_RLFT_1000.jpg"}))
        << "1000 x 500 fits 1024 x 800 and keeps its width";
    EXPECT_TRUE(wider.reductions.empty());
  }
  {
    FakeJob bare(Smaller(false));
    EXPECT_EQ(RunOver(bare, {dir_.root()}).newCount, 1);
    EXPECT_EQ(ScratchFolder::Names(In({u"extracted_jpegs"})),
              Names({u"IMG_0042.jpg", u"IMG_0042_RLFT.jpg"}));
    EXPECT_EQ(ScratchFolder::Names(In({u"extracted_jpegs_800"})),
              Names({u"IMG_0042.jpg", u"IMG_0042_RLFT_800.jpg"}));
  }
}

TEST_F(ExtractionJobTest, ReducedCopyRules) {
  const Bytes fits = Jpeg(640, 480, 1);
  const Bytes exact = Jpeg(800, 800, 2);
  const Bytes strip = Jpeg(4000, 3, 3);
  Bytes undecodable = {0xFF, 0xD8, 0xFF, 0xD9};
  Put(u"FIT.CR2", fits);
  Put(u"EXACT.CR2", exact);
  Put(u"STRIP.CR2", strip);
  Put(u"BAD.CR2", undecodable);
  FakeJob job(Smaller());
  const JobCounters c = RunOver(job, {dir_.root()});
  EXPECT_EQ(c.newCount, 4);
  EXPECT_EQ(ScratchFolder::Names(In({u"extracted_jpegs_800"})),
            Names({u"BAD_RLFT_0.jpg", u"EXACT_RLFT_800.jpg", u"FIT_RLFT_640.jpg",
                   u"STRIP_RLFT_800.jpg"}));
  // Fitting previews, previews that cannot be decoded, and a strip whose
  // bounded height is 0 (no picture has that) are byte copies.
  EXPECT_EQ(Get({u"extracted_jpegs_800", u"FIT_RLFT_640.jpg"}), fits);
  EXPECT_EQ(Get({u"extracted_jpegs_800", u"EXACT_RLFT_800.jpg"}), exact);
  EXPECT_EQ(Get({u"extracted_jpegs_800", u"BAD_RLFT_0.jpg"}), undecodable);
  EXPECT_EQ(Get({u"extracted_jpegs_800", u"STRIP_RLFT_800.jpg"}), strip);
  EXPECT_TRUE(job.reductions.empty());
}

TEST_F(ExtractionJobTest, ZeroWidthBoundGivesWidthZeroNames) {
  const Bytes preview = Jpeg(64, 48);
  Put(u"IMG_0001.CR2", preview);
  FakeJob job(Smaller(true, 0, 800));
  EXPECT_EQ(RunOver(job, {dir_.root()}).newCount, 1);
  EXPECT_EQ(ScratchFolder::Names(In({u"extracted_jpegs_0"})), Names({u"IMG_0001_RLFT_0.jpg"}));
  EXPECT_EQ(Get({u"extracted_jpegs_0", u"IMG_0001_RLFT_0.jpg"}), preview);
  EXPECT_TRUE(job.reductions.empty());
}

TEST_F(ExtractionJobTest, OutputsThatCannotBePlacedYieldNothing) {
  Put(u"IMG.CR2", Jpeg(64, 48));
  Put(u"extracted_jpegs", Bytes{0});  // a file where the folder should be
  FakeJob job;
  const std::vector<FileOutcome> outcomes = OutcomesOf(job, {dir_.root()});
  const JobCounters c = job.Snapshot();
  EXPECT_EQ(c.filesFound, 1);
  EXPECT_EQ(c.newCount + c.existingCount, 0);
  EXPECT_EQ(job.extractions, 0);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].status(), FileStatus::kNothing);
  EXPECT_EQ(outcomes[0].ReasonText(), "output folder cannot be created: file exists");

  const FileOutcome bare = job.ProcessFile(u"IMG.CR2");
  ASSERT_EQ(bare.outputs.size(), 1u);
  EXPECT_EQ(bare.outputs[0].fault, OutputFault::kNoFolderInPath)
      << "a path without a separator is not processed";
  EXPECT_TRUE(bare.outputs[0].path.empty());
}

TEST_F(ExtractionJobTest, StaleTemporaryIsNoOutput) {
  // A stale temporary file of an interrupted run is no output and is not
  // mistaken for one.
  ASSERT_TRUE(platform::CreateFolder(In({u"extracted_jpegs"})));
  ASSERT_TRUE(ScratchFolder::Write(In({u"extracted_jpegs", u".rlft-0123456789abcdef.part"}),
                                   Bytes{0xFF, 0xD8}));
  Put(u"IMG.CR2", Jpeg(32, 32));
  FakeJob job;
  EXPECT_EQ(RunOver(job, {In({u"IMG.CR2"})}).newCount, 1);
}

// Guards: leftovers of killed runs piling up in output folders, and a
// cleaner that takes a live writer's temporary, an output or a folder.
TEST_F(ExtractionJobTest, AbandonedTemporariesAreRemovedAndNothingElse) {
  const std::u16string folder = In({u"extracted_jpegs"});
  ASSERT_TRUE(platform::CreateFolder(folder));
  const Bytes bytes{0xFF, 0xD8, 0xFF};
  const std::vector<std::u16string> leftovers = {u".rlft-0123456789abcdef.part",
                                                 u".rlft-reduce-0123456789abcdef.tmp",
                                                 u".rawlift-reduce-77-0.tmp"};
  for (const auto& name : leftovers)
    ASSERT_TRUE(ScratchFolder::Write(In({u"extracted_jpegs", name}), bytes));
  const std::vector<std::u16string> kept = {u"IMG_RLFT.jpg", u".rlft-.part", u"x.rlft-1.part",
                                            u".rlft-1.part.jpg", u"notes.tmp"};
  for (const auto& name : kept)
    ASSERT_TRUE(ScratchFolder::Write(In({u"extracted_jpegs", name}), bytes));
  ASSERT_TRUE(platform::CreateFolder(In({u"extracted_jpegs", u".rlft-folder.part"})));
  platform::NewFile live;
  ASSERT_TRUE(live.Create(In({u"extracted_jpegs", u".rlft-fedcba9876543210.part"})));

  ExtractionJob::RemoveAbandonedTemporaries(folder, 3600);
  EXPECT_EQ(ScratchFolder::Names(folder).size(), leftovers.size() + kept.size() + 2)
      << "all written just now";
  ExtractionJob::RemoveAbandonedTemporaries(folder, 0);
  std::vector<std::u16string> expected = kept;
  expected.push_back(u".rlft-folder.part");
  expected.push_back(u".rlft-fedcba9876543210.part");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ScratchFolder::Names(folder), expected);
  live.Close();
}

TEST_F(ExtractionJobTest, OutputPlacedByAnotherRunMeanwhileCountsAsPresent) {
  Put(u"IMG.CR2", Jpeg(64, 48, 1));
  const Bytes theirs = Jpeg(64, 48, 9);
  FakeJob job;
  // The other run's file lands after the existence test, before the move.
  job.onExtract = [&](const std::u16string&, int) {
    platform::CreateFolder(In({u"extracted_jpegs"}));
    ScratchFolder::Write(In({u"extracted_jpegs", u"IMG_RLFT.jpg"}), theirs);
  };
  const JobCounters c = RunOver(job, {In({u"IMG.CR2"})});
  EXPECT_EQ(c.newCount, 0);
  EXPECT_EQ(c.existingCount, 1);
  EXPECT_EQ(Get({u"extracted_jpegs", u"IMG_RLFT.jpg"}), theirs);
  EXPECT_EQ(ScratchFolder::Names(In({u"extracted_jpegs"})), Names({u"IMG_RLFT.jpg"}));
}

TEST_F(ExtractionJobTest, CancelTakesEffectBetweenFiles) {
  for (char16_t c = u'A'; c <= u'F'; ++c) Put(std::u16string(1, c) + u".NEF", Jpeg(64, 48, c));
  FakeJob job(Smaller());
  // The second file asks for the cancel while it is being worked on: it is
  // finished, reduced copy included, and no further file is started.
  job.onExtract = [&](const std::u16string&, int call) {
    if (call == 2) job.RequestCancel();
  };
  const std::vector<std::u16string> selection = {dir_.root()};
  job.SetSelection(&selection);
  ASSERT_TRUE(job.StartWorker());
  job.StopWorker();  // joins; the worker may already have been cancelled
  EXPECT_TRUE(job.WorkerFinished());
  const JobCounters c = job.Snapshot();
  EXPECT_TRUE(c.cancelRequested);
  EXPECT_FALSE(c.done);
  EXPECT_EQ(c.closeCountdown, 0);
  EXPECT_EQ(c.elapsedSeconds, 0);
  EXPECT_LE(c.filesDone, 2);
  EXPECT_EQ(ScratchFolder::Names(In({u"extracted_jpegs"})).size(), static_cast<size_t>(c.newCount));
  EXPECT_EQ(ScratchFolder::Names(In({u"extracted_jpegs_800"})).size(),
            static_cast<size_t>(c.newCount));
}

TEST_F(ExtractionJobTest, StopWaitsForTheFileInProgress) {
  for (char16_t c = u'A'; c <= u'C'; ++c) Put(std::u16string(1, c) + u".NEF", Jpeg(64, 48, c));
  FakeJob job;
  std::atomic<bool> started{false};
  job.onExtract = [&](const std::u16string&, int call) {
    if (call != 0) return;
    started = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  };
  const std::vector<std::u16string> selection = {dir_.root()};
  job.SetSelection(&selection);
  EXPECT_FALSE(job.WaitForWorker(1)) << "no worker yet";
  ASSERT_TRUE(job.StartWorker());
  while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(job.WaitForWorker(1)) << "the first file is still being worked on";
  job.StopWorker();
  EXPECT_TRUE(job.WaitForWorker(0));
  const JobCounters c = job.Snapshot();
  EXPECT_EQ(c.filesFound, 3);
  EXPECT_EQ(c.filesDone, 1);
  EXPECT_EQ(c.newCount, 1);
  EXPECT_EQ(job.extractions, 1);
  const auto names = ScratchFolder::Names(In({u"extracted_jpegs"}));
  ASSERT_EQ(names.size(), 1u);
  // Whichever file came first, its output is complete.
  EXPECT_EQ(Get({u"extracted_jpegs", names[0]}), Get({names[0].substr(0, 1) + u".NEF"}));
  job.StopWorker();  // a second stop is harmless
}

TEST_F(ExtractionJobTest, WorkerPublishesCountersAndTheCloseCountdown) {
  Put(u"A.NEF", Jpeg(64, 48));
  FakeJob job;
  EXPECT_EQ(job.Snapshot().filesFound, -1);
  bool closeNow = true;
  job.TickProgress(&closeNow);
  EXPECT_FALSE(closeNow) << "no countdown before the run is done";
  const std::vector<std::u16string> selection = {dir_.root()};
  job.SetSelection(&selection);
  ASSERT_TRUE(job.StartWorker());
  EXPECT_FALSE(job.StartWorker()) << "one worker per job";
  // Wakes when the run ends, well before the time limit.
  EXPECT_TRUE(job.WaitForWorker(60000));
  EXPECT_TRUE(job.WorkerFinished());
  int closes = 0, ticks = 0;
  for (; ticks < 150; ++ticks) {
    const JobCounters c = job.TickProgress(&closeNow);
    EXPECT_TRUE(c.done);
    if (closeNow) {
      ++closes;
      EXPECT_EQ(ticks + 1, kCloseCountdownTicks);
    }
  }
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(job.Snapshot().newCount, 1);
}

TEST(ExtractionJobSettings, CopiesTheStoreWhenConstructed) {
  settings::SettingsStore store;
  store.SetInteger(0, settings::kSizeModeKey, 1);
  store.SetInteger(0, settings::kMaxWidthKey, 300);
  ExtractionJob job(store);
  store.SetInteger(0, settings::kMaxWidthKey, 999);
  EXPECT_EQ(job.settings().sizeMode, 1);
  EXPECT_EQ(job.settings().maxWidth, 300);
  EXPECT_EQ(job.settings().maxHeight, 800);
  EXPECT_TRUE(job.rawSuffixes().empty()) << "suffixes come with FillRawSuffixes";
}

#ifndef _WIN32
namespace {
// The APP1 Exif segment of a JPEG, or empty.
Bytes ExifSegment(const Bytes& jpeg) {
  size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    const uint8_t marker = jpeg[at + 1];
    const size_t length = static_cast<size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3];
    if (marker == 0xDA || at + 2 + length > jpeg.size()) break;
    if (marker == 0xE1 && length >= 8 && std::memcmp(&jpeg[at + 4], "Exif", 4) == 0) {
      return Bytes(jpeg.begin() + at, jpeg.begin() + at + 2 + length);
    }
    at += 2 + length;
  }
  return Bytes();
}
}  // namespace
#endif

TEST_F(ExtractionJobTest, ReducedCopyIsRescaledAndKeepsTheMetadata) {
  fixtures::JpegOptions o;
  o.width = 1600;
  o.height = 1200;
  o.app = fixtures::JpegApp::Exif;
  o.exif_make = "Corvane";
  o.exif_model = "Test Body";
  const Bytes preview = fixtures::MakeJpeg(o);
  Put(u"IMG_0042.CR2", preview);
  Put(u"STRIP.CR2", Jpeg(4000, 3));
  FakeJob job(Smaller());
  EXPECT_EQ(RunOver(job, {dir_.root()}).newCount, 2);
  const Bytes reduced = Get({u"extracted_jpegs_800", u"IMG_0042_RLFT_800.jpg"});
  fixtures::JpegFrame frame;
  ASSERT_TRUE(fixtures::ReadJpegFrame(reduced, &frame));
  EXPECT_EQ(frame.width, 800);
  EXPECT_EQ(frame.height, 600);
#ifndef _WIN32  // wine's GDI+ writes no property items
  // The encoder may lay the Exif structure out anew; what it says is kept.
  const Bytes exif = ExifSegment(reduced);
  const std::string text(exif.begin(), exif.end());
  EXPECT_NE(text.find("Corvane"), std::string::npos);
  EXPECT_NE(text.find("Test Body"), std::string::npos);
#endif
  // A strip whose bounded height is 0 cannot be rescaled: full-size bytes.
  EXPECT_EQ(Get({u"extracted_jpegs_800", u"STRIP_RLFT_800.jpg"}), Get({u"STRIP.CR2"}));
}

// ---- One pass per file, and what each file's outcome says ----

// Guards: a RAW file parsed twice for its two outputs, or parsed again when
// every output is already there.
TEST_F(ExtractionJobTest, EachRawFileIsReadOnceAndOnlyWhenAnOutputIsMissing) {
  Put(u"A.NEF", Jpeg(1600, 1200, 1));
  Put(u"B.NEF", Jpeg(1200, 1600, 2));
  {
    FakeJob first(Smaller());
    EXPECT_EQ(RunOver(first, {dir_.root()}).newCount, 2);
    EXPECT_EQ(first.extractions, 2);
    EXPECT_EQ(first.reductions.size(), 2u);
  }
  {
    FakeJob again(Smaller());
    EXPECT_EQ(RunOver(again, {dir_.root()}).existingCount, 2);
    EXPECT_EQ(again.extractions, 0);
  }
  // Only the reduced copy missing: one read, and the full-size output is
  // left as it is.
  const Bytes full = Get({u"extracted_jpegs", u"A_RLFT.jpg"});
  ASSERT_TRUE(platform::RemoveFile(In({u"extracted_jpegs_800", u"A_RLFT_800.jpg"})));
  FakeJob third(Smaller());
  EXPECT_EQ(RunOver(third, {dir_.root()}).newCount, 1);
  EXPECT_EQ(third.extractions, 1);
  EXPECT_EQ(Get({u"extracted_jpegs", u"A_RLFT.jpg"}), full);
  EXPECT_EQ(FrameOf(Get({u"extracted_jpegs_800", u"A_RLFT_800.jpg"})),
            (imaging::ImageSize{800, 600}));
}

TEST_F(ExtractionJobTest, OutcomesNameEveryOutputWithItsSizeOrTheReason) {
  Put(u"A.NEF", Jpeg(1600, 1200, 1));
  Put(u"B.NEF", Jpeg(640, 480, 2));
  Put(u"C.NEF", Bytes{'n', 'o', 'p', 'e'});
  const std::vector<std::u16string> selection = {In({u"A.NEF"}), In({u"B.NEF"}), In({u"C.NEF"})};
  FakeJob first(Smaller());
  std::vector<FileOutcome> outcomes = OutcomesOf(first, selection);
  ASSERT_EQ(outcomes.size(), 3u);
  const FileOutcome& a = outcomes[0];
  EXPECT_EQ(a.rawPath, In({u"A.NEF"}));
  EXPECT_EQ(a.status(), FileStatus::kWritten);
  EXPECT_EQ(a.ReasonText(), "");
  ASSERT_EQ(a.outputs.size(), 2u);
  EXPECT_FALSE(a.outputs[0].reduced);
  EXPECT_EQ(a.outputs[0].status, OutputStatus::kWritten);
  EXPECT_EQ(a.outputs[0].path, In({u"extracted_jpegs", u"A_RLFT.jpg"}));
  EXPECT_EQ(a.outputs[0].width, 1600);
  EXPECT_EQ(a.outputs[0].height, 1200);
  EXPECT_TRUE(a.outputs[1].reduced);
  EXPECT_EQ(a.outputs[1].path, In({u"extracted_jpegs_800", u"A_RLFT_800.jpg"}));
  EXPECT_EQ(a.outputs[1].width, 800);
  EXPECT_EQ(a.outputs[1].height, 600);
  EXPECT_EQ(outcomes[1].outputs[1].width, 640) << "a copy as it is has the preview's size";
  const FileOutcome& c = outcomes[2];
  EXPECT_EQ(c.status(), FileStatus::kNothing);
  ASSERT_EQ(c.outputs.size(), 1u) << "no reduced copy without a full-size one to size it";
  EXPECT_EQ(c.outputs[0].fault, OutputFault::kNoPreview);
  EXPECT_EQ(c.previewReason, engine::NoPreviewReason::kUnknownContainer);
  EXPECT_EQ(c.ReasonText(), "not a camera raw file: unknown container");
  EXPECT_EQ(c.outputs[0].path, In({u"extracted_jpegs", u"C_RLFT.jpg"}));

  // Present outputs carry their size when measured for the report.
  FakeJob second(Smaller());
  JobOptions measured;
  measured.reportSizes = true;
  outcomes = OutcomesOf(second, selection, measured);
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_EQ(outcomes[0].status(), FileStatus::kAlreadyPresent);
  EXPECT_EQ(outcomes[0].outputs[0].status, OutputStatus::kAlreadyPresent);
  EXPECT_EQ(outcomes[0].outputs[0].width, 1600);
  EXPECT_EQ(outcomes[0].outputs[1].status, OutputStatus::kAlreadyPresent);
  EXPECT_EQ(outcomes[0].outputs[1].width, 800);
  EXPECT_EQ(outcomes[0].outputs[1].height, 600);
  EXPECT_EQ(outcomes[2].status(), FileStatus::kNothing);
}

TEST_F(ExtractionJobTest, SizesOfAFullSizeOnlyRunAreMeasuredOnlyForAReport) {
  Put(u"A.NEF", Jpeg(320, 200));
  FakeJob quiet;
  std::vector<FileOutcome> outcomes = OutcomesOf(quiet, {In({u"A.NEF"})});
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].outputs[0].width, 0) << "nothing needed the size";
  ASSERT_TRUE(platform::RemoveFile(In({u"extracted_jpegs", u"A_RLFT.jpg"})));
  JobOptions report;
  report.reportSizes = true;
  for (const OutputStatus expected : {OutputStatus::kWritten, OutputStatus::kAlreadyPresent}) {
    FakeJob reported;
    outcomes = OutcomesOf(reported, {In({u"A.NEF"})}, report);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].outputs[0].status, expected);
    EXPECT_EQ(outcomes[0].outputs[0].width, 320);
    EXPECT_EQ(outcomes[0].outputs[0].height, 200);
  }
}

// Guards: outcomes reported in the order files happen to finish with
// several workers, instead of the list order.
TEST_F(ExtractionJobTest, ObserverSeesTheListOrderWithParallelFiles) {
  std::vector<std::u16string> selection;
  for (char16_t c = u'A'; c <= u'H'; ++c) {
    const std::u16string name = std::u16string(1, c) + u".NEF";
    Put(name, Jpeg(32, 32, c));
    selection.push_back(In({name}));
  }
  FakeJob job;
  // The first file finishes last.
  job.onExtract = [&](const std::u16string& rawPath, int) {
    if (rawPath == selection[0]) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  };
  JobOptions parallel;
  parallel.parallelFiles = 4;
  const std::vector<FileOutcome> outcomes = OutcomesOf(job, selection, parallel);
  ASSERT_EQ(outcomes.size(), selection.size());
  for (size_t i = 0; i < selection.size(); ++i) EXPECT_EQ(outcomes[i].rawPath, selection[i]);
}

// Guards: a failed reduction leaving full-size bytes under the reduced name.
TEST_F(ExtractionJobTest, FailedReductionLeavesTheReducedNameFree) {
  const Bytes preview = Jpeg(1600, 1200);
  Put(u"A.NEF", preview);
  FakeJob job(Smaller());
  job.failReductions = true;
  const std::vector<FileOutcome> outcomes = OutcomesOf(job, {In({u"A.NEF"})});
  EXPECT_EQ(job.Snapshot().newCount, 1) << "the full-size output was written";
  EXPECT_EQ(Get({u"extracted_jpegs", u"A_RLFT.jpg"}), preview);
  EXPECT_TRUE(ScratchFolder::Names(In({u"extracted_jpegs_800"})).empty());
  ASSERT_EQ(outcomes.size(), 1u);
  ASSERT_EQ(outcomes[0].outputs.size(), 2u);
  EXPECT_EQ(outcomes[0].outputs[1].fault, OutputFault::kCannotReduce);
  EXPECT_EQ(outcomes[0].outputs[1].path, In({u"extracted_jpegs_800", u"A_RLFT_800.jpg"}));
  EXPECT_EQ(outcomes[0].ReasonText(), "the preview cannot be reduced");
  // A later run that can reduce completes it.
  FakeJob later(Smaller());
  EXPECT_EQ(RunOver(later, {dir_.root()}).newCount, 1);
  EXPECT_EQ(FrameOf(Get({u"extracted_jpegs_800", u"A_RLFT_800.jpg"})),
            (imaging::ImageSize{800, 600}));
}

// Guards: a reduced copy stretched to the proportions of a user's own file
// found under the full-size name.
TEST_F(ExtractionJobTest, ReducedCopyIsThePreviewsOwnWhateverSitsUnderTheFullSizeName) {
  const Bytes preview = Jpeg(1200, 800);
  Put(u"A.NEF", preview);
  Put(u"B.NEF", preview);
  Put(u"C.NEF", Jpeg(640, 480));
  ASSERT_TRUE(platform::CreateFolder(In({u"extracted_jpegs"})));
  // The user's own file under A's full-size name, of other proportions; one
  // under B's that no decoder reads; C's full-size output of an earlier run.
  ASSERT_TRUE(ScratchFolder::Write(In({u"extracted_jpegs", u"A_RLFT.jpg"}), Jpeg(640, 480, 9)));
  ASSERT_TRUE(ScratchFolder::Write(In({u"extracted_jpegs", u"B_RLFT.jpg"}), Bytes{'x', 'y'}));
  ASSERT_TRUE(ScratchFolder::Write(In({u"extracted_jpegs", u"C_RLFT.jpg"}), Jpeg(640, 480)));
  FakeJob job(Smaller());
  EXPECT_EQ(RunOver(job, {dir_.root()}).newCount, 3);
  EXPECT_EQ(ScratchFolder::Names(In({u"extracted_jpegs_800"})),
            Names({u"A_RLFT_800.jpg", u"B_RLFT_800.jpg", u"C_RLFT_640.jpg"}));
  for (const char16_t* name : {u"A_RLFT_800.jpg", u"B_RLFT_800.jpg"}) {
    EXPECT_EQ(FrameOf(Get({u"extracted_jpegs_800", name})), (imaging::ImageSize{800, 533}));
  }
  // A second run finds every copy present and extracts only where the file
  // under the full-size name does not name the copy (A's 640 is not there).
  FakeJob again(Smaller());
  const JobCounters c = RunOver(again, {dir_.root()});
  EXPECT_EQ(c.existingCount, 3);
  EXPECT_EQ(again.extractions, 2) << "C's copy is found by the size of its full-size output";
}

#ifndef _WIN32
// Guards: an output the system refuses to create (a name too long for the
// file system) counted as written or present, or leaving a temporary.
TEST_F(ExtractionJobTest, OutputThatCannotBeWrittenIsReportedAsSuch) {
  const long nameMax = ::pathconf(platform::PathForDisplay(dir_.root()).c_str(), _PC_NAME_MAX);
  if (nameMax < 64 || nameMax > 1024) GTEST_SKIP() << "no usable name length limit";
  // The full-size name ("_RLFT.jpg") fits, the reduced one ("_RLFT_800.jpg")
  // is four characters too long.
  const std::u16string base(static_cast<size_t>(nameMax) - 10, u'n');
  Put(base + u".NEF", Jpeg(1600, 1200));
  FakeJob job(Smaller());
  const std::vector<FileOutcome> outcomes = OutcomesOf(job, {dir_.root()});
  ASSERT_EQ(outcomes.size(), 1u);
  ASSERT_EQ(outcomes[0].outputs.size(), 2u);
  EXPECT_EQ(outcomes[0].outputs[0].status, OutputStatus::kWritten);
  EXPECT_EQ(outcomes[0].outputs[1].fault, OutputFault::kCannotWrite);
  EXPECT_EQ(outcomes[0].ReasonText(), "cannot write the output: file name too long");
  EXPECT_TRUE(ScratchFolder::Names(In({u"extracted_jpegs_800"})).empty())
      << "no temporary left behind";
}
#endif

// ---- Collecting RAW files below folders ----

class CollectTest : public ExtractionJobTest {
 protected:
  void Folder(std::initializer_list<std::u16string> parts) {
    ASSERT_TRUE(platform::CreateFolder(In(parts)));
  }
  void File(std::initializer_list<std::u16string> parts) {
    ASSERT_TRUE(ScratchFolder::Write(In(parts), Bytes{1}));
  }
  std::vector<std::u16string> Collect(bool recursive, CollectionReport* report) {
    std::vector<std::u16string> list;
    FakeJob suffixes;
    ExtractionJob::CollectRawFiles(&list, dir_.root(), suffixes.rawSuffixes(), recursive, report);
    return list;
  }
};

TEST_F(CollectTest, RecursionTakesEachFolderInTurnAndNeverOutputFolders) {
  File({u"top.CR2"});
  Folder({u"b"});
  File({u"b", u"b1.CR2"});
  Folder({u"b", u"inner"});
  File({u"b", u"inner", u"deep.NEF"});
  Folder({u"a"});
  File({u"a", u"a1.CR2"});
  File({u"a", u"notes.txt"});
  Folder({u"extracted_jpegs"});
  File({u"extracted_jpegs", u"copied.CR2"});
  Folder({u"EXTRACTED_JPEGS_800"});
  File({u"EXTRACTED_JPEGS_800", u"copied.CR2"});
  Folder({u"extracted_jpegs2"});  // not one of ours: entered
  File({u"extracted_jpegs2", u"kept.CR2"});

  CollectionReport report;
  const std::vector<std::u16string> flat = Collect(false, &report);
  EXPECT_EQ(flat, std::vector<std::u16string>{In({u"top.CR2"})});
  EXPECT_EQ(report.subfoldersNotSearched, 3) << "a, b and extracted_jpegs2";

  report = CollectionReport();
  const std::vector<std::u16string> deep = Collect(true, &report);
  EXPECT_EQ(report.subfoldersNotSearched, 0);
  ASSERT_EQ(deep.size(), 5u);
  EXPECT_EQ(deep[0], In({u"top.CR2"})) << "a folder's own files come first";
  // Each sub-folder with everything below it before the next, in name order.
  const std::vector<std::u16string> expected = {
      In({u"top.CR2"}), In({u"a", u"a1.CR2"}), In({u"b", u"b1.CR2"}),
      In({u"b", u"inner", u"deep.NEF"}), In({u"extracted_jpegs2", u"kept.CR2"})};
  EXPECT_EQ(deep, expected);
}

#ifndef _WIN32
// Guards: a walk that follows a link back up the tree and never ends, or
// takes the same files twice through a link.
TEST_F(CollectTest, LinksToFoldersAreNeverEntered) {
  File({u"top.CR2"});
  Folder({u"sub"});
  File({u"sub", u"a.CR2"});
  ASSERT_EQ(::symlink(platform::PathForDisplay(dir_.root()).c_str(),
                      platform::PathForDisplay(In({u"sub", u"up"})).c_str()),
            0);
  ASSERT_EQ(::symlink("sub", platform::PathForDisplay(In({u"again"})).c_str()), 0);
  // A link to a RAW file is a RAW file, as it always was.
  ASSERT_EQ(::symlink("top.CR2", platform::PathForDisplay(In({u"linked.CR2"})).c_str()), 0);
  CollectionReport report;
  std::vector<std::u16string> files = Collect(true, &report);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::u16string>{In({u"linked.CR2"}), In({u"sub", u"a.CR2"}),
                                                In({u"top.CR2"})}));
  report = CollectionReport();
  Collect(false, &report);
  EXPECT_EQ(report.subfoldersNotSearched, 1) << "a link to a folder is not offered to --recursive";
  ::unlink(platform::PathForDisplay(In({u"sub", u"up"})).c_str());
  ::unlink(platform::PathForDisplay(In({u"again"})).c_str());
}
#endif

// Guards: a walk without bound on a file system that hides a loop from the
// visited set.
TEST_F(CollectTest, FoldersBelowTheDepthBoundAreLeftOutAndCounted) {
  std::u16string path = dir_.root();
  for (int depth = 0; depth <= kMaxFolderDepth; ++depth) {
    path += platform::kPathSeparator;
    path += u"d";
    ASSERT_TRUE(platform::CreateFolder(path)) << depth;
    ASSERT_TRUE(ScratchFolder::Write(path + platform::kPathSeparator + u"x.CR2", Bytes{1}));
  }
  CollectionReport report;
  const std::vector<std::u16string> files = Collect(true, &report);
  EXPECT_EQ(files.size(), static_cast<size_t>(kMaxFolderDepth));
  EXPECT_EQ(report.foldersTooDeep, 1);
}

// Guards: outputs of a run with an output root landing beside the RAW files
// (a locked card), or losing the layout below the selected folder.
TEST_F(ExtractionJobTest, OutputRootTakesTheTreeBelowEachSelectedPath) {
  ASSERT_TRUE(platform::CreateFolder(In({u"card"})));
  ASSERT_TRUE(platform::CreateFolder(In({u"card", u"100CANON"})));
  ASSERT_TRUE(ScratchFolder::Write(In({u"card", u"TOP.CR2"}), Jpeg(64, 48, 1)));
  ASSERT_TRUE(ScratchFolder::Write(In({u"card", u"100CANON", u"IMG_1.CR2"}), Jpeg(64, 48, 2)));
  ASSERT_TRUE(platform::CreateFolder(In({u"other"})));
  ASSERT_TRUE(ScratchFolder::Write(In({u"other", u"ALONE.NEF"}), Jpeg(64, 48, 3)));
  JobOptions options;
  options.recursive = true;
  options.outputRoot = In({u"out", u"nested"});  // neither level exists yet
  struct Case {
    std::vector<std::u16string> output, raw;
  };
  const auto get = [&](const std::vector<std::u16string>& parts) {
    std::u16string path = dir_.root();
    for (const std::u16string& part : parts) path += platform::kPathSeparator + part;
    Bytes b;
    ScratchFolder::Read(path, &b);
    return b;
  };
  const Case expected[] = {
      {{u"out", u"nested", u"extracted_jpegs", u"TOP_RLFT.jpg"}, {u"card", u"TOP.CR2"}},
      {{u"out", u"nested", u"100CANON", u"extracted_jpegs", u"IMG_1_RLFT.jpg"},
       {u"card", u"100CANON", u"IMG_1.CR2"}},
      // A file selected alone: its folder is the root's place.
      {{u"out", u"nested", u"extracted_jpegs", u"ALONE_RLFT.jpg"}, {u"other", u"ALONE.NEF"}},
  };
  FakeJob job;
  const std::vector<FileOutcome> outcomes =
      OutcomesOf(job, {In({u"card"}), In({u"other", u"ALONE.NEF"})}, options);
  ASSERT_EQ(outcomes.size(), 3u);
  for (const Case& c : expected) {
    EXPECT_FALSE(get(c.output).empty()) << platform::Utf16ToUtf8(c.output.back());
    EXPECT_EQ(get(c.output), get(c.raw)) << platform::Utf16ToUtf8(c.output.back());
  }
  EXPECT_FALSE(platform::IsDirectory(In({u"card", u"extracted_jpegs"}))) << "nothing on the card";
  // A second run recognises what exists.
  FakeJob again;
  OutcomesOf(again, {In({u"card"}), In({u"other", u"ALONE.NEF"})}, options);
  EXPECT_EQ(again.Snapshot().existingCount, 3);
  EXPECT_EQ(again.extractions, 0);
}
