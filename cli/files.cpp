#include "cli/files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>

#include <cwchar>
#include <cwctype>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include "platform/fs.h"
#include "platform/path.h"

namespace cli {

namespace {

#ifdef _WIN32
using NativeStat = struct _stat64;
int StatPath(const platform::NativePath& path, NativeStat* info) {
  return _wstat64(path.c_str(), info);
}
#else
using NativeStat = struct stat;
int StatPath(const platform::NativePath& path, NativeStat* info) {
  return stat(path.c_str(), info);
}
#endif

platform::NativePath Native(const std::string& argument) {
  return NativeArgumentPath(argument);
}

// Temporaries of a write in progress, hidden, named as the extraction job
// names its own.
constexpr char16_t kTemporaryPrefix[] = u".rlft-";
constexpr char16_t kTemporarySuffix[] = u".part";

#ifdef _WIN32
// Windows takes either separator in a command-line path.
constexpr char16_t kArgumentSeparator = u'\\';
bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}
#else
constexpr char16_t kArgumentSeparator = u'/';
bool IsSeparator(char16_t c) {
  return c == u'/';
}
#endif

// The folder part of a path ("." for a bare name), where a temporary for it
// can be made.
std::u16string FolderOf(const std::u16string& path) {
  size_t end = path.size();
  while (end > 0 && !IsSeparator(path[end - 1])) --end;
  if (end == 0) return u".";
  // "/x" is in "/"; "a//x" is in "a".
  size_t folderEnd = end;
  while (folderEnd > 1 && IsSeparator(path[folderEnd - 1])) --folderEnd;
  return path.substr(0, folderEnd);
}

// What failed, with the system's reason where the C library knows it.
std::string SystemError(const char* what) {
  if (errno == 0) return what;
  return std::string(what) + ": " + std::strerror(errno);
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
  const std::u16string target = ArgumentPath(path);
  if (replace) {
    // Only a plain file is replaced: moving a file over a device or a pipe
    // (-o /dev/null as root) would put a file in its place.
    NativeStat info;
    if (StatPath(Native(path), &info) == 0 && (info.st_mode & S_IFMT) != S_IFREG) {
      *error = "not a plain file";
      return WriteOutcome::Failed;
    }
  }
  // The bytes go to a new file beside OUT, which then takes OUT's name in
  // one step: OUT is never truncated, and a failed or interrupted write
  // leaves whatever was there before.
  platform::NewFile file;
  std::u16string temporary;
  errno = 0;
  if (!platform::CreateUniqueFile(FolderOf(target), kTemporaryPrefix, kTemporarySuffix, &file,
                                  &temporary, kArgumentSeparator)) {
    *error = SystemError("cannot create a file in its folder");
    return WriteOutcome::Failed;
  }
  errno = 0;
  const bool written = file.Write(data, size);
  if (!written) *error = SystemError("write failed");
  const bool closed = file.Close();
  if (written && !closed) *error = SystemError("write failed");
  if (!written || !closed) {
    platform::RemoveFile(temporary);
    return WriteOutcome::Failed;
  }
  errno = 0;
  if (replace ? platform::RenameReplacing(temporary, target)
              : platform::RenameNoReplace(temporary, target)) {
    return WriteOutcome::Written;
  }
  *error = SystemError("cannot move the written file to its name");
  platform::RemoveFile(temporary);
  // Without replacing, a file that appeared meanwhile is kept.
  if (!replace && PathExists(path)) return WriteOutcome::AlreadyExists;
  return WriteOutcome::Failed;
}

bool WriteStandardOutput(const uint8_t* data, size_t size, std::string* error) {
#ifdef _WIN32
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
#else
  // A reader that goes away should give a write error, not end the process.
  signal(SIGPIPE, SIG_IGN);
#endif
  const size_t written = std::fwrite(data, 1, size, stdout);
  if (written != size || std::fflush(stdout) != 0 || std::ferror(stdout)) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

bool PathExists(const std::string& path) {
  NativeStat info;
  return StatPath(Native(path), &info) == 0;
}

bool IsDirectory(const std::string& path) {
  NativeStat info;
  return StatPath(Native(path), &info) == 0 && (info.st_mode & S_IFMT) == S_IFDIR;
}

bool IsSameFile(const std::string& a, const std::string& b) {
  const platform::NativePath native_a = Native(a);
  const platform::NativePath native_b = Native(b);
  NativeStat info_a, info_b;
  if (StatPath(native_a, &info_a) != 0 || StatPath(native_b, &info_b) != 0) return false;
#ifdef _WIN32
  // The C runtime has no file identity here: compare the full paths, which
  // the file system treats without regard to case.
  wchar_t full_a[4096], full_b[4096];
  if (!_wfullpath(full_a, native_a.c_str(), 4096) || !_wfullpath(full_b, native_b.c_str(), 4096))
    return false;
  return _wcsicmp(full_a, full_b) == 0;
#else
  return info_a.st_dev == info_b.st_dev && info_a.st_ino == info_b.st_ino;
#endif
}

}  // namespace cli
