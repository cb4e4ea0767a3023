#include "platform/fs.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <random>

namespace platform {

std::u16string ConfigFolderFromEnvironment(const char* xdgConfigHome, const char* home) {
  // Only an absolute XDG_CONFIG_HOME counts; a relative one is to be ignored.
  // Both are POSIX paths: their bytes are kept whatever the encoding.
  if (xdgConfigHome && xdgConfigHome[0] == '/') return Utf8ToUtf16KeepingBytes(xdgConfigHome);
  if (home && home[0] != '\0') {
    std::u16string folder = Utf8ToUtf16KeepingBytes(home);
    if (folder.back() != u'/') folder += u'/';
    return folder + u".config";
  }
  return std::u16string();
}

bool CreateUniqueFile(const std::u16string& folder, const std::u16string& prefix,
                      const std::u16string& suffix, NewFile* file, std::u16string* path,
                      char16_t separator) {
  // Seeded from the system's entropy and the clock, so two processes (or two
  // jobs in one process) starting together still draw different names.
  std::random_device entropy;
  std::seed_seq seed{
      entropy(), entropy(),
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
  std::mt19937_64 generator(seed);
  std::u16string base = folder;
  if (base.empty() || base.back() != separator) base += separator;
  static const char16_t kHex[] = u"0123456789abcdef";
  for (int attempt = 0; attempt < kUniqueFileAttempts; ++attempt) {
    uint64_t bits = generator();
    std::u16string name = prefix;
    for (int i = 0; i < 16; ++i) {
      name += kHex[bits & 0xF];
      bits >>= 4;
    }
    name += suffix;
    const std::u16string candidate = base + name;
    if (file->Create(candidate)) {
      *path = candidate;
      return true;
    }
    // A missing or unwritable folder fails every name alike.
    if (!IsDirectory(folder)) return false;
  }
  return false;
}

WriteResult WriteNewFile(const std::u16string& path, const void* bytes, size_t length,
                         const std::u16string& temporaryPrefix,
                         const std::u16string& temporarySuffix, bool flush, ExistingFile existing) {
  const bool replace = existing == ExistingFile::kReplacePlainFile;
  if (replace) {
    // Moving a file over a device or a pipe (/dev/null as root) would put a
    // plain file in its place.
    const PathKind kind = KindOfPath(path);
    if (kind != PathKind::kNothing && kind != PathKind::kPlainFile) {
      return WriteResult{WriteFailure::kNotPlainFile, 0};
    }
  }
  // The temporary goes into the path's folder, so that the move is a rename
  // within one file system; it keeps the separator the path uses there.
  size_t folderEnd = path.size();
  while (folderEnd > 0 && !IsPathSeparator(path[folderEnd - 1])) --folderEnd;
  const std::u16string folder = folderEnd == 0 ? u"." : path.substr(0, folderEnd);
  const char16_t separator = folderEnd == 0 ? kPathSeparator : path[folderEnd - 1];
  NewFile file;
  std::u16string temporary;
  errno = 0;
  if (!CreateUniqueFile(folder, temporaryPrefix, temporarySuffix, &file, &temporary, separator)) {
    return WriteResult{WriteFailure::kCannotCreate, errno};
  }
  errno = 0;
  const bool complete = file.Write(bytes, length) && (!flush || file.Sync());
  const int writeError = errno;
  // Close reports late write errors (a full disk on some file systems).
  const bool closed = file.Close();
  if (!complete || !closed) {
    const int closeError = errno;
    RemoveFile(temporary);
    return WriteResult{WriteFailure::kCannotWrite, complete ? closeError : writeError};
  }
  errno = 0;
  if (replace ? RenameReplacing(temporary, path) : RenameNoReplace(temporary, path)) {
    return WriteResult();
  }
  const int moveError = errno;
  RemoveFile(temporary);
  // Without replacing, a file that appeared meanwhile is kept.
  if (!replace && KindOfPath(path) != PathKind::kNothing) {
    return WriteResult{WriteFailure::kNameTaken, moveError};
  }
  return WriteResult{WriteFailure::kCannotMove, moveError};
}

int64_t MonotonicMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t CalendarSeconds() {
  return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace platform
