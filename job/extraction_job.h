// The extraction job: turns a selection of files and folders into a list of
// RAW files and writes, beside each, its embedded full-size JPEG preview and,
// when the settings ask for it, a reduced copy.
//
// The work runs on one worker thread (StartWorker / StopWorker). The worker
// shares a few counters and flags with whoever shows progress; all of them
// live under one mutex, which the worker takes only briefly between files and
// never while working on one. A UI copies them with Snapshot() (or
// TickProgress() on its timer) and formats the copy with BuildSummaryText.
// Cancelling takes effect between two files: the file being worked on is
// finished, reduced copy included, and nothing partial is left behind.
//
// The job has no user interface of its own, so a progress dialog (or the
// command line) can own or wrap it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "job/summary.h"
#include "platform/path.h"
#include "settings/settings_store.h"

namespace job {

// Software text written into synthesized Exif headers.
constexpr char kSoftwareText[] = "Rawlift v1.00";

// A temporary untouched for this long belongs to no live writer: one is
// written in well under a second, and the job's own are also locked while
// open. The margin covers a slow network share.
constexpr int64_t kAbandonedTemporaryAgeSeconds = 120;

// Outcome of one output of one RAW file. At most one flag is set; neither
// when the file yielded nothing. outputPath is set once it could be computed.
struct FileResult {
  bool written = false;         // this call created the output file
  bool alreadyPresent = false;  // the output existed before
  std::u16string outputPath;
};

class ExtractionJob {
 public:
  // The job's own copy of the settings, taken from the store now: later
  // changes of the store do not reach a running job.
  explicit ExtractionJob(const settings::SettingsStore& store);
  explicit ExtractionJob(const settings::ExtractionSettings& settings);
  // Stops the worker if it still runs (waiting for its current file). A
  // class that overrides the operations below must call StopWorker() in its
  // own destructor, before its part of the object is gone.
  virtual ~ExtractionJob();

  ExtractionJob(const ExtractionJob&) = delete;
  ExtractionJob& operator=(const ExtractionJob&) = delete;

  // The selected paths, in the order given; not owned, and must stay
  // unchanged while the worker runs.
  void SetSelection(const std::vector<std::u16string>* selection) { selection_ = selection; }
  // Appends the 25 RAW suffixes (RAF CRW CR2 KDC DCR MRW NEF ORF DNG PTX PEF
  // ARW SRF X3F ERF MOS RAW CR3 RW2 RWL NRW SRW SR2 ORI IIQ) in that order.
  void FillRawSuffixes();
  const std::vector<std::u16string>& rawSuffixes() const { return rawSuffixes_; }
  const settings::ExtractionSettings& settings() const { return settings_; }

  // How many files are worked on at once (at least 1; the default, 1, is the
  // single worker the progress dialog expects). Set before StartWorker/Run.
  // Files whose outputs could share a name are still handled one after the
  // other in list order, so the outcome equals that of a sequential run.
  void SetParallelFiles(int count) { parallelFiles_ = count < 1 ? 1 : count; }
  int parallelFiles() const { return parallelFiles_; }

  // Whether each output is flushed to the medium before it takes its name
  // (default: no). Either way a killed run leaves no partial file under an
  // output's name, since outputs are written under a temporary name first;
  // the flush adds that a power cut cannot leave an empty one either, for
  // the price of waiting on the disk for every file.
  void SetFlushEachOutput(bool flush) { flushEachOutput_ = flush; }
  bool flushEachOutput() const { return flushEachOutput_; }

  // Resets the counters (filesFound -1, the rest 0, flags false) and starts
  // the worker running Run(). False when the thread could not be started;
  // then nothing runs. Call once per job.
  bool StartWorker();
  // Sets cancelRequested and waits, without a time limit, until the worker
  // has ended. Does nothing when no worker was started; safe to repeat.
  void StopWorker();
  // Sets cancelRequested without waiting (a Ctrl-C handler's side).
  void RequestCancel();
  bool workerStarted() const { return workerStarted_; }
  // True once Run() has returned, whether it completed or was cancelled.
  bool WorkerFinished() const;
  // Waits until Run() has returned on the worker, or at most `milliseconds`;
  // true when it has returned.
  bool WaitForWorker(int milliseconds);

  // A copy of the shared counters, taken under the mutex.
  JobCounters Snapshot() const;
  // One tick of a progress display: the copy as Snapshot() gives it, and
  // when the run is done the close countdown is decreased by one (it starts
  // at kCloseCountdownTicks). *closeNow becomes true on the tick where it
  // reaches 0.
  JobCounters TickProgress(bool* closeNow);

  // The worker's body: collect, then process every file, checking the cancel
  // flag before each one. Callable directly for a run on the current thread.
  void Run();

  // Appends `path` when it is a file with a RAW suffix, or the RAW files
  // directly inside it when it is a folder (sub-folders are not entered).
  static void CollectRawFiles(std::vector<std::u16string>* list, const std::u16string& path,
                              const std::vector<std::u16string>& suffixes,
                              char16_t separator = platform::kPathSeparator);
  // The file name ends with one of the suffixes, ASCII case ignored; no dot
  // is needed before it.
  static bool HasRawSuffix(const std::u16string& path, const std::vector<std::u16string>& suffixes,
                           char16_t separator = platform::kPathSeparator);

  // One output of one RAW file: computes folder and name, skips when the
  // output is present, otherwise extracts the preview and writes it.
  FileResult ProcessRawFile(const std::u16string& rawPath, const std::u16string& folderPattern,
                            const std::u16string& fileNamePattern, int32_t folderWidth,
                            int32_t folderHeight, int32_t fileWidth, int32_t fileHeight);

  // Writes the bytes into a new temporary file in the output's folder and
  // moves it to `path` only if nothing is there: an existing file is never
  // replaced, and a failed or interrupted write leaves no file under `path`.
  // With `flush`, the bytes are on the medium before the move. False (and
  // the temporary file removed) on any failure.
  static bool WriteJpegFile(const std::u16string& path, const uint8_t* bytes, size_t length,
                            bool flush = false);

  // Removes the temporaries that killed runs left in `folder`: those no
  // process holds open and that were last written at least
  // `minimumAgeSeconds` ago. Files of other names are never touched. The
  // job does this once per output folder and run, with
  // kAbandonedTemporaryAgeSeconds.
  static void RemoveAbandonedTemporaries(const std::u16string& folder, int64_t minimumAgeSeconds,
                                         char16_t separator = platform::kPathSeparator);

 protected:
  // The operations the job delegates; tests replace them.
  // The embedded preview of a RAW file in *buffer (malloc'd; the job frees
  // it) and *length. Default: the engine's ExtractEmbeddedPreview.
  virtual bool ExtractPreview(const std::u16string& rawPath, uint8_t** buffer, uint32_t* length);
  // Size of a JPEG file; 0 x 0 when it cannot be decoded.
  virtual void MeasureJpeg(const std::u16string& path, int32_t* width, int32_t* height);
  // The bounded size for width x height (called only when one exceeds).
  virtual void FitBounds(int32_t width, int32_t height, int32_t maxWidth, int32_t maxHeight,
                         int32_t* targetWidth, int32_t* targetHeight);
  // Rewrites the file as the image rescaled to the target size.
  virtual void ReduceJpeg(const std::u16string& path, int32_t width, int32_t height);

 private:
  // Both steps for one RAW file; adds to the counters afterwards.
  void ProcessOneFile(const std::u16string& rawPath);
  void WorkerBody();
  // RemoveAbandonedTemporaries, the first time a run writes into `folder`.
  void SweepOutputFolderOnce(const std::u16string& folder);
  // Processes the groups of files (indices into files) with parallelFiles_
  // threads, each taking the next group, checking the cancel flag before
  // each file. False when cancelled.
  bool ProcessGroups(const std::vector<std::u16string>& files,
                     const std::vector<std::vector<size_t>>& groups);

  const std::vector<std::u16string>* selection_ = nullptr;
  std::vector<std::u16string> rawSuffixes_;
  settings::ExtractionSettings settings_;
  int parallelFiles_ = 1;
  bool flushEachOutput_ = false;

  std::thread workerThread_;
  bool workerStarted_ = false;  // touched only by the thread that starts/stops

  mutable std::mutex jobMutex_;  // guards everything below
  JobCounters counters_;
  bool workerFinished_ = false;
  std::condition_variable workerEnded_;
  std::set<std::u16string> sweptFolders_;
};

}  // namespace job
