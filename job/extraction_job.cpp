#include "job/extraction_job.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <system_error>

#include "engine/extract.h"
#include "job/naming.h"
#include "platform/file.h"
#include "platform/fs.h"
#ifdef RAWLIFT_HAVE_IMAGING
#include "imaging/imaging.h"
#endif

namespace job {

namespace {

// The suffixes of the RAW files a run collects: the original 17, then those
// of later cameras' containers (Canon CR3, Panasonic RW2 and Leica RWL, Nikon
// NRW, Samsung SRW, Sony SR2, Olympus ORI, Phase One IIQ).
const char16_t* const kRawSuffixes[] = {u"RAF", u"CRW", u"CR2", u"KDC", u"DCR", u"MRW", u"NEF",
                                        u"ORF", u"DNG", u"PTX", u"PEF", u"ARW", u"SRF", u"X3F",
                                        u"ERF", u"MOS", u"RAW", u"CR3", u"RW2", u"RWL", u"NRW",
                                        u"SRW", u"SR2", u"ORI", u"IIQ"};

// Temporary names of outputs being written: hidden on POSIX, and never a
// name the job itself would look for.
constexpr char16_t kTemporaryPrefix[] = u".rlft-";
constexpr char16_t kTemporarySuffix[] = u".part";

// Temporaries the job and the reducers write in an output folder, as prefix
// and suffix; what a killed run leaves of them is removed by a later run.
struct TemporaryPattern {
  const char16_t* prefix;
  const char16_t* suffix;
};
const TemporaryPattern kTemporaryPatterns[] = {
    {kTemporaryPrefix, kTemporarySuffix},  // outputs being written
    {u".rlft-reduce-", u".tmp"},           // reduced copies, GDI+
    {u".rawlift-reduce-", u".tmp"},        // reduced copies, libjpeg
};

bool HasPrefixAndSuffix(const std::u16string& name, const std::u16string& prefix,
                        const std::u16string& suffix) {
  return name.size() > prefix.size() + suffix.size() &&
         name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

char16_t AsciiLower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c;
}

// Files whose outputs may collide: the same folder and the same base name
// (the part before the first dot, which every output name is built from).
// ASCII case is folded because Windows file names ignore it; grouping more
// files than strictly collide only costs parallelism.
std::u16string CollisionKey(const std::u16string& rawPath) {
  std::u16string parent, baseName, extension;
  ParentFolderOf(rawPath, &parent);
  SplitFileName(rawPath, &baseName, &extension);
  std::u16string key = parent;
  key += u'\0';
  key += baseName;
  for (char16_t& c : key) c = AsciiLower(c);
  return key;
}

bool IsEmptyFile(const std::u16string& path) {
  platform::ReadOnlyFile file;
  return file.Open(path) && file.Size() == 0;
}

struct FreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};

}  // namespace

ExtractionJob::ExtractionJob(const settings::SettingsStore& store) {
  settings::ReadExtractionSettings(store, &settings_);
}

ExtractionJob::ExtractionJob(const settings::ExtractionSettings& settings) : settings_(settings) {}

ExtractionJob::~ExtractionJob() {
  StopWorker();
}

void ExtractionJob::FillRawSuffixes() {
  for (const char16_t* suffix : kRawSuffixes) rawSuffixes_.push_back(suffix);
}

bool ExtractionJob::StartWorker() {
  if (workerStarted_) return false;
  {
    std::lock_guard<std::mutex> lock(jobMutex_);
    counters_ = JobCounters();
    workerFinished_ = false;
  }
  try {
    workerThread_ = std::thread([this] { WorkerBody(); });
  } catch (const std::system_error&) {
    return false;
  }
  workerStarted_ = true;
  return true;
}

void ExtractionJob::StopWorker() {
  if (!workerStarted_) return;
  RequestCancel();
  if (workerThread_.joinable()) workerThread_.join();
}

void ExtractionJob::RequestCancel() {
  std::lock_guard<std::mutex> lock(jobMutex_);
  counters_.cancelRequested = true;
}

bool ExtractionJob::WorkerFinished() const {
  std::lock_guard<std::mutex> lock(jobMutex_);
  return workerFinished_;
}

JobCounters ExtractionJob::Snapshot() const {
  std::lock_guard<std::mutex> lock(jobMutex_);
  return counters_;
}

JobCounters ExtractionJob::TickProgress(bool* closeNow) {
  std::lock_guard<std::mutex> lock(jobMutex_);
  *closeNow = false;
  if (counters_.done && counters_.closeCountdown != 0) {
    --counters_.closeCountdown;
    *closeNow = counters_.closeCountdown == 0;
  }
  return counters_;
}

bool ExtractionJob::WaitForWorker(int milliseconds) {
  std::unique_lock<std::mutex> lock(jobMutex_);
  return workerEnded_.wait_for(lock, std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds),
                               [this] { return workerFinished_; });
}

void ExtractionJob::WorkerBody() {
  Run();
  {
    std::lock_guard<std::mutex> lock(jobMutex_);
    workerFinished_ = true;
  }
  workerEnded_.notify_all();
}

void ExtractionJob::Run() {
  std::vector<std::u16string> files;
  if (selection_) {
    for (const std::u16string& path : *selection_) CollectRawFiles(&files, path, rawSuffixes_);
  }
  {
    std::lock_guard<std::mutex> lock(jobMutex_);
    counters_.filesFound = files.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())
                               ? std::numeric_limits<int32_t>::max()
                               : static_cast<int32_t>(files.size());
  }
  const int64_t start = platform::CalendarSeconds();
  if (parallelFiles_ <= 1) {
    for (const std::u16string& path : files) {
      {
        std::lock_guard<std::mutex> lock(jobMutex_);
        if (counters_.cancelRequested) return;  // not done, no time recorded
      }
      ProcessOneFile(path);
    }
  } else {
    // Colliding files form one group, kept in list order; groups are
    // ordered by their first file.
    std::vector<std::vector<size_t>> groups;
    std::map<std::u16string, size_t> groupOfKey;
    for (size_t i = 0; i < files.size(); ++i) {
      const auto found = groupOfKey.emplace(CollisionKey(files[i]), groups.size());
      if (found.second) groups.emplace_back();
      groups[found.first->second].push_back(i);
    }
    if (!ProcessGroups(files, groups)) return;  // cancelled
  }
  std::lock_guard<std::mutex> lock(jobMutex_);
  counters_.done = true;
  counters_.closeCountdown = kCloseCountdownTicks;
  counters_.elapsedSeconds = static_cast<int32_t>(platform::CalendarSeconds() - start);
}

bool ExtractionJob::ProcessGroups(const std::vector<std::u16string>& files,
                                  const std::vector<std::vector<size_t>>& groups) {
  size_t nextGroup = 0;  // guarded by jobMutex_
  bool cancelled = false;
  auto work = [&] {
    for (;;) {
      size_t group;
      {
        std::lock_guard<std::mutex> lock(jobMutex_);
        // Cancelled means a file was left unstarted: a cancel that comes
        // while the last files are finishing still completes the run.
        if (cancelled || nextGroup == groups.size()) return;
        if (counters_.cancelRequested) {
          cancelled = true;
          return;
        }
        group = nextGroup++;
      }
      for (size_t i = 0; i < groups[group].size(); ++i) {
        if (i > 0) {
          std::lock_guard<std::mutex> lock(jobMutex_);
          if (counters_.cancelRequested) {
            cancelled = true;
            return;
          }
        }
        ProcessOneFile(files[groups[group][i]]);
      }
    }
  };
  // The calling thread is one of the workers; a helper that cannot be
  // started only means fewer files at once.
  std::vector<std::thread> helpers;
  const size_t wanted = std::min(groups.size(), static_cast<size_t>(parallelFiles_));
  for (size_t i = 1; i < wanted; ++i) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  std::lock_guard<std::mutex> lock(jobMutex_);
  return !cancelled;
}

void ExtractionJob::ProcessOneFile(const std::u16string& rawPath) {
  FileResult full, reduced;
  // A file that runs the process out of memory yields nothing; the worker
  // thread must not end by an exception, which would end the whole process.
  try {
    full = ProcessRawFile(rawPath, OutputFolderPattern(false),
                          OutputFileNamePattern(settings_, false), 0, 0, 0, 0);
    if (settings_.sizeMode != settings::NativeOnly && (full.written || full.alreadyPresent)) {
      int32_t width = 0, height = 0;
      MeasureJpeg(full.outputPath, &width, &height);
      int32_t targetWidth = width, targetHeight = height;
      if (width > settings_.maxWidth || height > settings_.maxHeight) {
        FitBounds(width, height, settings_.maxWidth, settings_.maxHeight, &targetWidth,
                  &targetHeight);
      }
      // The folder carries the configured bound, the name the size produced.
      reduced =
          ProcessRawFile(rawPath, OutputFolderPattern(true), OutputFileNamePattern(settings_, true),
                         settings_.maxWidth, settings_.maxHeight, targetWidth, targetHeight);
      // A preview that fits stays a byte-for-byte copy.
      if (reduced.written && (targetWidth != width || targetHeight != height)) {
        ReduceJpeg(reduced.outputPath, targetWidth, targetHeight);
      }
    }
  } catch (const std::exception&) {
  }
  std::lock_guard<std::mutex> lock(jobMutex_);
  ++counters_.filesDone;
  if (full.written || reduced.written) {
    ++counters_.newCount;
  } else if (full.alreadyPresent || reduced.alreadyPresent) {
    ++counters_.existingCount;
  }
}

void ExtractionJob::CollectRawFiles(std::vector<std::u16string>* list, const std::u16string& path,
                                    const std::vector<std::u16string>& suffixes,
                                    char16_t separator) {
  if (!platform::IsDirectory(path)) {
    if (HasRawSuffix(path, suffixes, separator)) list->push_back(path);
    return;
  }
  std::u16string folder = path;
  if (folder.back() != separator) folder += separator;
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(folder, &entries)) return;
  // Only the files directly inside: sub-folders (our own output folders
  // among them) are never entered, and FIFOs or devices are never opened.
  for (const platform::FolderEntry& entry : entries) {
    if (entry.isDirectory || entry.isSpecial) continue;
    if (HasRawSuffix(entry.name, suffixes, separator)) list->push_back(folder + entry.name);
  }
}

bool ExtractionJob::HasRawSuffix(const std::u16string& path,
                                 const std::vector<std::u16string>& suffixes, char16_t separator) {
  const size_t last = path.find_last_of(separator);
  std::u16string name = last == std::u16string::npos ? path : path.substr(last + 1);
  for (char16_t& c : name) c = AsciiLower(c);
  for (const std::u16string& suffix : suffixes) {
    if (suffix.size() > name.size()) continue;
    bool match = true;
    const size_t offset = name.size() - suffix.size();
    for (size_t i = 0; i < suffix.size() && match; ++i) {
      match = name[offset + i] == AsciiLower(suffix[i]);
    }
    if (match) return true;
  }
  return false;
}

FileResult ExtractionJob::ProcessRawFile(const std::u16string& rawPath,
                                         const std::u16string& folderPattern,
                                         const std::u16string& fileNamePattern, int32_t folderWidth,
                                         int32_t folderHeight, int32_t fileWidth,
                                         int32_t fileHeight) {
  FileResult result;
  std::u16string parent, baseName, extension, folder;
  if (!ParentFolderOf(rawPath, &parent)) return result;
  SplitFileName(rawPath, &baseName, &extension);
  const std::u16string folderName = ExpandFolderPattern(folderPattern, folderWidth, folderHeight);
  if (!EnsureOutputFolder(parent, folderName, &folder)) return result;
  SweepOutputFolderOnce(folder);
  const std::u16string fileName =
      ExpandFileNamePattern(fileNamePattern, baseName, extension, fileWidth, fileHeight);
  result.outputPath = OutputFilePath(folder, fileName);
  if (OutputFileExists(result.outputPath)) {
    // An empty file under an output's name holds no picture: it is what a
    // power cut soon after an unflushed write leaves, so it is written anew.
    if (!IsEmptyFile(result.outputPath) || !platform::RemoveFile(result.outputPath)) {
      result.alreadyPresent = true;
      return result;
    }
  }
  uint8_t* buffer = nullptr;
  uint32_t length = 0;
  if (!ExtractPreview(rawPath, &buffer, &length)) return result;
  const std::unique_ptr<uint8_t, FreeDeleter> owned(buffer);
  if (!buffer || length == 0) return result;  // an empty preview is none
  if (WriteJpegFile(result.outputPath, buffer, length, flushEachOutput_)) {
    result.written = true;
  } else if (OutputFileExists(result.outputPath)) {
    // Another run placed it between the test and the move: it is present,
    // and it was left as that run wrote it.
    result.alreadyPresent = true;
  }
  return result;
}

bool ExtractionJob::WriteJpegFile(const std::u16string& path, const uint8_t* bytes, size_t length,
                                  bool flush) {
  std::u16string folder;
  if (!ParentFolderOf(path, &folder)) return false;
  platform::NewFile file;
  std::u16string temporary;
  if (!platform::CreateUniqueFile(folder, kTemporaryPrefix, kTemporarySuffix, &file, &temporary)) {
    return false;
  }
  const bool complete = file.Write(bytes, length) && (!flush || file.Sync());
  const bool closed = file.Close();
  if (complete && closed && platform::RenameNoReplace(temporary, path)) return true;
  platform::RemoveFile(temporary);
  return false;
}

void ExtractionJob::SweepOutputFolderOnce(const std::u16string& folder) {
  {
    std::lock_guard<std::mutex> lock(jobMutex_);
    if (!sweptFolders_.insert(folder).second) return;
  }
  RemoveAbandonedTemporaries(folder, kAbandonedTemporaryAgeSeconds);
}

void ExtractionJob::RemoveAbandonedTemporaries(const std::u16string& folder,
                                               int64_t minimumAgeSeconds, char16_t separator) {
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(folder, &entries)) return;
  std::u16string base = folder;
  if (base.empty() || base.back() != separator) base += separator;
  for (const platform::FolderEntry& entry : entries) {
    if (entry.isDirectory || entry.isSpecial) continue;
    for (const TemporaryPattern& pattern : kTemporaryPatterns) {
      if (HasPrefixAndSuffix(entry.name, pattern.prefix, pattern.suffix)) {
        platform::RemoveAbandonedFile(base + entry.name, minimumAgeSeconds);
        break;
      }
    }
  }
}

bool ExtractionJob::ExtractPreview(const std::u16string& rawPath, uint8_t** buffer,
                                   uint32_t* length) {
  try {
    engine::ExtractOptions options;
    options.software = kSoftwareText;
    // Stored values other than complete read as compact.
    options.metadata = settings_.metadata == settings::MetadataComplete
                           ? engine::MetadataMode::kComplete
                           : engine::MetadataMode::kCompact;
    engine::ExtractedPreview preview = engine::ExtractEmbeddedPreview(rawPath, options);
    if (!preview.extracted() || preview.length > UINT32_MAX) return false;
    *length = static_cast<uint32_t>(preview.length);
    *buffer = preview.bytes.release();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void ExtractionJob::MeasureJpeg(const std::u16string& path, int32_t* width, int32_t* height) {
#ifdef RAWLIFT_HAVE_IMAGING
  const imaging::ImageSize size = imaging::MeasureJpegFile(path);
  *width = size.width;
  *height = size.height;
#else
  (void)path;
  *width = 0;
  *height = 0;
#endif
}

void ExtractionJob::FitBounds(int32_t width, int32_t height, int32_t maxWidth, int32_t maxHeight,
                              int32_t* targetWidth, int32_t* targetHeight) {
#ifdef RAWLIFT_HAVE_IMAGING
  const imaging::ImageSize size = imaging::FitWithinBounds(width, height, maxWidth, maxHeight);
  *targetWidth = size.width;
  *targetHeight = size.height;
#else
  (void)maxWidth;
  (void)maxHeight;
  *targetWidth = width;
  *targetHeight = height;
#endif
}

void ExtractionJob::ReduceJpeg(const std::u16string& path, int32_t width, int32_t height) {
#ifdef RAWLIFT_HAVE_IMAGING
  imaging::ReduceJpegFile(path, width, height);
#else
  (void)path;
  (void)width;
  (void)height;
#endif
}

}  // namespace job
