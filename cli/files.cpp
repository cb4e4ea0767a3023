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

// Chunked so that one call never exceeds what the system's write accepts.
constexpr size_t kWriteChunk = 1 << 20;

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const size_t chunk = size < kWriteChunk ? size : kWriteChunk;
#ifdef _WIN32
    const int written = _write(fd, data, static_cast<unsigned>(chunk));
#else
    const ssize_t written = write(fd, data, chunk);
    if (written < 0 && errno == EINTR) continue;
#endif
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

std::u16string ArgumentPath(const std::string& argument) {
  return platform::Utf8ToUtf16KeepingBytes(argument);
}

platform::NativePath NativeArgumentPath(const std::string& argument) {
  return platform::ToNativePath(ArgumentPath(argument));
}

std::string DisplayArgument(const std::string& argument) {
  return platform::PathForDisplay(ArgumentPath(argument));
}

WriteOutcome WriteOutputFile(const std::string& path, const uint8_t* data, size_t size,
                             bool replace, std::string* error) {
  const platform::NativePath native = Native(path);
  const int disposition = replace ? O_TRUNC : O_EXCL;
#ifdef _WIN32
  const int fd =
      _wopen(native.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY | disposition, _S_IREAD | _S_IWRITE);
#else
  const int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | disposition, 0666);
#endif
  if (fd < 0) {
    if (errno == EEXIST) return WriteOutcome::AlreadyExists;
    *error = std::strerror(errno);
    return WriteOutcome::Failed;
  }
  bool ok = WriteAll(fd, data, size);
  int saved_errno = errno;
#ifdef _WIN32
  if (_close(fd) != 0 && ok) {
    ok = false;
    saved_errno = errno;
  }
  if (!ok) _wunlink(native.c_str());
#else
  if (close(fd) != 0 && ok) {
    ok = false;
    saved_errno = errno;
  }
  if (!ok) unlink(native.c_str());
#endif
  if (!ok) {
    *error = std::strerror(saved_errno);
    return WriteOutcome::Failed;
  }
  return WriteOutcome::Written;
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
