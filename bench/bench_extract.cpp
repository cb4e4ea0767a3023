// How fast the extraction job goes through folders: synthetic camera files
// (first run, second run with everything present, and with reduced copies)
// and, when the samples folder is there, the real camera files.
//
//   bench_extract [--files N] [--preview WIDTHxHEIGHT] [--jobs N] [--reduced N]
//                 [--samples DIR]
//
// Prints files per second for each case, by the clock and by the process's
// CPU time (user and system; steadier on a shared machine). The case with
// reduced copies takes N (10) files. Scratch folders go below the
// current folder and are removed afterwards; real files are linked, not
// copied.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "job/extraction_job.h"
#include "job/job_test_support.h"
#include "platform/fs.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/jpeg.h"

namespace {

using job_test::ScratchFolder;

double ProcessCpuSeconds() {
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Result {
  job::JobCounters counters;
  double seconds = 0;
  double cpuSeconds = 0;
};

Result RunJob(const std::vector<std::u16string>& selection, const settings::ExtractionSettings& s,
              int jobs = 1) {
  job::ExtractionJob extraction(s);
  extraction.SetSelection(&selection);
  extraction.FillRawSuffixes();
  job::JobOptions options;
  options.parallelFiles = jobs;
  extraction.SetOptions(options);
  const int64_t start = platform::MonotonicMilliseconds();
  const double cpuStart = ProcessCpuSeconds();
  extraction.Run();  // the worker's body, on this thread: no polling noise
  Result r;
  r.seconds = (platform::MonotonicMilliseconds() - start) / 1000.0;
  r.cpuSeconds = ProcessCpuSeconds() - cpuStart;
  r.counters = extraction.Snapshot();
  return r;
}

void Report(const char* what, const Result& r) {
  const double rate = r.seconds > 0 ? r.counters.filesFound / r.seconds : 0;
  const double cpuRate = r.cpuSeconds > 0 ? r.counters.filesFound / r.cpuSeconds : 0;
  std::printf("%-44s %6d files %5d new %5d present %8.3f s %9.1f files/s %9.1f files/cpu-s\n", what,
              r.counters.filesFound, r.counters.newCount, r.counters.existingCount, r.seconds, rate,
              cpuRate);
}

}  // namespace

int main(int argc, char** argv) {
  int files = 200;
  int width = 3000, height = 2000;
  int jobs = 2;  // the machine's cores; the first run is repeated with this many
  int reducedFiles = 10;
  std::string samples = RAWLIFT_SAMPLES_DIR;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--files") && i + 1 < argc) {
      files = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--preview") && i + 1 < argc) {
      std::sscanf(argv[++i], "%dx%d", &width, &height);
    } else if (!std::strcmp(argv[i], "--jobs") && i + 1 < argc) {
      jobs = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--reduced") && i + 1 < argc) {
      reducedFiles = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--samples") && i + 1 < argc) {
      samples = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: bench_extract [--files N] [--preview WxH] [--jobs N] [--reduced N] "
                   "[--samples DIR]\n");
      return 2;
    }
  }

  {
    ScratchFolder dir("rawlift_bench_extract");
    fixtures::JpegOptions o;
    o.width = width;
    o.height = height;
    o.quality = 90;
    const fixtures::Bytes preview = fixtures::MakeJpeg(o);
    // Five camera families in turn, each holding the same full-size preview.
    for (int i = 0; i < files; ++i) {
      const fixtures::ShotInfo shot{"Canon", "Canon EOS 5D"};
      fixtures::Bytes raw;
      std::string name = "IMG_" + std::to_string(i);
      switch (i % 3) {
        case 0:
          raw = fixtures::MakeCr2Like(shot, preview);
          name += ".CR2";
          break;
        case 1:
          raw = fixtures::MakeDngLike(shot, preview);
          name += ".DNG";
          break;
        default:
          raw = fixtures::MakePefLike(shot, preview);
          name += ".PEF";
          break;
      }
      ScratchFolder::Write(dir.Path({platform::Utf8ToUtf16(name)}), raw);
    }
    std::printf("synthetic: %d files, %dx%d preview of %zu bytes\n", files, width, height,
                preview.size());
    const std::vector<std::u16string> selection = {dir.root()};
    settings::ExtractionSettings native;
    const Result sequential = RunJob(selection, native);
    Report("extract, full size (first run)", sequential);
    {
      // The same first run with files in parallel, over a second copy.
      ScratchFolder copy("rawlift_bench_extract_parallel");
      std::vector<platform::FolderEntry> entries;
      platform::ListFolder(dir.root(), &entries);
      for (const platform::FolderEntry& e : entries) {
        if (e.isDirectory) continue;
        fixtures::Bytes bytes;
        ScratchFolder::Read(dir.Path({e.name}), &bytes);
        ScratchFolder::Write(copy.Path({e.name}), bytes);
      }
      const Result parallel = RunJob({copy.root()}, native, jobs);
      const std::string what =
          "extract, full size (first run, --jobs " + std::to_string(jobs) + ")";
      Report(what.c_str(), parallel);
      if (parallel.seconds > 0) {
        std::printf("speed-up with --jobs %d: %.2fx\n", jobs,
                    sequential.seconds / parallel.seconds);
      }
    }
    // Finding everything present is quick: repeat it to rise above the clock.
    constexpr int kPresentRounds = 20;
    Result present;
    present.counters.filesFound = 0;
    for (int round = 0; round < kPresentRounds; ++round) {
      const Result r = RunJob(selection, native);
      present.seconds += r.seconds;
      present.cpuSeconds += r.cpuSeconds;
      present.counters.filesFound += r.counters.filesFound;
      present.counters.existingCount += r.counters.existingCount;
      present.counters.newCount += r.counters.newCount;
    }
    Report("extract, full size (again x20: all present)", present);
    // Reduced copies decode, rescale and encode each preview: a few files
    // tell the rate (bench_reduce has the per-copy figures).
    ScratchFolder few("rawlift_bench_extract_reduced");
    for (int i = 0; i < reducedFiles; ++i) {
      ScratchFolder::Write(few.Path({platform::Utf8ToUtf16("IMG_" + std::to_string(i) + ".CR2")}),
                           fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, preview));
    }
    settings::ExtractionSettings smaller;
    smaller.sizeMode = settings::NativeAndSmaller;
    const std::string what =
        "extract, full size and 800x800 copy (" + std::to_string(reducedFiles) + " files)";
    Report(what.c_str(), RunJob({few.root()}, smaller));
  }

  // Real files: each sample linked into a scratch folder per family, so the
  // outputs land there and the samples stay untouched.
  const std::u16string samplesDir = platform::Utf8ToUtf16(samples);
  std::vector<platform::FolderEntry> families;
  if (!platform::ListFolder(samplesDir, &families)) {
    std::printf("real files: no samples folder at %s, skipped\n", samples.c_str());
    return 0;
  }
  ScratchFolder real("rawlift_bench_extract_real");
  std::vector<std::u16string> selection;
  int linked = 0;
  for (const auto& family : families) {
    if (!family.isDirectory) continue;
    const std::u16string target = real.Path({family.name});
    platform::CreateFolder(target);
    std::vector<platform::FolderEntry> entries;
    platform::ListFolder(samplesDir + u"/" + family.name, &entries);
    for (const auto& e : entries) {
      if (e.isDirectory) continue;
      const std::string from =
          platform::Utf16ToUtf8(samplesDir + u"/" + family.name + u"/" + e.name);
      const std::string to = platform::Utf16ToUtf8(target + u"/" + e.name);
      if (::symlink(from.c_str(), to.c_str()) == 0) ++linked;
    }
    selection.push_back(target);
  }
  std::printf("real files: %d linked from %s\n", linked, samples.c_str());
  // Small files: repeat the pass so the timing is not all clock granularity.
  constexpr int kRealRounds = 20;
  Result total;
  total.counters.filesFound = 0;
  for (int round = 0; round < kRealRounds; ++round) {
    for (const auto& family : selection) {
      ScratchFolder::RemoveTree(family + u"/extracted_jpegs");
    }
    const Result r = RunJob(selection, settings::ExtractionSettings());
    total.seconds += r.seconds;
    total.cpuSeconds += r.cpuSeconds;
    total.counters.filesFound += r.counters.filesFound;
    total.counters.newCount += r.counters.newCount;
    total.counters.existingCount += r.counters.existingCount;
  }
  Report("extract, real samples (20 rounds)", total);
  return 0;
}
