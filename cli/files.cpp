#include "cli/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "job/extraction_job.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/path.h"

namespace cli {

namespace {

// What failed, with the system's reason where the C library knows it.
std::string SystemError(const char* what, int systemError) {
  if (systemError == 0) return what;
  return std::string(what) + ": " + std::strerror(systemError);
}

}  // namespace

std::u16string ArgumentPath(const std::string& argument) {
#ifdef _WIN32
  return platform::Utf8ToUtf16KeepingSurrogates(argument);
#else
  return platform::Utf8ToUtf16KeepingBytes(argument);
#endif
}

#ifdef _WIN32
std::string ArgumentFromCommandLine(const std::wstring& argument) {
  return platform::Utf16ToUtf8KeepingSurrogates(std::u16string(argument.begin(), argument.end()));
}
#endif

platform::NativePath NativeArgumentPath(const std::string& argument) {
  return platform::ToNativePath(ArgumentPath(argument));
}

std::string DisplayArgument(const std::string& argument) {
  return platform::PathForDisplay(ArgumentPath(argument));
}

WriteOutcome WriteOutputFile(const std::string& path, const uint8_t* data, size_t size,
                             bool replace, std::string* error) {
  const platform::WriteResult result = platform::WriteNewFile(
      ArgumentPath(path), data, size, job::kTemporaryPrefix, job::kTemporarySuffix, false,
      replace ? platform::ExistingFile::kReplacePlainFile : platform::ExistingFile::kKeep);
  switch (result.failure) {
    case platform::WriteFailure::kNone:
      return WriteOutcome::Written;
    case platform::WriteFailure::kNameTaken:
      return WriteOutcome::AlreadyExists;
    case platform::WriteFailure::kNotPlainFile:
      *error = "not a plain file";
      break;
    case platform::WriteFailure::kCannotCreate:
      *error = SystemError("cannot create a file in its folder", result.systemError);
      break;
    case platform::WriteFailure::kCannotWrite:
      *error = SystemError("write failed", result.systemError);
      break;
    case platform::WriteFailure::kCannotMove:
      *error = SystemError("cannot move the written file to its name", result.systemError);
      break;
  }
  return WriteOutcome::Failed;
}

bool WriteStandardOutput(const uint8_t* data, size_t size, std::string* error) {
  platform::PrepareStandardOutputForBytes();
  const size_t written = std::fwrite(data, 1, size, stdout);
  if (written != size || std::fflush(stdout) != 0 || std::ferror(stdout)) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

bool PathExists(const std::string& path) {
  return platform::KindOfPath(ArgumentPath(path)) != platform::PathKind::kNothing;
}

bool IsDirectory(const std::string& path) {
  return platform::KindOfPath(ArgumentPath(path)) == platform::PathKind::kFolder;
}

const char* InputRefusal(const std::string& path) {
  switch (platform::KindOfPath(ArgumentPath(path))) {
    case platform::PathKind::kFolder:
      return "is a folder";
    case platform::PathKind::kOther:
      return "is not a regular file";
    case platform::PathKind::kNothing:
    case platform::PathKind::kPlainFile:
      break;
  }
  return nullptr;
}

bool IsSameFile(const std::string& a, const std::string& b) {
  return platform::IsSameFile(ArgumentPath(a), ArgumentPath(b));
}

}  // namespace cli
