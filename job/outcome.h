// What the extraction job did with one RAW file: every output it wrote or
// found present, with its path and pixel size, or why an output is missing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/outcome.h"

namespace job {

enum class OutputStatus : uint8_t {
  kNotWritten = 0,
  kWritten,         // this run created the file
  kAlreadyPresent,  // a file was there before (or another run placed it meanwhile); left alone
};

// Why an output was not written.
enum class OutputFault : uint8_t {
  kNone = 0,
  kNoPreview,           // the engine gave no preview; FileOutcome::previewReason says why
  kNoFolderInPath,      // the RAW file's path names no folder to put outputs in
  kCannotCreateFolder,  // the output folder is missing and cannot be created
  kCannotWrite,         // creating, writing or placing the file failed
  kCannotReduce,        // the preview could not be decoded or encoded again at the bounded size
  kOutOfMemory,
};

struct OutputResult {
  bool reduced = false;  // the reduced copy; else the full-size preview
  OutputStatus status = OutputStatus::kNotWritten;
  OutputFault fault = OutputFault::kNone;  // set when not written
  std::u16string path;                     // empty when the name could not be formed
  // Where a fault happened: the folder the output folder could not be
  // created in, or the folder the file could not be written to.
  std::u16string where;
  // The system's error number of a failed creation or write (EACCES,
  // ENOSPC, EROFS...); 0 when not known.
  int systemError = 0;
  // The pixel size of the bytes written, or of a present file when it was
  // measured; 0 by 0 when not known (or when the JPEG cannot be decoded).
  int32_t width = 0;
  int32_t height = 0;
};

// Faults: outputs that could not be written for a cause outside the RAW
// file (a folder or a medium that refuses, memory), as against files that
// hold no preview. A run with any of them has not done its job.
enum class FaultKind : uint8_t {
  kNone = 0,
  kFolderNotCreated,  // no output folder (or no folder in the path)
  kWriteFailed,       // the file could not be created, written or placed
  kOutOfMemory,       // in the job or in the engine
  kCannotRead,        // the RAW file exists but cannot be opened
};
constexpr int kFaultKinds = 5;

// A file's outcome as the counters take it: an output written (new), else
// one present, else nothing.
enum class FileStatus : uint8_t { kWritten, kAlreadyPresent, kNothing };

struct FileOutcome {
  std::u16string rawPath;
  // The full-size output first; then the reduced copy when the settings ask
  // for one and the full-size output is there to size it by.
  std::vector<OutputResult> outputs;
  engine::NoPreviewReason previewReason = engine::NoPreviewReason::kNone;

  FileStatus status() const;
  // The first output that was not written, or null when there is none.
  const OutputResult* FirstMissing() const;
  // Why FirstMissing() is missing, in plain words; empty when nothing is.
  std::string ReasonText() const;
  // The fault of one output of this file; kNone when it was written, is
  // present, or is missing because the file holds no usable preview.
  FaultKind FaultOf(const OutputResult& output) const;
  // True when an output is missing because of a fault.
  bool HasFault() const;
};

// A fault in plain words ("cannot write the output"); for kNoPreview, the
// engine's reason ("not a camera raw file: a JPEG").
std::string OutputFaultText(OutputFault fault, engine::NoPreviewReason previewReason);

// The C library's text of an error number, starting in lower case
// ("permission denied").
std::string SystemErrorText(int systemError);

}  // namespace job
