// The extraction job: turns a selection of files and folders into a list of
// RAW files and writes, beside each, its embedded full-size JPEG preview and,
// when the settings ask for it, a reduced copy.
//
// Each RAW file is opened and parsed at most once: the preview stays in
// memory, the reduced copy is made and measured from it there, and every
// output is written once, complete, under a temporary name that is then moved
// to the output's name without ever replacing a file. What happened to each
// file (outputs written or present, or the reason for each missing one) goes
// to an observer, in list order.
//
// The work runs on one worker thread (StartWorker / StopWorker), or on more
// with JobOptions::parallelFiles. The workers share a few counters and flags
// with whoever shows progress; all of them live under one mutex, which a
// worker takes only briefly between files and never while working on one. A
// UI copies them with Snapshot() (or TickProgress() on its timer) and formats
// the copy with BuildSummaryText. Cancelling takes effect between two files:
// the file being worked on is finished, reduced copy included, and nothing
// partial is left behind.
//
// The job has no user interface of its own, so a progress dialog (or the
// command line) can own or wrap it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/extract.h"
#include "job/outcome.h"
#include "job/summary.h"
#include "platform/path.h"
#include "settings/settings_store.h"

namespace job {

// Software text written into synthesized Exif headers.
constexpr char kSoftwareText[] = "Rawlift v1.00";

// Temporary names of outputs being written (prefix, 16 random hex digits,
// suffix): hidden on POSIX, and never a name the job itself would look for.
// `rawlift preview` names its temporaries alike.
constexpr char16_t kTemporaryPrefix[] = u".rlft-";
constexpr char16_t kTemporarySuffix[] = u".part";

// A temporary untouched for this long belongs to no live writer: one is
// written in well under a second, and the job's own are also locked while
// open. The margin covers a slow network share.
constexpr int64_t kAbandonedTemporaryAgeSeconds = 120;

// How many folder levels below a selected folder a recursive walk enters.
// Camera cards nest two or three levels and photo libraries a handful; the
// bound keeps a walk finite where a loop hides from the visited set (a file
// system that cannot tell folder identities) and paths within system limits.
constexpr int kMaxFolderDepth = 64;

// How a job runs; none of it is a stored setting.
struct JobOptions {
  // Files worked on at once (at least 1; 1 is the single worker the progress
  // dialog expects). Files whose outputs could share a name are still
  // handled one after the other in list order, so the outcome equals that
  // of a sequential run.
  int parallelFiles = 1;
  // Whether each output is flushed to the medium before it takes its name.
  // Either way a killed run leaves no partial file under an output's name;
  // the flush adds that a power cut cannot leave an empty one either, for
  // the price of waiting on the disk for every file.
  bool flushEachOutput = false;
  // Selected folders contribute the RAW files at any depth below them, not
  // only those directly inside (see CollectRawFiles).
  bool recursive = false;
  // Files written by a raw converter (DNGs converted on import) give their
  // JPEG preview too; otherwise they are refused as not camera raw.
  bool acceptConverted = false;
  // Every output in a FileOutcome carries its pixel size: outputs found
  // present are measured (a header read each), and so is the preview of a
  // run without reduced copies, which needs no size otherwise. For reports.
  bool reportSizes = false;
};

// What collecting the RAW files left out, for telling the user.
struct CollectionReport {
  // Sub-folders directly inside selected folders, not entered because the
  // run is not recursive (output folders and links to folders not counted).
  int32_t subfoldersNotSearched = 0;
  // Folders of a recursive run left out for lying below kMaxFolderDepth.
  int32_t foldersTooDeep = 0;
};

class ExtractionJob {
 public:
  // Called once per RAW file, in list order, from a worker thread, one call
  // at a time; a file not started because of a cancel is left out.
  using FileObserver = std::function<void(const FileOutcome&)>;

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

  // Set before StartWorker/Run.
  void SetOptions(const JobOptions& options);
  const JobOptions& options() const { return options_; }
  void SetFileObserver(FileObserver observer) { observer_ = std::move(observer); }

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
  // What collecting left out; complete once filesFound is no longer -1.
  CollectionReport collection() const;

  // The worker's body: collect, then process every file, checking the cancel
  // flag before each one. Callable directly for a run on the current thread.
  void Run();

  // Appends `path` when it is a file with a RAW suffix. For a folder:
  // the RAW files directly inside it (in the order the system lists them),
  // then, when `recursive`, those of each sub-folder in turn (in name order,
  // each with everything below it before the next), never entering the job's own output
  // folders, links to folders, a folder already entered in this walk, or
  // folders below kMaxFolderDepth. FIFOs and devices are never taken. Adds
  // what was left out to *report.
  static void CollectRawFiles(std::vector<std::u16string>* list, const std::u16string& path,
                              const std::vector<std::u16string>& suffixes, bool recursive,
                              CollectionReport* report,
                              char16_t separator = platform::kPathSeparator);
  // The file name ends with one of the suffixes, ASCII case ignored; no dot
  // is needed before it.
  static bool HasRawSuffix(const std::u16string& path, const std::vector<std::u16string>& suffixes,
                           char16_t separator = platform::kPathSeparator);

  // Every output of one RAW file: names them, leaves present ones alone,
  // and takes the preview from the engine once for those to write. Touches
  // no counter.
  FileOutcome ProcessFile(const std::u16string& rawPath);

  // Removes the temporaries that killed runs left in `folder`: those no
  // process holds open and that were last written at least
  // `minimumAgeSeconds` ago. Files of other names are never touched. The
  // job does this once per output folder and run, with
  // kAbandonedTemporaryAgeSeconds.
  static void RemoveAbandonedTemporaries(const std::u16string& folder, int64_t minimumAgeSeconds,
                                         char16_t separator = platform::kPathSeparator);

 protected:
  // The operations the job delegates; tests replace them.
  // The embedded preview of a RAW file, or the reason there is none.
  // Default: the engine's ExtractEmbeddedPreview.
  virtual engine::ExtractedPreview ExtractPreview(const std::u16string& rawPath,
                                                  const engine::ExtractOptions& options);
  // The preview rescaled to exactly width x height. Default: imaging's
  // ReduceJpeg.
  virtual bool ReducePreview(const uint8_t* jpeg, size_t length, int32_t width, int32_t height,
                             std::vector<uint8_t>* reduced);

 private:
  class FileWork;

  // ProcessFile, then the counters and the observer; `index` is the file's
  // place in the list.
  void ProcessOneFile(size_t index, const std::u16string& rawPath);
  // Hands the outcomes to the observer in list order, holding back those
  // that finish before an earlier one.
  void Deliver(size_t index, FileOutcome&& outcome);
  // Hands over whatever is held back, in order: at the end of a run, when a
  // cancel left earlier files unstarted.
  void DeliverHeldBack();
  void WorkerBody();
  // The folder made or found, and swept once per run.
  bool PrepareOutputFolder(const std::u16string& parent, const std::u16string& folderName,
                           std::u16string* folder);
  // RemoveAbandonedTemporaries, the first time a run writes into `folder`.
  void SweepOutputFolderOnce(const std::u16string& folder);
  // Processes the groups of files (indices into files) with
  // options_.parallelFiles threads, each taking the next group, checking the
  // cancel flag before each file. False when cancelled.
  bool ProcessGroups(const std::vector<std::u16string>& files,
                     const std::vector<std::vector<size_t>>& groups);

  const std::vector<std::u16string>* selection_ = nullptr;
  std::vector<std::u16string> rawSuffixes_;
  settings::ExtractionSettings settings_;
  JobOptions options_;
  engine::ExtractOptions extractOptions_;
  FileObserver observer_;

  std::thread workerThread_;
  bool workerStarted_ = false;  // touched only by the thread that starts/stops

  mutable std::mutex jobMutex_;  // guards everything below up to deliveryMutex_
  JobCounters counters_;
  CollectionReport collection_;
  bool workerFinished_ = false;
  std::condition_variable workerEnded_;
  std::set<std::u16string> sweptFolders_;

  std::mutex deliveryMutex_;  // guards the delivery state below
  std::map<size_t, FileOutcome> heldBack_;
  size_t nextDelivery_ = 0;
  bool delivering_ = false;  // a thread is calling the observer
};

}  // namespace job
