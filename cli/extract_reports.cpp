#include "cli/extract_reports.h"

#include <cstdio>
#include <string>
#include <utility>

#include "cli/identify_command.h"
#include "job/naming.h"
#include "platform/fs.h"
#include "platform/path.h"

namespace cli {

namespace {

// How often the bar is redrawn: the rhythm of the progress dialog's timer.
constexpr int kRedrawMilliseconds = job::kProgressTimerMilliseconds;
constexpr int kBarCells = 24;

std::string Utf8(const std::u16string& text) {
  return platform::Utf16ToUtf8(text);
}

std::string Clock(int64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

std::string SizeText(const job::OutputResult& output) {
  if (output.width <= 0 || output.height <= 0) return " (size unknown)";
  return " (" + std::to_string(output.width) + "x" + std::to_string(output.height) + ")";
}

// "N things were" / "1 thing was".
std::string CountOf(int32_t count, const char* singular, const char* plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

// What each kind of fault counts, and its name among the --json counts.
struct FaultNames {
  const char* singular;
  const char* plural;
  const char* json;
};
FaultNames NamesOf(job::FaultKind kind) {
  if (kind == job::FaultKind::kCannotRead)
    return {"RAW file could not be read", "RAW files could not be read", "cannot_read"};
  const char* json = kind == job::FaultKind::kFolderNotCreated ? "folder_not_created"
                     : kind == job::FaultKind::kWriteFailed    ? "write_failed"
                                                               : "out_of_memory";
  return {"preview could not be written", "previews could not be written", json};
}

const job::FaultKind kCountedFaults[] = {job::FaultKind::kFolderNotCreated,
                                         job::FaultKind::kWriteFailed, job::FaultKind::kOutOfMemory,
                                         job::FaultKind::kCannotRead};

}  // namespace

OutcomeDescription Describe(const job::FileOutcome& outcome) {
  OutcomeDescription d;
  d.reason = outcome.ReasonText();
  switch (outcome.status()) {
    case job::FileStatus::kWritten:
      d.word = "written";
      d.status = "written";
      break;
    case job::FileStatus::kAlreadyPresent:
      d.word = "present";
      d.status = "already present";
      break;
    case job::FileStatus::kNothing:
      d.word = outcome.HasFault() ? "failed" : "none";
      d.status = "nothing written: " + d.reason;
      return d;
  }
  const job::OutputResult* missing = outcome.FirstMissing();
  if (missing != nullptr) {
    d.missing = std::string(missing->reduced ? "reduced copy" : "full-size preview") +
                " not written: " + d.reason;
  }
  return d;
}

void FaultTally::Add(const job::FileOutcome& outcome) {
  if (excluded_.count(outcome.rawPath) != 0) return;
  bool fault = false;
  for (const job::OutputResult& output : outcome.outputs) {
    const job::FaultKind kind = outcome.FaultOf(output);
    if (kind == job::FaultKind::kNone) continue;
    fault = true;
    ++byKind_[static_cast<size_t>(kind)];
    ++total_;
    Group& group = groups_[{static_cast<int>(kind), output.systemError}];
    ++group.count;
    std::u16string place = output.where;
    if (kind == job::FaultKind::kCannotRead) job::ParentFolderOf(outcome.rawPath, &place);
    if (!place.empty()) group.places.insert(place);
  }
  if (fault && outcome.status() == job::FileStatus::kNothing) ++filesFailed_;
}

std::vector<std::string> FaultTally::Lines() const {
  std::vector<std::string> lines;
  for (const auto& entry : groups_) {
    const job::FaultKind kind = static_cast<job::FaultKind>(entry.first.first);
    const Group& group = entry.second;
    const FaultNames names = NamesOf(kind);
    std::string line = std::to_string(group.count) + " " +
                       (group.count == 1 ? names.singular : names.plural) + ": ";
    line += kind == job::FaultKind::kFolderNotCreated ? "output folder cannot be created"
            : kind == job::FaultKind::kWriteFailed    ? "cannot write the output"
            : kind == job::FaultKind::kCannotRead     ? "cannot be opened"
                                                      : "out of memory";
    if (entry.first.second != 0) line += ": " + job::SystemErrorText(entry.first.second);
    if (!group.places.empty()) {
      std::u16string first = *group.places.begin();
      if (first.size() > 1 && platform::IsPathSeparator(first.back())) first.pop_back();
      line += " in " + platform::PathForDisplay(first);
      const size_t others = group.places.size() - 1;
      if (others > 0) {
        line +=
            " and " + std::to_string(others) + (others == 1 ? " other folder" : " other folders");
      }
    }
    lines.push_back(line);
  }
  return lines;
}

std::string FileOutcomeLine(const job::FileOutcome& outcome) {
  std::string written, present;
  for (const job::OutputResult& output : outcome.outputs) {
    std::string* list = output.status == job::OutputStatus::kWritten          ? &written
                        : output.status == job::OutputStatus::kAlreadyPresent ? &present
                                                                              : nullptr;
    if (list == nullptr) continue;
    if (!list->empty()) *list += ", ";
    *list += Utf8(output.path) + SizeText(output);
  }
  const OutcomeDescription d = Describe(outcome);
  std::string parts;
  if (!written.empty()) parts = "wrote " + written;
  if (!present.empty())
    parts += (parts.empty() ? "" : "; ") + std::string("already present: ") + present;
  if (parts.empty()) {
    parts = d.status;
  } else if (!d.missing.empty()) {
    parts += "; " + d.missing;
  }
  return Utf8(outcome.rawPath) + ": " + parts;
}

std::string FileOutcomeJson(const job::FileOutcome& outcome) {
  const OutcomeDescription d = Describe(outcome);
  std::string json =
      FormatJson({TextField("path", Utf8(outcome.rawPath)), TextField("outcome", d.word),
                  d.reason.empty() ? NullField("reason") : TextField("reason", d.reason)});
  json.pop_back();  // the closing brace: the outputs follow
  json += ", \"outputs\": [";
  bool first = true;
  for (const job::OutputResult& output : outcome.outputs) {
    if (output.status == job::OutputStatus::kNotWritten) continue;
    const bool known = output.width > 0 && output.height > 0;
    if (!first) json += ", ";
    first = false;
    json += FormatJson(
        {TextField("kind", output.reduced ? "reduced" : "full"),
         TextField("status", output.status == job::OutputStatus::kWritten ? "written" : "present"),
         TextField("path", Utf8(output.path)),
         known ? IntegerField("width", output.width) : NullField("width"),
         known ? IntegerField("height", output.height) : NullField("height")});
  }
  return json + "]}";
}

std::string ProgressDialogText(const std::string& text) {
  // U+FFFD for bytes that are not UTF-8; then every character that would
  // break the line or the label: C0 and C1 controls, DEL, and the line and
  // paragraph separators (GLib's line reader ends a line at U+2029).
  std::u16string units = platform::Utf8ToUtf16(text);
  std::u16string safe;
  safe.reserve(units.size());
  for (const char16_t unit : units) {
    if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029) {
      safe += u'\uFFFD';
    } else if (unit == u'\\') {
      safe += u"\\\\";
    } else {
      safe += unit;
    }
  }
  return platform::Utf16ToUtf8(safe);
}

std::string FileProgressText(const job::FileOutcome& outcome, int32_t done, int32_t total) {
  size_t nameStart = outcome.rawPath.size();
  while (nameStart > 0 && !platform::IsPathSeparator(outcome.rawPath[nameStart - 1])) --nameStart;
  const std::string name = platform::PathForDisplay(outcome.rawPath.substr(nameStart));
  const OutcomeDescription d = Describe(outcome);
  const std::string what = d.missing.empty() ? d.status : d.status + "; " + d.missing;
  return ProgressDialogText(name + ": " + what + " (" + std::to_string(done) + " of " +
                            std::to_string(total) + ")");
}

int ProgressPercent(int32_t done, int32_t total) {
  if (total <= 0 || done <= 0) return 0;
  const int64_t percent = static_cast<int64_t>(done) * 100 / total;
  return percent > 99 ? 99 : static_cast<int>(percent);
}

std::string CountsJson(const RunTotals& totals) {
  const job::JobCounters& c = totals.counters;
  std::string faults = "{";
  for (const job::FaultKind kind : kCountedFaults) {
    if (faults.size() > 1) faults += ", ";
    faults +=
        "\"" + std::string(NamesOf(kind).json) + "\": " + std::to_string(totals.faults.Count(kind));
  }
  faults += "}";
  std::string json = FormatJson(
      {IntegerField("files_scanned", c.filesFound < 0 ? 0 : c.filesFound),
       IntegerField("files_done", c.filesDone), IntegerField("total", c.newCount + c.existingCount),
       IntegerField("new", c.newCount), IntegerField("present", c.existingCount),
       IntegerField("none",
                    c.filesDone - c.newCount - c.existingCount - totals.faults.FilesFailed()),
       BoolField("completed", c.done),
       c.done ? IntegerField("seconds", c.elapsedSeconds) : NullField("seconds"),
       IntegerField("subfolders_not_searched", totals.collection.subfoldersNotSearched),
       IntegerField("folders_too_deep", totals.collection.foldersTooDeep),
       IntegerField("failed", totals.faults.FilesFailed())});
  json.pop_back();  // the closing brace: the faults by kind follow
  return json + ", \"faults\": " + faults + "}";
}

std::string CollectionNotice(const job::CollectionReport& collection) {
  std::string notice;
  if (collection.subfoldersNotSearched > 0) {
    notice += "rawlift extract: " +
              CountOf(collection.subfoldersNotSearched, "sub-folder was", "sub-folders were") +
              " not searched; use --recursive\n";
  }
  if (collection.foldersTooDeep > 0) {
    notice +=
        "rawlift extract: " + CountOf(collection.foldersTooDeep, "folder was", "folders were") +
        " not searched: deeper than " + std::to_string(job::kMaxFolderDepth) + " levels\n";
  }
  return notice;
}

std::string ProgressLine(const job::JobCounters& c, int64_t elapsedMs, int width) {
  if (c.filesFound < 0) return "collecting RAW files...";
  const int64_t total = c.filesFound;
  const int64_t done = c.filesDone;
  const int filled = total > 0 ? static_cast<int>(done * width / total) : width;
  std::string line = "[";
  line.append(static_cast<size_t>(filled), '#');
  line.append(static_cast<size_t>(width - filled), '.');
  line += "] " + std::to_string(done) + "/" + std::to_string(total) + " files, " +
          std::to_string(c.newCount) + " new, " + std::to_string(c.existingCount) + " present";
  if (done > 0 && done < total) {
    const int64_t leftMs = elapsedMs * (total - done) / done;
    line += ", " + Clock((leftMs + 999) / 1000) + " left";
  } else if (done < total) {
    line += ", --:-- left";
  }
  return line;
}

void ProgressBar::Draw(const job::JobCounters& counters, int64_t nowMs) {
  if (counters.filesFound >= 0 && firstFileMs_ < 0) firstFileMs_ = nowMs;
  if (drawnMs_ >= 0 && nowMs - drawnMs_ < kRedrawMilliseconds) return;
  drawnMs_ = nowMs;
  std::string line = ProgressLine(counters, firstFileMs_ < 0 ? 0 : nowMs - firstFileMs_, kBarCells);
  const size_t length = line.size();
  if (length < drawn_) line.append(drawn_ - length, ' ');  // cover the longer old line
  std::fprintf(err_, "\r%s", line.c_str());
  std::fflush(err_);
  drawn_ = length;
}

void ProgressBar::Clear(int extraCells) {
  if (drawn_ == 0 && extraCells == 0) return;
  std::fprintf(err_, "\r%*s\r", static_cast<int>(drawn_) + extraCells, "");
  std::fflush(err_);
  drawn_ = 0;
  drawnMs_ = -1;  // drawn again at once below what is printed now
}

namespace {

// What every mode shares: the bar on a terminal (never with --progress),
// the Ctrl-C notice, and the lines that end a run on standard error.
class StreamReporter : public Reporter {
 public:
  StreamReporter(const ReportStreams& streams, bool bar) : streams_(streams) {
    if (bar && streams.progressBar) bar_.reset(new ProgressBar(streams.err));
  }
  void Tick(const job::JobCounters& counters, int64_t nowMs) override {
    if (bar_ && !interrupted_) bar_->Draw(counters, nowMs);
  }
  void Interrupted() override {
    interrupted_ = true;
    // The terminal has echoed "^C" after the bar: clear that too.
    if (bar_) bar_->Clear(4);
    std::fputs("rawlift extract: stopping after the current file...\n", streams_.err);
  }

 protected:
  // Lines on standard output; the bar goes while they are printed and comes
  // back below them.
  void Print(const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    if (bar_) bar_->Clear();
    for (const std::string& line : lines) std::fprintf(streams_.out, "%s\n", line.c_str());
    std::fflush(streams_.out);
  }
  // The summary text (unless JSON stands for it), then on standard error
  // one line per kind of fault and what collecting left out.
  void End(const RunTotals& totals, FILE* summary) {
    if (bar_) bar_->Clear();
    if (summary != nullptr) {
      std::fprintf(summary, "%s\n", Utf8(job::BuildSummaryText(totals.counters)).c_str());
      std::fflush(summary);
    }
    for (const std::string& line : totals.faults.Lines()) {
      std::fprintf(streams_.err, "rawlift extract: %s\n", line.c_str());
    }
    std::fputs(CollectionNotice(totals.collection).c_str(), streams_.err);
  }

  ReportStreams streams_;

 private:
  std::unique_ptr<ProgressBar> bar_;
  bool interrupted_ = false;
};

// The default: the bar while the run lasts, the summary text at the end.
class SummaryReporter : public StreamReporter {
 public:
  explicit SummaryReporter(const ReportStreams& streams) : StreamReporter(streams, true) {}
  void FileDone(const job::FileOutcome&, int32_t, int32_t) override {}
  void Finish(const RunTotals& totals) override { End(totals, streams_.out); }
};

// -v: one line per RAW file before the summary.
class VerboseReporter : public StreamReporter {
 public:
  explicit VerboseReporter(const ReportStreams& streams) : StreamReporter(streams, true) {}
  void FileDone(const job::FileOutcome& outcome, int32_t, int32_t) override {
    Print({FileOutcomeLine(outcome)});
  }
  void Finish(const RunTotals& totals) override { End(totals, streams_.out); }
};

// --json: one object per RAW file, then the counts; no summary text.
class JsonReporter : public StreamReporter {
 public:
  explicit JsonReporter(const ReportStreams& streams) : StreamReporter(streams, true) {}
  void FileDone(const job::FileOutcome& outcome, int32_t, int32_t) override {
    Print({FileOutcomeJson(outcome)});
  }
  void Finish(const RunTotals& totals) override {
    Print({CountsJson(totals)});
    End(totals, nullptr);
  }
};

// --progress: for a progress window on standard output; the summary goes
// to standard error.
class ProgressWindowReporter : public StreamReporter {
 public:
  explicit ProgressWindowReporter(const ReportStreams& streams) : StreamReporter(streams, false) {}
  void Start() override { Print({"# Looking for RAW files...", "0"}); }
  void FileDone(const job::FileOutcome& outcome, int32_t done, int32_t total) override {
    Print({"# " + FileProgressText(outcome, done, total),
           std::to_string(ProgressPercent(done, total))});
  }
  void Finish(const RunTotals& totals) override {
    // The last text the window shows, then 100, which closes it.
    const job::JobCounters& c = totals.counters;
    const std::string files = CountOf(c.filesFound < 0 ? 0 : c.filesFound, "RAW file", "RAW files");
    std::string text = c.done ? "# Done: " + files + ", " + std::to_string(c.newCount) + " new, " +
                                    std::to_string(c.existingCount) + " already present"
                              : "# Stopped after " + std::to_string(c.filesDone) + " of " + files;
    Print({text, "100"});
    End(totals, streams_.err);
  }
};

}  // namespace

std::unique_ptr<Reporter> MakeReporter(ReportMode mode, const ReportStreams& streams) {
  switch (mode) {
    case ReportMode::kVerbose:
      return std::unique_ptr<Reporter>(new VerboseReporter(streams));
    case ReportMode::kJson:
      return std::unique_ptr<Reporter>(new JsonReporter(streams));
    case ReportMode::kProgress:
      return std::unique_ptr<Reporter>(new ProgressWindowReporter(streams));
    case ReportMode::kSummary:
      break;
  }
  return std::unique_ptr<Reporter>(new SummaryReporter(streams));
}

}  // namespace cli
