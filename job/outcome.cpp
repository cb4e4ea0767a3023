#include "job/outcome.h"

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
  return missing == nullptr ? std::string() : OutputFaultText(missing->fault, previewReason);
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
