#include "job/extraction_job.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <limits>
#include <map>
#include <system_error>
#include <utility>

#include "imaging/imaging.h"
#include "job/naming.h"
#include "platform/file.h"
#include "platform/fs.h"

namespace job {

namespace {

// The suffixes of the RAW files a run collects: the original 17, then those
// of later cameras' containers (Canon CR3, Panasonic RW2 and Leica RWL, Nikon
// NRW, Samsung SRW, Sony SR2, Olympus ORI, Phase One IIQ).
const char16_t* const kRawSuffixes[] = {u"RAF", u"CRW", u"CR2", u"KDC", u"DCR", u"MRW", u"NEF",
                                        u"ORF", u"DNG", u"PTX", u"PEF", u"ARW", u"SRF", u"X3F",
                                        u"ERF", u"MOS", u"RAW", u"CR3", u"RW2", u"RWL", u"NRW",
                                        u"SRW", u"SR2", u"ORI", u"IIQ"};

// Temporaries written in an output folder, as prefix and suffix; what a
// killed run leaves of them is removed by a later run.
struct TemporaryPattern {
  const char16_t* prefix;
  const char16_t* suffix;
};
const TemporaryPattern kTemporaryPatterns[] = {
    {kTemporaryPrefix, kTemporarySuffix},  // outputs being written
    // Reduced copies rewritten in place by earlier versions (GDI+, libjpeg).
    {u".rlft-reduce-", u".tmp"},
    {u".rawlift-reduce-", u".tmp"},
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

// The output at `path` counts as present. An empty file under an output's
// name holds no picture: it is what a power cut soon after an unflushed write
// leaves, so it is removed and written anew.
bool OutputPresent(const std::u16string& path) {
  return OutputFileExists(path) && (!IsEmptyFile(path) || !platform::RemoveFile(path));
}

}  // namespace

// One RAW file's outputs, worked out in order: the full-size preview, then
// the reduced copy, whose size comes from the full-size output. The preview
// is taken from the engine at most once, and only when an output is missing.
class ExtractionJob::FileWork {
 public:
  FileWork(ExtractionJob* job, FileOutcome* outcome) : job_(*job), outcome_(*outcome) {}

  void Run() {
    const settings::ExtractionSettings& settings = job_.settings_;
    // Both entries exist from here on; pointers into the vector stay valid.
    outcome_.outputs.reserve(2);
    outcome_.outputs.emplace_back();
    OutputResult& full = outcome_.outputs.back();
    std::u16string parent, baseName, extension, folder;
    if (!ParentFolderOf(outcome_.rawPath, &parent)) {
      full.fault = OutputFault::kNoFolderInPath;
      return;
    }
    SplitFileName(outcome_.rawPath, &baseName, &extension);
    if (!job_.PrepareOutputFolder(parent, ExpandFolderPattern(OutputFolderPattern(false), 0, 0),
                                  &folder)) {
      full.fault = OutputFault::kCannotCreateFolder;
      return;
    }
    full.path = OutputFilePath(folder, ExpandFileNamePattern(OutputFileNamePattern(settings, false),
                                                             baseName, extension, 0, 0));
    if (OutputPresent(full.path)) {
      full.status = OutputStatus::kAlreadyPresent;
    } else {
      if (!TakePreview(&full)) return;
      Write(&full, preview_.bytes.get(), preview_.length, imaging::ImageSize{});
      if (full.status == OutputStatus::kNotWritten) return;
    }
    if (settings.sizeMode == settings::NativeOnly) {
      MeasureForReport(&full);
      return;
    }

    // The reduced copy is sized by the full-size output: the preview when
    // this run wrote it, else the file found under that name (whoever put
    // it there).
    const imaging::ImageSize measured =
        full.status == OutputStatus::kWritten ? PreviewSize() : imaging::MeasureJpegFile(full.path);
    full.width = measured.width;
    full.height = measured.height;
    imaging::ImageSize target = measured;
    if (measured.width > settings.maxWidth || measured.height > settings.maxHeight) {
      target = imaging::FitWithinBounds(measured.width, measured.height, settings.maxWidth,
                                        settings.maxHeight);
    }
    outcome_.outputs.emplace_back();
    OutputResult& reduced = outcome_.outputs.back();
    reduced.reduced = true;
    // The folder carries the configured bound, the name the size produced.
    if (!job_.PrepareOutputFolder(
            parent,
            ExpandFolderPattern(OutputFolderPattern(true), settings.maxWidth, settings.maxHeight),
            &folder)) {
      reduced.fault = OutputFault::kCannotCreateFolder;
      return;
    }
    reduced.path = OutputFilePath(
        folder, ExpandFileNamePattern(OutputFileNamePattern(settings, true), baseName, extension,
                                      target.width, target.height));
    if (OutputPresent(reduced.path)) {
      reduced.status = OutputStatus::kAlreadyPresent;
      MeasureForReport(&reduced);
      return;
    }
    if (!TakePreview(&reduced)) return;
    // A preview of the bounded size already stays a byte-for-byte copy; so
    // does one whose bounded size has no area, which no picture can have
    // (a strip, a bound of 0, a preview that cannot be measured: width 0).
    if (target == PreviewSize() || target.width <= 0 || target.height <= 0) {
      Write(&reduced, preview_.bytes.get(), preview_.length, PreviewSize());
      return;
    }
    std::vector<uint8_t> bytes;
    if (!job_.ReducePreview(preview_.bytes.get(), preview_.length, target.width, target.height,
                            &bytes)) {
      // Nothing goes under the reduced name, least of all full-size bytes.
      reduced.fault = OutputFault::kCannotReduce;
      return;
    }
    Write(&reduced, bytes.data(), bytes.size(), target);
  }

 private:
  // The engine's preview, asked for once; false (and the output's fault
  // set) when there is none.
  bool TakePreview(OutputResult* output) {
    if (!previewTaken_) {
      previewTaken_ = true;
      preview_ = job_.ExtractPreview(outcome_.rawPath, job_.extractOptions_);
      // An empty preview is none.
      if (preview_.reason == engine::NoPreviewReason::kNone &&
          (!preview_.bytes || preview_.length == 0)) {
        preview_.reason = engine::NoPreviewReason::kNoPreview;
      }
    }
    if (preview_.extracted()) return true;
    output->fault = OutputFault::kNoPreview;
    outcome_.previewReason = preview_.reason;
    return false;
  }

  // The preview's own size, from its headers as the decoder reads them:
  // the same that measuring the written file gives.
  imaging::ImageSize PreviewSize() {
    if (!previewMeasured_) {
      previewMeasured_ = true;
      previewSize_ = imaging::MeasureJpeg(preview_.bytes.get(), preview_.length);
    }
    return previewSize_;
  }

  void Write(OutputResult* output, const uint8_t* bytes, size_t length, imaging::ImageSize size) {
    if (platform::WriteNewFile(output->path, bytes, length, kTemporaryPrefix, kTemporarySuffix,
                               job_.options_.flushEachOutput)) {
      output->status = OutputStatus::kWritten;
      output->width = size.width;
      output->height = size.height;
    } else if (OutputFileExists(output->path)) {
      // Another run placed it between the test and the move: it is present,
      // and it was left as that run wrote it.
      output->status = OutputStatus::kAlreadyPresent;
    } else {
      output->fault = OutputFault::kCannotWrite;
    }
  }

  // The size of an output that nothing else needed measured.
  void MeasureForReport(OutputResult* output) {
    if (!job_.options_.reportSizes) return;
    const imaging::ImageSize size = output->status == OutputStatus::kWritten
                                        ? PreviewSize()
                                        : imaging::MeasureJpegFile(output->path);
    output->width = size.width;
    output->height = size.height;
  }

  ExtractionJob& job_;
  FileOutcome& outcome_;
  bool previewTaken_ = false;
  engine::ExtractedPreview preview_;
  bool previewMeasured_ = false;
  imaging::ImageSize previewSize_;
};

ExtractionJob::ExtractionJob(const settings::SettingsStore& store) {
  settings::ReadExtractionSettings(store, &settings_);
  SetOptions(JobOptions());
}

ExtractionJob::ExtractionJob(const settings::ExtractionSettings& settings) : settings_(settings) {
  SetOptions(JobOptions());
}

void ExtractionJob::SetOptions(const JobOptions& options) {
  options_ = options;
  if (options_.parallelFiles < 1) options_.parallelFiles = 1;
  extractOptions_.software = kSoftwareText;
  // A stored setting, as the sizes are; values other than complete read as
  // compact.
  extractOptions_.metadata = settings_.metadata == settings::MetadataComplete
                                 ? engine::MetadataMode::kComplete
                                 : engine::MetadataMode::kCompact;
  extractOptions_.use.accept_converted = options_.acceptConverted;
}

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

CollectionReport ExtractionJob::collection() const {
  std::lock_guard<std::mutex> lock(jobMutex_);
  return collection_;
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
  CollectionReport report;
  if (selection_) {
    for (const std::u16string& path : *selection_) {
      CollectRawFiles(&files, path, rawSuffixes_, options_.recursive, &report);
    }
  }
  {
    std::lock_guard<std::mutex> lock(jobMutex_);
    collection_ = report;
    counters_.filesFound = files.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())
                               ? std::numeric_limits<int32_t>::max()
                               : static_cast<int32_t>(files.size());
  }
  const int64_t start = platform::CalendarSeconds();
  bool completed = true;
  if (options_.parallelFiles <= 1) {
    for (size_t i = 0; i < files.size() && completed; ++i) {
      {
        std::lock_guard<std::mutex> lock(jobMutex_);
        completed = !counters_.cancelRequested;
      }
      if (completed) ProcessOneFile(i, files[i]);
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
    completed = ProcessGroups(files, groups);
  }
  // After a cancel, files left unstarted leave gaps in the list: what
  // finished after a gap has been held back until now.
  DeliverHeldBack();
  if (!completed) return;  // not done, no time recorded
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
        const size_t index = groups[group][i];
        ProcessOneFile(index, files[index]);
      }
    }
  };
  // The calling thread is one of the workers; a helper that cannot be
  // started only means fewer files at once.
  std::vector<std::thread> helpers;
  const size_t wanted = std::min(groups.size(), static_cast<size_t>(options_.parallelFiles));
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

FileOutcome ExtractionJob::ProcessFile(const std::u16string& rawPath) {
  FileOutcome outcome;
  outcome.rawPath = rawPath;
  // A file that runs the process out of memory yields nothing more; the
  // worker thread must not end by an exception, which would end the whole
  // process.
  try {
    FileWork(this, &outcome).Run();
  } catch (const std::exception&) {
    for (OutputResult& output : outcome.outputs) {
      if (output.status == OutputStatus::kNotWritten && output.fault == OutputFault::kNone) {
        output.fault = OutputFault::kOutOfMemory;
      }
    }
  }
  return outcome;
}

void ExtractionJob::ProcessOneFile(size_t index, const std::u16string& rawPath) {
  FileOutcome outcome = ProcessFile(rawPath);
  {
    std::lock_guard<std::mutex> lock(jobMutex_);
    ++counters_.filesDone;
    switch (outcome.status()) {
      case FileStatus::kWritten:
        ++counters_.newCount;
        break;
      case FileStatus::kAlreadyPresent:
        ++counters_.existingCount;
        break;
      case FileStatus::kNothing:
        break;
    }
  }
  if (observer_) Deliver(index, std::move(outcome));
}

void ExtractionJob::Deliver(size_t index, FileOutcome&& outcome) {
  std::unique_lock<std::mutex> lock(deliveryMutex_);
  try {
    heldBack_.emplace(index, std::move(outcome));
  } catch (const std::exception&) {
    return;  // out of memory: the report of this file is lost, not the run
  }
  // One thread at a time calls the observer; it also takes what others
  // finish meanwhile, in order.
  if (delivering_) return;
  delivering_ = true;
  for (auto next = heldBack_.find(nextDelivery_); next != heldBack_.end();
       next = heldBack_.find(nextDelivery_)) {
    const FileOutcome ready = std::move(next->second);
    heldBack_.erase(next);
    ++nextDelivery_;
    lock.unlock();
    try {
      observer_(ready);
    } catch (const std::exception&) {
    }
    lock.lock();
  }
  delivering_ = false;
}

void ExtractionJob::DeliverHeldBack() {
  if (!observer_) return;
  // Every worker has ended: nobody else delivers now.
  std::lock_guard<std::mutex> lock(deliveryMutex_);
  for (auto& held : heldBack_) {
    try {
      observer_(held.second);
    } catch (const std::exception&) {
    }
  }
  heldBack_.clear();
}

void ExtractionJob::CollectRawFiles(std::vector<std::u16string>* list, const std::u16string& path,
                                    const std::vector<std::u16string>& suffixes, bool recursive,
                                    CollectionReport* report, char16_t separator) {
  if (!platform::IsDirectory(path)) {
    if (HasRawSuffix(path, suffixes, separator)) list->push_back(path);
    return;
  }
  struct Pending {
    std::u16string folder;
    int depth;
  };
  std::vector<Pending> stack = {{path, 0}};
  std::set<platform::FolderIdentity> visited;
  while (!stack.empty()) {
    const Pending current = std::move(stack.back());
    stack.pop_back();
    std::u16string folder = current.folder;
    if (folder.back() != separator) folder += separator;
    platform::FolderIdentity identity;
    // A folder reached a second time (a bind mount of a folder above it) is
    // not walked again. One whose identity cannot be told is walked; the
    // depth bound still ends the walk.
    if (recursive && platform::GetFolderIdentity(folder, &identity) &&
        !visited.insert(identity).second) {
      continue;
    }
    std::vector<platform::FolderEntry> entries;
    if (!platform::ListFolder(folder, &entries)) continue;
    std::vector<std::u16string> subfolders;
    for (const platform::FolderEntry& entry : entries) {
      if (entry.isDirectory) {
        // Our own outputs are never inputs; a link can lead back up the tree.
        if (entry.isLink || IsOutputFolderName(entry.name)) continue;
        if (!recursive) {
          ++report->subfoldersNotSearched;
        } else if (current.depth >= kMaxFolderDepth) {
          ++report->foldersTooDeep;
        } else {
          subfolders.push_back(folder + entry.name);
        }
        continue;
      }
      // FIFOs and devices are never opened: that can block or read forever.
      if (entry.isSpecial) continue;
      if (HasRawSuffix(entry.name, suffixes, separator)) list->push_back(folder + entry.name);
    }
    // Sub-folders in name order (DCIM/100CANON before 101CANON, whatever
    // order the system lists them in). Pushed in reverse, they come off the
    // stack in that order, each with everything below it before the next.
    std::sort(subfolders.begin(), subfolders.end());
    for (auto sub = subfolders.rbegin(); sub != subfolders.rend(); ++sub) {
      stack.push_back({std::move(*sub), current.depth + 1});
    }
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

bool ExtractionJob::PrepareOutputFolder(const std::u16string& parent,
                                        const std::u16string& folderName, std::u16string* folder) {
  if (!EnsureOutputFolder(parent, folderName, folder)) return false;
  SweepOutputFolderOnce(*folder);
  return true;
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

engine::ExtractedPreview ExtractionJob::ExtractPreview(const std::u16string& rawPath,
                                                       const engine::ExtractOptions& options) {
  try {
    return engine::ExtractEmbeddedPreview(rawPath, options);
  } catch (const std::exception&) {
    engine::ExtractedPreview none;
    none.reason = engine::NoPreviewReason::kOutOfMemory;
    return none;
  }
}

bool ExtractionJob::ReducePreview(const uint8_t* jpeg, size_t length, int32_t width, int32_t height,
                                  std::vector<uint8_t>* reduced) {
  return imaging::ReduceJpeg(jpeg, length, width, height, reduced);
}

}  // namespace job
