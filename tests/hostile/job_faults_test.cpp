// The extraction job under faults: parallel runs, runs killed part-way,
// outputs that cannot be placed and names beyond ASCII.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/mount.h>
#include <sys/statvfs.h>
#endif

#include "job/extraction_job.h"
#include "job/job_test_support.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/jpeg.h"

using job_test::Bytes;
using job_test::ScratchFolder;

namespace {

// Every file below a folder (one level of sub-folders), path -> bytes.
// Hidden temporaries (".rlft-*.part") are left out: a run killed while
// writing one leaves it under that name, never under an output's name.
std::map<std::u16string, Bytes> Tree(const std::u16string& folder) {
  std::map<std::u16string, Bytes> tree;
  std::vector<platform::FolderEntry> entries;
  platform::ListFolder(folder, &entries);
  for (const auto& e : entries) {
    const std::u16string path = folder + platform::kPathSeparator + e.name;
    if (e.isDirectory) {
      for (const auto& inner : ScratchFolder::Names(path)) {
        if (inner.rfind(u".rlft-", 0) == 0) continue;
        Bytes bytes;
        ScratchFolder::Read(path + platform::kPathSeparator + inner, &bytes);
        tree[e.name + u"/" + inner] = bytes;
      }
    }
  }
  return tree;
}

// The demo folder plus name collisions (a.b.CR2 and a.c.CR2 both give
// a_RLFT.jpg) with different previews, and more files to keep threads busy.
void WriteFolder(const std::u16string& folder) {
  platform::CreateFolder(folder);
  for (const fixtures::DemoFile& f : fixtures::MakeDemoFiles()) {
    ScratchFolder::Write(folder + platform::kPathSeparator + platform::Utf8ToUtf16(f.name),
                         f.bytes);
  }
  const fixtures::ShotInfo canon{"Canon", "Canon EOS 5D"};
  ScratchFolder::Write(folder + platform::kPathSeparator + u"a.b.CR2",
                       fixtures::MakeCr2Like(canon, fixtures::MakeJpeg({64, 48})));
  ScratchFolder::Write(folder + platform::kPathSeparator + u"a.c.CR2",
                       fixtures::MakeCr2Like(canon, fixtures::MakeJpeg({96, 64})));
  ScratchFolder::Write(folder + platform::kPathSeparator + u"A.d.cr2",
                       fixtures::MakeCr2Like(canon, fixtures::MakeJpeg({32, 32})));
  for (int i = 0; i < 12; ++i) {
    ScratchFolder::Write(
        folder + platform::kPathSeparator +
            platform::Utf8ToUtf16("IMG_" + std::to_string(i) + ".CR2"),
        fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, fixtures::MakeJpeg({48 + i, 32})));
  }
}

job::JobCounters RunJob(const std::vector<std::u16string>& selection, int parallel,
                        settings::ExtractionSettings settings = settings::ExtractionSettings()) {
  job::ExtractionJob extraction(settings);
  extraction.SetSelection(&selection);
  extraction.FillRawSuffixes();
  job::JobOptions options;
  options.parallelFiles = parallel;
  extraction.SetOptions(options);
  extraction.Run();
  return extraction.Snapshot();
}

}  // namespace

// Guards: parallel workers racing on colliding names or counting differently.
TEST(ParallelJob, OutcomesEqualASequentialRun) {
  ScratchFolder dir("rawlift_hostile_parallel");
  const std::u16string one = dir.Path({u"one"}), many = dir.Path({u"many"});
  WriteFolder(one);
  WriteFolder(many);
  settings::ExtractionSettings smaller;
  smaller.sizeMode = settings::NativeAndSmaller;
  smaller.maxWidth = 40;
  // The same file selected twice as well: a repeated path stays in order.
  const std::u16string repeated = platform::kPathSeparator + std::u16string(u"a.b.CR2");
  job::JobCounters sequential = RunJob({one, one + repeated}, 1, smaller);
  job::JobCounters parallel = RunJob({many, many + repeated}, 4, smaller);
  sequential.elapsedSeconds = parallel.elapsedSeconds = 0;  // the clock may tick between
  EXPECT_TRUE(sequential.done);
  EXPECT_EQ(parallel, sequential);
  EXPECT_EQ(parallel.filesDone, parallel.filesFound);
  const auto expected = Tree(one);
  EXPECT_GT(expected.size(), 10u);
  EXPECT_EQ(Tree(many), expected) << "same names and the same bytes under each";
  // A second parallel run finds everything present.
  const job::JobCounters again = RunJob({many}, 4, smaller);
  EXPECT_EQ(again.newCount, 0);
  EXPECT_EQ(again.existingCount, sequential.newCount + sequential.existingCount - 1)
      << "all but the repeated selection";
}

// Guards: a parallel run going on after a cancel, or leaving temporaries.
TEST(ParallelJob, CancelStopsBetweenFilesLeavingNothingPartial) {
  ScratchFolder dir("rawlift_hostile_parallel_cancel");
  WriteFolder(dir.Path({u"photos"}));
  const std::vector<std::u16string> selection{dir.Path({u"photos"})};
  job::ExtractionJob extraction{settings::ExtractionSettings()};
  extraction.SetSelection(&selection);
  extraction.FillRawSuffixes();
  job::JobOptions options;
  options.parallelFiles = 3;
  extraction.SetOptions(options);
  extraction.RequestCancel();
  extraction.Run();
  const job::JobCounters counters = extraction.Snapshot();
  EXPECT_FALSE(counters.done);
  EXPECT_EQ(counters.filesDone, 0);
  EXPECT_TRUE(ScratchFolder::Names(dir.Path({u"photos", u"extracted_jpegs"})).empty());
}

// Guards: an output folder name taken by a file being overwritten or counted.
TEST(JobFaults, OutputFolderThatIsAFileYieldsNothingAndStaysIntact) {
  ScratchFolder dir("rawlift_hostile_folder_is_file");
  WriteFolder(dir.Path({u"photos"}));
  const Bytes blocker{'k', 'e', 'e', 'p'};
  ASSERT_TRUE(ScratchFolder::Write(dir.Path({u"photos", u"extracted_jpegs"}), blocker));
  const job::JobCounters counters = RunJob({dir.Path({u"photos"})}, 2);
  EXPECT_TRUE(counters.done);
  EXPECT_GT(counters.filesFound, 0);
  EXPECT_EQ(counters.newCount + counters.existingCount, 0);
  Bytes after;
  ASSERT_TRUE(ScratchFolder::Read(dir.Path({u"photos", u"extracted_jpegs"}), &after));
  EXPECT_EQ(after, blocker);
}

// Guards: names beyond ASCII mangled on the way to the output name.
TEST(JobFaults, NonAsciiNamesKeepTheirNames) {
  ScratchFolder dir("rawlift_hostile_unicode");
  const std::u16string folder = dir.Path({u"fotos \u00e9t\u00e9 \u65e5\u672c"});
  platform::CreateFolder(folder);
  const std::u16string name = u"\u00c5sa_\U0001F4F7";
  ASSERT_TRUE(ScratchFolder::Write(
      folder + platform::kPathSeparator + name + u".CR2",
      fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, fixtures::MakeJpeg({64, 48}))));
  const job::JobCounters counters = RunJob({folder}, 2);
  EXPECT_EQ(counters.filesFound, 1);
  EXPECT_EQ(counters.newCount, 1);
  EXPECT_EQ(ScratchFolder::Names(folder + platform::kPathSeparator + u"extracted_jpegs"),
            std::vector<std::u16string>{name + u"_RLFT.jpg"});
}

#ifndef _WIN32
namespace {

// Runs `rawlift extract --jobs N folder` as a child, killed after `delayUs`
// (or left to finish when negative). Returns the wait status.
int RunCommand(const std::string& folder, int jobs, long delayUs) {
  const pid_t child = fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    const std::string jobsText = std::to_string(jobs);
    execl(RAWLIFT_COMMAND, RAWLIFT_COMMAND, "extract", "--jobs", jobsText.c_str(), folder.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (delayUs >= 0) {
    usleep(static_cast<useconds_t>(delayUs));
    kill(child, SIGKILL);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

}  // namespace

// Guards: a run killed at any moment leaving a partial JPEG, or a later run
// missing or duplicating outputs.
TEST(JobFaults, KilledRunsLeaveNothingPartialAndAreCompletedLater) {
  ScratchFolder dir("rawlift_hostile_killed");
  const std::u16string clean = dir.Path({u"clean"});
  WriteFolder(clean);
  const std::string config = platform::Utf16ToUtf8(dir.Path({u"config"}));
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  ASSERT_TRUE(WIFEXITED(RunCommand(platform::Utf16ToUtf8(clean), 1, -1)));
  const auto expected = Tree(clean);
  ASSERT_GT(expected.size(), 10u);
  int index = 0;
  for (long delayUs : {0L, 2000L, 10000L, 30000L, 80000L, 200000L}) {
    for (int jobs : {1, 3}) {
      SCOPED_TRACE("killed after " + std::to_string(delayUs) + " us, jobs " + std::to_string(jobs));
      const std::u16string folder =
          dir.Path({platform::Utf8ToUtf16("run" + std::to_string(index++))});
      WriteFolder(folder);
      const std::string native = platform::Utf16ToUtf8(folder);
      RunCommand(native, jobs, delayUs);
      // Whatever was written is complete: a subset of the clean outputs.
      for (const auto& entry : Tree(folder)) {
        const auto found = expected.find(entry.first);
        ASSERT_NE(found, expected.end()) << platform::Utf16ToUtf8(entry.first);
        EXPECT_EQ(entry.second, found->second) << platform::Utf16ToUtf8(entry.first);
      }
      const int status = RunCommand(native, jobs, -1);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      EXPECT_EQ(Tree(folder), expected);
      // The killed run's temporaries, once old enough, go with the next run.
      const std::u16string outputs = folder + u"/extracted_jpegs";
      const struct timeval old[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
      for (const auto& name : ScratchFolder::Names(outputs)) {
        ::utimes(platform::Utf16ToUtf8(outputs + u"/" + name).c_str(), old);
      }
      RunCommand(native, jobs, -1);
      for (const auto& name : ScratchFolder::Names(outputs)) {
        EXPECT_NE(name.rfind(u".rlft-", 0), 0u) << "left behind: " << platform::Utf16ToUtf8(name);
      }
      EXPECT_EQ(Tree(folder), expected);
    }
  }
  ::unsetenv("XDG_CONFIG_HOME");
}
#endif

#ifdef __linux__
namespace {

// A small tmpfs at `folder`; false when mounting is not allowed here.
bool MountTmpfs(const std::string& folder, const char* size) {
  const std::string options = std::string("size=") + size;
  return ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

// Unmounts when the test ends, however it ends, before the folder goes.
struct Unmount {
  std::string folder;
  ~Unmount() { ::umount2(folder.c_str(), MNT_DETACH); }
};

}  // namespace

// Guards: a full disk leaving a truncated output or a success in the counts,
// and a read-only folder counted as written.
TEST(JobFaults, FullDiskAndReadOnlyFolderLeaveNoPartialOutput) {
  ScratchFolder dir("rawlift_hostile_mounts");
  const std::u16string folder = dir.Path({u"disk"});
  platform::CreateFolder(folder);
  const std::string native = platform::Utf16ToUtf8(folder);
  if (::geteuid() != 0 || !MountTmpfs(native, "400k")) GTEST_SKIP() << "cannot mount a tmpfs";
  const Unmount unmount{native};
  std::vector<Bytes> previews;
  const fixtures::Bytes jpeg = fixtures::MakeJpeg({640, 480});
  for (int i = 0; i < 6; ++i) {
    const std::u16string name = platform::Utf8ToUtf16("IMG_" + std::to_string(i) + ".CR2");
    ASSERT_TRUE(ScratchFolder::Write(folder + platform::kPathSeparator + name,
                                     fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, jpeg)));
  }
  // Fill the disk to leave room for about two outputs.
  struct statvfs space;
  ASSERT_EQ(::statvfs(native.c_str(), &space), 0);
  const uint64_t free = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
  const uint64_t room = 2 * (jpeg.size() + 4096) + 2048;
  if (free > room) {
    ASSERT_TRUE(ScratchFolder::Write(folder + platform::kPathSeparator + u"filler",
                                     Bytes(static_cast<size_t>(free - room), 0)));
  }
  const job::JobCounters full = RunJob({folder}, 2);
  EXPECT_TRUE(full.done);
  EXPECT_EQ(full.filesFound, 6);
  const auto written = Tree(folder);
  EXPECT_LT(written.size(), 6u) << "the disk was meant to fill up";
  EXPECT_EQ(static_cast<size_t>(full.newCount), written.size());
  for (const auto& output : written) {
    ASSERT_GT(output.second.size(), 4u);
    EXPECT_EQ(output.second[output.second.size() - 2], 0xFF) << "complete up to EOI";
    EXPECT_EQ(output.second.back(), 0xD9);
  }
  EXPECT_TRUE(ScratchFolder::Names(folder + platform::kPathSeparator + u"extracted_jpegs").size() ==
              written.size())
      << "no temporary left behind";

  // Read-only now: nothing is written, the present outputs still count.
  ASSERT_EQ(::mount("tmpfs", native.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
  const job::JobCounters readOnly = RunJob({folder}, 2);
  EXPECT_EQ(readOnly.newCount, 0);
  EXPECT_EQ(readOnly.existingCount, full.newCount);
  EXPECT_EQ(Tree(folder), written);
}
#endif
