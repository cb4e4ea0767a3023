#include "job/outcome.h"

#include <cstring>

namespace job {

FileStatus FileOutcome::status() const {
  bool present = false;
  for (const OutputResult& output : outputs) {
    if (output.status == OutputStatus::kWritten) return FileStatus::kWritten;
    present = present || output.status == OutputStatus::kAlreadyPresent;
  }
  return present ? FileStatus::kAlreadyPresent : FileStatus::kNothing;
}

const OutputResult* FileOutcome::FirstMissing() const {
  for (const OutputResult& output : outputs) {
    if (output.status == OutputStatus::kNotWritten) return &output;
  }
  return nullptr;
}

std::string FileOutcome::ReasonText() const {
  const OutputResult* missing = FirstMissing();
  if (missing == nullptr) return std::string();
  std::string text = OutputFaultText(missing->fault, previewReason);
  if (missing->systemError != 0) text += ": " + SystemErrorText(missing->systemError);
  return text;
}

std::string SystemErrorText(int systemError) {
  std::string text = std::strerror(systemError);
  // "Permission denied" as a clause: "...: permission denied".
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

FaultKind FileOutcome::FaultOf(const OutputResult& output) const {
  if (output.status != OutputStatus::kNotWritten) return FaultKind::kNone;
  switch (output.fault) {
    case OutputFault::kNoFolderInPath:
    case OutputFault::kCannotCreateFolder:
      return FaultKind::kFolderNotCreated;
    case OutputFault::kCannotWrite:
      return FaultKind::kWriteFailed;
    case OutputFault::kOutOfMemory:
      return FaultKind::kOutOfMemory;
    case OutputFault::kNoPreview:
      if (previewReason == engine::NoPreviewReason::kOutOfMemory) return FaultKind::kOutOfMemory;
      return previewReason == engine::NoPreviewReason::kCannotOpen ? FaultKind::kCannotRead
                                                                   : FaultKind::kNone;
    case OutputFault::kNone:
    case OutputFault::kCannotReduce:
      break;
  }
  return FaultKind::kNone;
}

bool FileOutcome::HasFault() const {
  for (const OutputResult& output : outputs) {
    if (FaultOf(output) != FaultKind::kNone) return true;
  }
  return false;
}

std::string OutputFaultText(OutputFault fault, engine::NoPreviewReason previewReason) {
  switch (fault) {
    case OutputFault::kNone:
      return "";
    case OutputFault::kNoPreview:
      return previewReason == engine::NoPreviewReason::kNone
                 ? "no preview"
                 : engine::NoPreviewReasonText(previewReason);
    case OutputFault::kNoFolderInPath:
      return "the path names no folder";
    case OutputFault::kCannotCreateFolder:
      return "output folder cannot be created";
    case OutputFault::kCannotWrite:
      return "cannot write the output";
    case OutputFault::kCannotReduce:
      return "the preview cannot be reduced";
    case OutputFault::kOutOfMemory:
      return "out of memory";
  }
  return "";
}

}  // namespace job
