#include "cli/extract_command.h"

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "cli/extract_reports.h"
#include "cli/files.h"
#include "cli/formats_help.h"
#include "cli/identify_command.h"
#include "cli/options.h"
#include "cli/settings_command.h"
#include "job/extraction_job.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/graphics_session.h"
#include "platform/memory.h"
#include "platform/path.h"

namespace cli {

namespace {

const char kExtractHelp[] =
    "Usage: rawlift extract [OPTIONS] PATH...\n"
    "\n"
    "Writes the embedded full-size JPEG of every RAW file given, and of the RAW\n"
    "files directly inside every folder given (with --recursive, at any depth),\n"
    "into the folder extracted_jpegs beside the RAW file. Existing outputs are\n"
    "never replaced, so a second run writes nothing. The options change this run\n"
    "only, unless --save stores them; without options the stored settings apply\n"
    "(see rawlift settings). --max-width and --max-height imply --smaller.\n"
    "\n"
    "An output is named after the RAW file's name up to its first dot (leading\n"
    "dots stay: .first.NEF gives .first_RLFT.jpg). Where RAW files of one folder\n"
    "share that stem, the one whose remaining name sorts first keeps it and each\n"
    "other one adds its remaining name with dots as underscores: IMG_0001.CR3\n"
    "and IMG_0001.CRW give IMG_0001_RLFT.jpg and IMG_0001_CRW_RLFT.jpg.\n"
    "\n";

const char kJobsHelp[] =
    "  -j, --jobs N      work on N files at once (default: the number of cores);\n"
    "                    the outputs and counts are those of a run with -j 1\n"
    "  --sync            put each output on the disk before it takes its name, so\n"
    "                    that not even a power cut can leave an empty one (slower)\n"
    "  -r, --recursive   enter the sub-folders of every folder given, at any depth\n"
    "                    (never extracted_jpegs* folders or links to folders)\n"
    "  --converted       take files written by a raw converter too (DNGs converted\n"
    "                    on import), which are refused otherwise; this run only\n"
    "  -v, --verbose     one line per RAW file before the summary: the outputs\n"
    "                    written or already present, with their pixel size, or\n"
    "                    why nothing was written\n"
    "  --json            standard output is JSON only, one object per line: one\n"
    "                    per RAW file (path, outcome: written, present or none,\n"
    "                    reason, outputs), then one with the counts\n"
    "  -o, --output DIR  write the outputs under DIR instead of beside the RAW\n"
    "                    files: the same folders (extracted_jpegs...) and the\n"
    "                    layout below each PATH, rooted at DIR (for a card that\n"
    "                    cannot be written); created as needed\n"
    "  --progress        for a progress window (zenity --progress): standard\n"
    "                    output is, for each RAW file as it finishes, a line\n"
    "                    \"# NAME: OUTCOME (N of TOTAL)\" and a line with the\n"
    "                    percentage done; \"100\" only once the run has ended;\n"
    "                    the summary goes to standard error\n";

// The reports one line per file that exclude each other, in the order the
// messages name them.
const char* const kReportOptions[] = {"verbose", "json", "progress"};

// Upper bound of --jobs: beyond this more threads only contend for the disk.
constexpr int kMaxParallelFiles = 64;

// The extraction flags of `rawlift settings` plus the ones for one run only.
const std::vector<OptionSpec>& ExtractSpecs() {
  static const std::vector<OptionSpec> kSpecs = [] {
    std::vector<OptionSpec> known_options = ExtractionFlagSpecs();
    known_options.push_back({"jobs", 'j', true});
    known_options.push_back({"sync", 0, false});
    known_options.push_back({"recursive", 'r', false});
    known_options.push_back({"converted", 0, false});
    known_options.push_back({"verbose", 'v', false});
    known_options.push_back({"json", 0, false});
    known_options.push_back({"progress", 0, false});
    known_options.push_back({"output", 'o', true});
    return known_options;
  }();
  return kSpecs;
}

int DefaultParallelFiles() {
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores == 0) return 1;  // unknown
  return cores > static_cast<unsigned>(kMaxParallelFiles) ? kMaxParallelFiles
                                                          : static_cast<int>(cores);
}

// --jobs N: a whole number from 1 to kMaxParallelFiles.
bool ParseJobs(const ParsedOptions& options, int* jobs, std::string* error) {
  *jobs = DefaultParallelFiles();
  if (!options.Has("jobs")) return true;
  const std::string text = options.Value("jobs");
  long long value = 0;
  bool valid = !text.empty() && text.size() <= 3;
  for (const char c : text) {
    valid = valid && c >= '0' && c <= '9';
    if (valid) value = value * 10 + (c - '0');
  }
  if (!valid || value < 1 || value > kMaxParallelFiles) {
    *error = "--jobs needs a whole number from 1 to " + std::to_string(kMaxParallelFiles) +
             ", not '" + text + "'";
    return false;
  }
  *jobs = static_cast<int>(value);
  return true;
}

const char kExtractExitHelp[] =
    "\n"
    "Progress goes to standard error when it is a terminal, the summary to\n"
    "standard output (with --progress: to standard error); then, on standard\n"
    "error, how many sub-folders were not searched. Ctrl-C stops after the\n"
    "files being worked on; nothing partial is left behind.\n"
    "\n"
    "Exit status: 0 when every RAW file was handled (its outputs written or\n"
    "already present, or it holds no preview); 1 when an output could not be\n"
    "written (no output folder, a write failure, a full disk, out of memory),\n"
    "a RAW file could not be read, a PATH did not exist or is no file or folder,\n"
    "or --save could not store the settings, with one line per kind of fault\n"
    "on standard error after the summary; 2 on a usage error; 130 when\n"
    "interrupted.\n";

// The whole help text: what the command does, what it reads, its options.
std::string ExtractHelp() {
  return std::string(kExtractHelp) + kFormatsHelp + "\nOptions:\n" + kExtractionFlagsHelp +
         kJobsHelp + kExtractExitHelp;
}

std::u16string OperandPath(const std::string& operand) {
  // A POSIX operand's bytes are the name even when they are not UTF-8.
  std::u16string path = ArgumentPath(operand);
#ifdef _WIN32
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
#endif
  // The job places outputs beside the RAW file's folder: a bare name has to
  // become a path with a folder first.
  return platform::AbsolutePath(path);
}

// How often the interrupt flag is looked at (a signal handler can only set
// a flag): soon enough that Ctrl-C stops even a fast run between files.
constexpr int kInterruptCheckMilliseconds = 10;
// After Ctrl-C, how long the files being worked on may take before the user
// is told that a second Ctrl-C ends the run at once: far longer than any
// file takes on a disk that answers.
constexpr int64_t kStuckNoticeMilliseconds = 5000;

std::string Utf8(const std::u16string& text) {
  return platform::Utf16ToUtf8(text);
}

// What one `rawlift extract` is asked to do, from its options.
struct ExtractRequest {
  settings::ExtractionSettings record;  // the stored settings with the flags applied
  bool save = false;
  job::JobOptions jobOptions;
  ReportMode mode = ReportMode::kSummary;
  std::vector<std::string> operands;
};

// --verbose, --json or --progress (which exclude each other); false with
// *error when two are given.
bool ParseReportMode(const ParsedOptions& options, ReportMode* mode, std::string* error) {
  const ReportMode modes[] = {ReportMode::kVerbose, ReportMode::kJson, ReportMode::kProgress};
  const char* given = nullptr;
  for (size_t i = 0; i < std::size(kReportOptions); ++i) {
    if (!options.Has(kReportOptions[i])) continue;
    if (given != nullptr) {
      *error = std::string("--") + given + " and --" + kReportOptions[i] + " cannot be combined";
      return false;
    }
    given = kReportOptions[i];
    *mode = modes[i];
  }
  return true;
}

// The bounds given as options bring reduced copies with them; with
// --native-only they would do nothing.
bool ApplyBoundsImplySmaller(const ParsedOptions& options, settings::ExtractionSettings* record,
                             std::string* error) {
  const bool bound = options.Has("max-width") || options.Has("max-height");
  if (!bound) return true;
  if (options.Has("native-only")) {
    *error = "--max-width and --max-height have no effect with --native-only";
    return false;
  }
  record->sizeMode = settings::NativeAndSmaller;
  return true;
}

// The request from the options over the stored settings; false with *error
// on a usage error.
bool ParseRequest(const ParsedOptions& options, const settings::SettingsStore& store,
                  ExtractRequest* request, std::string* error) {
  settings::ReadExtractionSettings(store, &request->record);
  bool changed = false;
  int parallelFiles = 1;
  if (!ApplyExtractionFlags(options, &request->record, &changed, error) ||
      !ApplyBoundsImplySmaller(options, &request->record, error) ||
      !ParseJobs(options, &parallelFiles, error) ||
      !ParseReportMode(options, &request->mode, error)) {
    return false;
  }
  if (options.Has("output") && options.Value("output").empty()) {
    *error = "--output needs a folder";
    return false;
  }
  request->save = options.Has("save");
  request->operands = options.operands;
  job::JobOptions& job = request->jobOptions;
  job.parallelFiles = parallelFiles;
  job.flushEachOutput = options.Has("sync");
  job.recursive = options.Has("recursive");
  job.acceptConverted = options.Has("converted");
  job.reportSizes = request->mode == ReportMode::kVerbose || request->mode == ReportMode::kJson;
  if (options.Has("output")) job.outputRoot = OperandPath(options.Value("output"));
  return true;
}

// The selection: every operand, made absolute. A name that leads nowhere or
// to a FIFO, socket or device is told on standard error; the latter is left
// out without being opened. A file that exists but cannot be read stays in
// and is reported as the job finds it ("cannot be opened"), as it would be
// inside a folder. False when any operand was told. A name that leads
// nowhere stays in the selection, counted as a file scanned, and is not
// told again as a file that cannot be read.
bool SelectOperands(const std::vector<std::string>& operands, FILE* err,
                    std::vector<std::u16string>* selection, FaultTally* faults) {
  bool all = true;
  for (const std::string& operand : operands) {
    const std::u16string path = OperandPath(operand);
    const platform::PathKind kind = platform::KindOfPath(path);
    if (kind == platform::PathKind::kNothing || kind == platform::PathKind::kOther) {
      std::fprintf(
          err, "rawlift extract: '%s': %s\n", DisplayArgument(operand).c_str(),
          kind == platform::PathKind::kNothing ? "no such file or folder" : "not a regular file");
      all = false;
      if (kind == platform::PathKind::kOther) continue;
      faults->Exclude(path);
    }
    selection->push_back(path);
  }
  return all;
}

// The outcomes the workers hand over, for this thread to report.
class OutcomeQueue {
 public:
  void Push(const job::FileOutcome& outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.push_back(outcome);
  }
  std::vector<job::FileOutcome> Take() {
    std::vector<job::FileOutcome> taken;
    std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(ready_);
    return taken;
  }

 private:
  std::mutex mutex_;
  std::vector<job::FileOutcome> ready_;
};

// Hands what finished to the reporter and the fault tally.
void ReportFinished(OutcomeQueue* queue, const job::ExtractionJob& extraction, Reporter* reporter,
                    RunTotals* totals, int32_t* reported) {
  const std::vector<job::FileOutcome> outcomes = queue->Take();
  if (outcomes.empty()) return;
  // Collecting is over before the first outcome, so the total is final.
  const int32_t total = extraction.Snapshot().filesFound;
  for (const job::FileOutcome& outcome : outcomes) {
    totals->faults.Add(outcome);
    reporter->FileDone(outcome, ++*reported, total);
  }
}

// Runs the job to its end (or to a Ctrl-C), reporting as files finish.
// False when the worker could not be started.
bool RunJob(job::ExtractionJob* extraction, Reporter* reporter, const ExtractEnvironment& env,
            RunTotals* totals) {
  // The workers hand over each outcome; this thread reports them, so they
  // never cut into the progress bar. Declared before the job's run, which
  // must not outlive it.
  OutcomeQueue queue;
  extraction->SetFileObserver([&queue](const job::FileOutcome& outcome) { queue.Push(outcome); });
  reporter->Start();
  int64_t cancelledMs = -1;  // when Ctrl-C was seen
  bool toldStuck = false;
  const auto lookAtInterrupt = [&] {
    if (cancelledMs < 0 && env.interrupted && env.interrupted->load()) {
      extraction->RequestCancel();
      cancelledMs = platform::MonotonicMilliseconds();
      reporter->Interrupted();
    } else if (cancelledMs >= 0 && !toldStuck &&
               platform::MonotonicMilliseconds() - cancelledMs > kStuckNoticeMilliseconds) {
      // A read the file system does not answer (a network share gone).
      toldStuck = true;
      std::fputs(
          "rawlift extract: still waiting for a file to be read; Ctrl-C again stops at once\n",
          env.err);
    }
  };
  // Interrupted while setting up: no file is started.
  lookAtInterrupt();
  if (!extraction->StartWorker()) return false;
  int32_t reported = 0;
  for (;;) {
    lookAtInterrupt();
    ReportFinished(&queue, *extraction, reporter, totals, &reported);
    reporter->Tick(extraction->Snapshot(), platform::MonotonicMilliseconds());
    // Wakes as soon as the run ends, so a short run takes no longer than its
    // work; the interrupt flag is looked at again after each period.
    if (extraction->WaitForWorker(kInterruptCheckMilliseconds)) break;
  }
  extraction->StopWorker();
  ReportFinished(&queue, *extraction, reporter, totals, &reported);
  totals->counters = extraction->Snapshot();
  totals->collection = extraction->collection();
  return true;
}

// The exit status from what happened.
int ExitStatus(const RunTotals& totals, bool problems) {
  if (!totals.counters.done) return kExtractInterrupted;
  return problems || totals.faults.Any() ? kExtractCompletedWithProblems : kExtractCompleted;
}

// --save: stores the settings; false (told) when they could not be.
bool SaveRequested(const ExtractRequest& request, settings::SettingsStore* store,
                   const ExtractEnvironment& env) {
  settings::WriteExtractionSettings(request.record, store);
  if (SaveSettingsTo(*store, env.settingsFile)) return true;
  std::fprintf(env.err, "rawlift extract: could not store the settings in %s\n",
               env.settingsFile.empty() ? "the per-user folder (none found)"
                                        : Utf8(env.settingsFile).c_str());
  return false;
}

// Options parsed, help or a usage error handled: kContinue to run.
constexpr int kContinue = -1;
int ParseCommandLine(const Args& args, const ExtractEnvironment& env,
                     settings::SettingsStore* store, ExtractRequest* request) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, ExtractSpecs(), &options, &error)) {
    std::fprintf(env.err, "rawlift extract: %s\n\n%s", error.c_str(), ExtractHelp().c_str());
    return kExtractUsage;
  }
  if (options.Has("help")) {
    std::fputs(ExtractHelp().c_str(), env.out);
    return kExtractCompleted;
  }
  if (options.operands.empty()) {
    std::fprintf(env.err, "rawlift extract: no PATH given\n\n%s", ExtractHelp().c_str());
    return kExtractUsage;
  }
  if (!env.settingsFile.empty()) {
    settings::LoadSettingsFromPath(store, settings::kSettingsMagic, env.settingsFile);
  }
  if (!ParseRequest(options, *store, request, &error)) {
    std::fprintf(env.err, "rawlift extract: %s\n", error.c_str());
    return kExtractUsage;
  }
  return kContinue;
}

}  // namespace

int RunExtractWith(const Args& args, const ExtractEnvironment& env) {
  settings::SettingsStore store;
  ExtractRequest request;
  const int parsed = ParseCommandLine(args, env, &store, &request);
  if (parsed != kContinue) return parsed;
  // The progress lines are for a reader that may go away (a window closed):
  // a write to it must fail rather than end the run half-way by SIGPIPE.
  if (request.mode == ReportMode::kProgress && env.out == stdout) {
    platform::PrepareStandardOutputForBytes();
  }
  bool problems = request.save && !SaveRequested(request, &store, env);
  RunTotals totals;
  std::vector<std::u16string> selection;
  problems = !SelectOperands(request.operands, env.err, &selection, &totals.faults) || problems;

  // The job takes its settings from a store, as the shell's job does.
  settings::SettingsStore runStore;
  settings::WriteExtractionSettings(request.record, &runStore);
  // Reduced copies are decoded and encoded by the system's imaging library,
  // which has to be up for the whole run.
  platform::GraphicsSession graphics;
  const std::unique_ptr<Reporter> reporter =
      MakeReporter(request.mode, ReportStreams{env.out, env.err, env.progressBar});
  job::ExtractionJob extraction(runStore);
  extraction.SetSelection(&selection);
  extraction.FillRawSuffixes();
  extraction.SetOptions(request.jobOptions);
  if (!RunJob(&extraction, reporter.get(), env, &totals)) {
    std::fputs("rawlift extract: could not start the worker thread\n", env.err);
    return kExtractCompletedWithProblems;
  }
  reporter->Finish(totals);
  return ExitStatus(totals, problems);
}

int RunExtract(const Args& args) {
  // One preview buffer of a few megabytes after another: reuse the memory.
  platform::ReuseLargeAllocations();
  ExtractEnvironment env;
  env.progressBar = platform::StandardErrorIsTerminal();
  env.settingsFile = UserSettingsFilePath();
  // A second Ctrl-C ends the process at once; outputs are still never
  // partial, since each is moved into place only when complete.
  const platform::InterruptCatcher interrupts;
  env.interrupted = &interrupts.requested();
  return RunExtractWith(args, env);
}

}  // namespace cli
