// How fast the extraction job goes through folders: synthetic camera files
// (first run, second run with everything present, and with reduced copies),
// the first run in each metadata mode over files with a camera's whole
// description, and, when the samples folder is there, the real camera files.
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
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/extract.h"
#include "job/extraction_job.h"
#include "job/job_test_support.h"
#include "platform/fs.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/jpeg.h"
#include "tests/fixtures/tiff_builder.h"

namespace {

using job_test::ScratchFolder;

// CPU seconds this process has used (the machine is shared: other work
// stretches wall time, not this).
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

// A NEF-shaped file with the description a current camera writes: IFD0's
// identity, an Exif directory of 40 entries with a 24 KiB maker note, and a
// GPS directory of 16 entries; the preview in a sub-directory.
fixtures::Bytes DescribedNef(const fixtures::Bytes& jpeg, int seed) {
  fixtures::TiffBuilder t(false);
  const fixtures::IfdId ifd0 = t.NewIfd(), raw = t.NewIfd(), preview = t.NewIfd();
  const fixtures::IfdId exif = t.NewIfd(), gps = t.NewIfd();
  t.ifd(ifd0).Ascii(271, "NIKON CORPORATION").Ascii(272, "NIKON Z 8").Short(274, 1);
  t.ifd(ifd0).Rational(282, 300, 1).Rational(283, 300, 1).Short(296, 2);
  t.ifd(ifd0).Ascii(305, "Ver.02.00").Ascii(306, "2024:05:17 14:32:10");
  t.ifd(ifd0).Ascii(315, "A. Photographer").PointersTo(330, {preview, raw});
  t.ifd(ifd0).Ascii(33432, "(c) A. Photographer").PointerTo(34665, exif).PointerTo(34853, gps);
  t.ifd(raw).Long(256, 8256).Long(257, 5504).Short(258, 14).Short(259, 34713);
  t.ifd(raw).Short(262, 32803).OffsetOf(273, t.AddBlob(fixtures::Bytes(4096, 7)));
  t.ifd(raw).Short(277, 1).Long(279, 4096);
  t.ifd(preview).Long(254, 1).Short(259, 6).OffsetOf(513, t.AddBlob(jpeg));
  t.ifd(preview).Long(514, static_cast<uint32_t>(jpeg.size()));
  fixtures::Ifd& e = t.ifd(exif);
  e.Rational(33434, 1, 250).Rational(33437, 56, 10).Short(34850, 3).Short(34855, 400);
  e.Short(34864, 2).Long(34866, 400).Undefined(36864, {'0', '2', '3', '1'});
  e.Ascii(36867, "2024:05:17 14:32:10").Ascii(36868, "2024:05:17 14:32:10");
  e.Ascii(36880, "+02:00").Ascii(36881, "+02:00").Ascii(36882, "+02:00");
  e.Undefined(37121, {1, 2, 3, 0}).SRational(37380, -1, 3).Rational(37381, 30, 10);
  e.Short(37383, 5).Short(37384, 0).Short(37385, 16).Rational(37386, 500, 10);
  e.Undefined(37500, fixtures::Bytes(24 * 1024, static_cast<uint8_t>(seed)));
  e.Undefined(37510, fixtures::Bytes(44, ' ')).Ascii(37520, "42").Ascii(37521, "42");
  e.Ascii(37522, "42").Undefined(40960, {'0', '1', '0', '0'}).Short(40961, 1);
  e.Long(40962, 8256).Long(40963, 5504).Short(41495, 2).Undefined(41728, {3});
  e.Undefined(41729, {1}).Undefined(41730, {0, 2, 0, 2, 0, 1, 1, 2}).Short(41985, 0);
  e.Short(41986, 0).Short(41987, 0).Rational(41988, 1, 1).Short(41989, 50);
  e.Short(41990, 0).Short(41992, 0).Short(41993, 0).Short(41994, 0);
  e.Ascii(42033, "3012345").Ascii(42036, "NIKKOR Z 24-70mm f/2.8 S").SortEntries();
  fixtures::Ifd& g = t.ifd(gps);
  g.Raw(0, 1, 4, {2, 3, 0, 0}).Ascii(1, "N").Ascii(3, "E").Raw(5, 1, 1, {0});
  for (const uint16_t tag : {2, 4, 7}) {
    fixtures::ByteWriter w(false);
    w.u32(60).u32(1).u32(23).u32(1).u32(4512).u32(100);
    g.Raw(tag, 5, 3, w.take());
  }
  g.Rational(6, 12345, 10).Ascii(9, "A").Ascii(10, "3").Ascii(12, "K").Rational(13, 14, 100);
  g.Ascii(18, "WGS-84").Undefined(27, {'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'G', 'P', 'S'});
  g.Ascii(29, "2024:05:17").SortEntries();
  t.ifd(ifd0).SortEntries();
  t.Chain({ifd0});
  return t.Build();
}

// The metadata modes compared over one folder of described files: the first
// run of the job (outputs written), and the engine's extraction alone (no
// output), each in CPU time. The modes alternate, and so does which goes
// first (a run pays for memory the one before gave back); the best of each
// is kept.
void CompareMetadataModes(int files, const fixtures::Bytes& preview) {
  constexpr int kRounds = 9;
  constexpr int kEngineRounds = 20;
  ScratchFolder dir("rawlift_bench_extract_metadata");
  std::vector<std::u16string> paths;
  for (int i = 0; i < files; ++i) {
    paths.push_back(dir.Path({platform::Utf8ToUtf16("DSC_" + std::to_string(i) + ".NEF")}));
    ScratchFolder::Write(paths.back(), DescribedNef(preview, i));
  }
  const std::vector<std::u16string> selection = {dir.root()};
  settings::ExtractionSettings settings[2];
  settings[1].metadata = settings::MetadataComplete;
  double job[2] = {1e9, 1e9}, engine[2] = {1e9, 1e9};
  size_t bytes[2] = {0, 0};
  for (int round = 0; round < kRounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      const int mode = (round + turn) % 2;
      ScratchFolder::RemoveTree(dir.Path({u"extracted_jpegs"}));
      double start = ProcessCpuSeconds();
      RunJob(selection, settings[mode]);
      job[mode] = std::min(job[mode], ProcessCpuSeconds() - start);
      engine::ExtractOptions options;
      options.software = "Rawlift v1.00";
      options.metadata = mode ? engine::MetadataMode::kComplete : engine::MetadataMode::kCompact;
      start = ProcessCpuSeconds();
      for (int repeat = 0; repeat < kEngineRounds; ++repeat)
        for (const std::u16string& path : paths)
          bytes[mode] = engine::ExtractEmbeddedPreview(path, options).length;
      engine[mode] = std::min(engine[mode], (ProcessCpuSeconds() - start) / kEngineRounds);
    }
  }
  std::printf(
      "described NEF (%d files, JPEG of %zu bytes compact, %zu complete), CPU time per "
      "file, best of %d:\n",
      files, bytes[0], bytes[1], kRounds);
  for (int mode = 0; mode < 2; ++mode) {
    std::printf("  metadata %-8s  job first run %7.1f us   engine alone %6.1f us\n",
                mode ? "complete" : "compact", job[mode] * 1e6 / files, engine[mode] * 1e6 / files);
  }
  std::printf("  complete / compact: job %.3f, engine %.3f\n", job[1] / job[0],
              engine[1] / engine[0]);
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
    CompareMetadataModes(files, preview);
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
  // The same in the complete mode: only previews without Exif of their own in
  // files with a description of their own change.
  Result complete_total;
  complete_total.counters.filesFound = 0;
  settings::ExtractionSettings complete;
  complete.metadata = settings::MetadataComplete;
  for (int round = 0; round < kRealRounds; ++round) {
    for (const auto& family : selection) {
      ScratchFolder::RemoveTree(family + u"/extracted_jpegs");
    }
    const Result r = RunJob(selection, complete);
    complete_total.seconds += r.seconds;
    complete_total.counters.filesFound += r.counters.filesFound;
    complete_total.counters.newCount += r.counters.newCount;
    complete_total.counters.existingCount += r.counters.existingCount;
  }
  Report("extract, real samples, complete (20 rounds)", complete_total);
  return 0;
}
