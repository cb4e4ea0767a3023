#include "job/extraction_job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <tuple>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "job/job_test_support.h"
#include "job/naming.h"
#include "platform/graphics_session.h"
#include "tests/fixtures/jpeg.h"
#ifdef RAWLIFT_HAVE_IMAGING
#include "imaging/imaging.h"
#endif

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

// A job whose "RAW files" are JPEG files: the preview is the file itself.
// Measuring reads the JPEG frame; bounding follows the rescaler's rule;
// reductions are recorded, not performed.
class FakeJob : public ExtractionJob {
 public:
  explicit FakeJob(const ExtractionSettings& s = ExtractionSettings()) : ExtractionJob(s) {
    FillRawSuffixes();
  }
  ~FakeJob() override { StopWorker(); }

  std::function<void(int call)> onExtract;  // runs on the worker, before reading
  std::atomic<int> extractions{0};
  std::vector<std::tuple<std::u16string, int32_t, int32_t>> reductions;

 protected:
  bool ExtractPreview(const std::u16string& rawPath, uint8_t** buffer, uint32_t* length) override {
    const int call = extractions++;
    if (onExtract) onExtract(call);
    Bytes raw;
    if (!ScratchFolder::Read(rawPath, &raw) || raw.size() < 2 || raw[0] != 0xFF || raw[1] != 0xD8) {
      return false;
    }
    *buffer = static_cast<uint8_t*>(std::malloc(raw.size()));
    std::memcpy(*buffer, raw.data(), raw.size());
    *length = static_cast<uint32_t>(raw.size());
    return true;
  }
  void MeasureJpeg(const std::u16string& path, int32_t* width, int32_t* height) override {
    Bytes bytes;
    fixtures::JpegFrame frame;
    const bool ok = ScratchFolder::Read(path, &bytes) && fixtures::ReadJpegFrame(bytes, &frame);
    *width = ok ? frame.width : 0;
    *height = ok ? frame.height : 0;
  }
  void FitBounds(int32_t w, int32_t h, int32_t maxW, int32_t maxH, int32_t* tw,
                 int32_t* th) override {
    if (w == 0 || h == 0) return;
    const int64_t fittedHeight = int64_t{h} * maxW / w;
    if (fittedHeight > maxH) {
      *tw = static_cast<int32_t>(int64_t{w} * maxH / h);
      *th = maxH;
    } else {
      *tw = maxW;
      *th = static_cast<int32_t>(fittedHeight);
    }
  }
  void ReduceJpeg(const std::u16string& path, int32_t w, int32_t h) override {
    reductions.emplace_back(path, w, h);
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

std::vector<std::u16string> Names(std::initializer_list<const char16_t*> names) {
  return std::vector<std::u16string>(names.begin(), names.end());
}

class ExtractionJobTest : public ::testing::Test {
 protected:
  ExtractionJobTest()
      : dir_(std::string("rawlift_job_test_") +
             ::testing::UnitTest::GetInstance()->current_test_info()->name()) {}
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

  FakeJob job;
  const JobCounters c = RunOver(job, {dir_.root()});
  EXPECT_EQ(c.filesFound, 3) << "the sub-folder is not entered";
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

TEST_F(ExtractionJobTest, SharedBaseNamesAndRepeatedSelectionsCountAsPresent) {
  Put(u"a.b.NEF", Jpeg(64, 48, 1));
  Put(u"a.c.NEF", Jpeg(64, 48, 2));
  Put(u"solo.ORF", Jpeg(64, 48, 3));
  FakeJob job;
  const JobCounters c =
      RunOver(job, {In({u"a.b.NEF"}), In({u"a.c.NEF"}), In({u"solo.ORF"}), dir_.root()});
  EXPECT_EQ(c.filesFound, 6) << "a file reached twice is listed twice";
  EXPECT_EQ(c.newCount, 2);
  EXPECT_EQ(c.existingCount, 4);
  EXPECT_EQ(Get({u"extracted_jpegs", u"a_RLFT.jpg"}), Get({u"a.b.NEF"}))
      << "the first of the two is the one written";
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
    EXPECT_EQ(std::get<0>(smaller.reductions[0]),
              In({u"extracted_jpegs_800", u"IMG_0042_RLFT_800.jpg"}));
    EXPECT_EQ(std::get<1>(smaller.reductions[0]), 800);
    EXPECT_EQ(std::get<2>(smaller.reductions[0]), 400);
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
  // Fitting previews, and previews that cannot be decoded, are byte copies.
  EXPECT_EQ(Get({u"extracted_jpegs_800", u"FIT_RLFT_640.jpg"}), fits);
  EXPECT_EQ(Get({u"extracted_jpegs_800", u"EXACT_RLFT_800.jpg"}), exact);
  EXPECT_EQ(Get({u"extracted_jpegs_800", u"BAD_RLFT_0.jpg"}), undecodable);
  // Only the strip needs rescaling, to a height of 0 that no bitmap can have.
  ASSERT_EQ(job.reductions.size(), 1u);
  EXPECT_EQ(std::get<0>(job.reductions[0]), In({u"extracted_jpegs_800", u"STRIP_RLFT_800.jpg"}));
  EXPECT_EQ(std::get<1>(job.reductions[0]), 800);
  EXPECT_EQ(std::get<2>(job.reductions[0]), 0);
}

TEST_F(ExtractionJobTest, ZeroWidthBoundGivesWidthZeroNames) {
  Put(u"IMG_0001.CR2", Jpeg(64, 48));
  FakeJob job(Smaller(true, 0, 800));
  EXPECT_EQ(RunOver(job, {dir_.root()}).newCount, 1);
  EXPECT_EQ(ScratchFolder::Names(In({u"extracted_jpegs_0"})), Names({u"IMG_0001_RLFT_0.jpg"}));
  ASSERT_EQ(job.reductions.size(), 1u);
  EXPECT_EQ(std::get<1>(job.reductions[0]), 0);
  EXPECT_EQ(std::get<2>(job.reductions[0]), 0);
}

TEST_F(ExtractionJobTest, OutputsThatCannotBePlacedYieldNothing) {
  Put(u"IMG.CR2", Jpeg(64, 48));
  Put(u"extracted_jpegs", Bytes{0});  // a file where the folder should be
  FakeJob job;
  const JobCounters c = RunOver(job, {dir_.root()});
  EXPECT_EQ(c.filesFound, 1);
  EXPECT_EQ(c.newCount + c.existingCount, 0);
  EXPECT_EQ(job.extractions, 0);

  const FileResult r = job.ProcessRawFile(u"IMG.CR2", u"x", u"%N.jpg", 0, 0, 0, 0);
  EXPECT_FALSE(r.written || r.alreadyPresent) << "a path without a separator is not processed";
  EXPECT_TRUE(r.outputPath.empty());
}

TEST_F(ExtractionJobTest, WriteNeverReplacesAndLeavesNoTemporaryFile) {
  const Bytes jpeg = Jpeg(32, 32);
  const std::u16string target = In({u"out.jpg"});
  ASSERT_TRUE(ExtractionJob::WriteJpegFile(target, jpeg.data(), jpeg.size()));
  EXPECT_EQ(Get({u"out.jpg"}), jpeg);
  const Bytes other = {1, 2, 3};
  EXPECT_FALSE(ExtractionJob::WriteJpegFile(target, other.data(), other.size()));
  EXPECT_EQ(Get({u"out.jpg"}), jpeg);
  EXPECT_EQ(ScratchFolder::Names(dir_.root()), Names({u"out.jpg"}));
  EXPECT_FALSE(
      ExtractionJob::WriteJpegFile(In({u"missing", u"out.jpg"}), jpeg.data(), jpeg.size()));
  EXPECT_FALSE(ExtractionJob::WriteJpegFile(u"no_separator.jpg", jpeg.data(), jpeg.size()));

  // A stale temporary file of an interrupted run is no output and is not
  // mistaken for one.
  ASSERT_TRUE(platform::CreateFolder(In({u"extracted_jpegs"})));
  ASSERT_TRUE(ScratchFolder::Write(In({u"extracted_jpegs", u".rlft-0123456789abcdef.part"}),
                                   Bytes{0xFF, 0xD8}));
  Put(u"IMG.CR2", jpeg);
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

TEST_F(ExtractionJobTest, FlushedAndUnflushedWritesGiveTheSameFiles) {
  const Bytes jpeg = Jpeg(32, 32);
  ASSERT_TRUE(ExtractionJob::WriteJpegFile(In({u"a.jpg"}), jpeg.data(), jpeg.size(), true));
  ASSERT_TRUE(ExtractionJob::WriteJpegFile(In({u"b.jpg"}), jpeg.data(), jpeg.size(), false));
  EXPECT_EQ(Get({u"a.jpg"}), jpeg);
  EXPECT_EQ(Get({u"b.jpg"}), jpeg);
  EXPECT_FALSE(ExtractionJob::WriteJpegFile(In({u"a.jpg"}), jpeg.data(), jpeg.size(), true));
  EXPECT_EQ(ScratchFolder::Names(dir_.root()), Names({u"a.jpg", u"b.jpg"}));
}

TEST_F(ExtractionJobTest, OutputPlacedByAnotherRunMeanwhileCountsAsPresent) {
  Put(u"IMG.CR2", Jpeg(64, 48, 1));
  const Bytes theirs = Jpeg(64, 48, 9);
  FakeJob job;
  // The other run's file lands after the existence test, before the move.
  job.onExtract = [&](int) {
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
  job.onExtract = [&](int call) {
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
  job.onExtract = [&](int call) {
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

#ifdef RAWLIFT_HAVE_IMAGING
// With the real rescaler behind the job.
class ImagingJob : public FakeJob {
 public:
  using FakeJob::FakeJob;
  ~ImagingJob() override { StopWorker(); }

 protected:
  void MeasureJpeg(const std::u16string& path, int32_t* w, int32_t* h) override {
    ExtractionJob::MeasureJpeg(path, w, h);
  }
  void FitBounds(int32_t w, int32_t h, int32_t mw, int32_t mh, int32_t* tw, int32_t* th) override {
    ExtractionJob::FitBounds(w, h, mw, mh, tw, th);
  }
  void ReduceJpeg(const std::u16string& path, int32_t w, int32_t h) override {
    ExtractionJob::ReduceJpeg(path, w, h);
  }
};

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
  platform::GraphicsSession graphics;
  ImagingJob job(Smaller());
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
#endif
