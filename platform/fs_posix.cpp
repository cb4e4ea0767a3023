#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // renameat2
#endif
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/file.h"
#include "platform/fs.h"

namespace platform {

bool IsDirectory(const std::u16string& path) {
  struct stat st;
  return ::stat(ToNativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

PathKind KindOfPath(const std::u16string& path) {
  struct stat st;
  if (::stat(ToNativePath(path).c_str(), &st) != 0) return PathKind::kNothing;
  if (S_ISREG(st.st_mode)) return PathKind::kPlainFile;
  return S_ISDIR(st.st_mode) ? PathKind::kFolder : PathKind::kOther;
}

bool IsSameFile(const std::u16string& a, const std::u16string& b) {
  struct stat first, second;
  return ::stat(ToNativePath(a).c_str(), &first) == 0 &&
         ::stat(ToNativePath(b).c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

bool CreateFolder(const std::u16string& path, int* systemError) {
  if (::mkdir(ToNativePath(path).c_str(), 0777) == 0) return true;
  if (systemError) *systemError = errno;
  return false;
}

bool ListFolder(const std::u16string& folder, std::vector<FolderEntry>* entries) {
  const NativePath native = ToNativePath(folder);
  DIR* dir = ::opendir(native.c_str());
  if (!dir) return false;
  NativePath base = native;
  if (base.empty() || base.back() != '/') base += '/';
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry item;
    item.name = FromNativePath(name);
    bool known = false;
#ifdef DT_DIR
    // Most file systems tell the type in the entry; the rest say DT_UNKNOWN.
    if (entry->d_type == DT_DIR || entry->d_type == DT_REG) {
      item.isDirectory = entry->d_type == DT_DIR;
      known = true;
    } else if (entry->d_type == DT_LNK) {
      item.isLink = true;
    }
#endif
    if (!known) {
      struct stat st;
      if (!item.isLink && ::lstat((base + name).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        item.isLink = true;
      }
      // What the name leads to; a dangling link is a plain entry nobody can open.
      if (::stat((base + name).c_str(), &st) == 0) {
        item.isDirectory = S_ISDIR(st.st_mode);
        item.isSpecial = !S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode);
      }
    }
    entries->push_back(std::move(item));
  }
  ::closedir(dir);
  return true;
}

bool GetFolderIdentity(const std::u16string& path, FolderIdentity* identity) {
  struct stat st;
  if (::stat(ToNativePath(path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  identity->volume = static_cast<uint64_t>(st.st_dev);
  identity->index = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool CanOpenForReading(const std::u16string& path) {
  ReadOnlyFile file;
  return file.Open(path);
}

NewFile::~NewFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool NewFile::Create(const std::u16string& path) {
  if (fd_ >= 0) return false;
  int fd;
  do {
    fd = ::open(ToNativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // An advisory lock for as long as the file is open tells a cleaner that
  // a process is still writing it. Where the file system has no locks the
  // cleaner falls back on the file's age alone.
  ::flock(fd, LOCK_EX | LOCK_NB);
  fd_ = fd;
  return true;
}

bool NewFile::Write(const void* bytes, size_t length) {
  if (fd_ < 0) return false;
  const auto* data = static_cast<const unsigned char*>(bytes);
  size_t done = 0;
  while (done < length) {
    const ssize_t wrote = ::write(fd_, data + done, length - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

bool NewFile::Sync() {
  return fd_ >= 0 && ::fsync(fd_) == 0;
}

bool NewFile::Close() {
  if (fd_ < 0) return false;
  const int result = ::close(fd_);
  fd_ = -1;
  return result == 0;
}

bool NewFile::IsOpen() const {
  return fd_ >= 0;
}

bool RenameNoReplace(const std::u16string& from, const std::u16string& to) {
  const NativePath source = ToNativePath(from);
  const NativePath target = ToNativePath(to);
#ifdef __linux__
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // No atomic no-replace rename here: a hard link fails on an existing
  // target just as well, then the temporary name is dropped.
  if (::link(source.c_str(), target.c_str()) == 0) {
    ::unlink(source.c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  // File systems without hard links (FAT on a card reader): test, then move.
  // The window between the two is the best such a medium offers.
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0 || errno != ENOENT) return false;
  return ::rename(source.c_str(), target.c_str()) == 0;
}

bool RenameReplacing(const std::u16string& from, const std::u16string& to) {
  return ::rename(ToNativePath(from).c_str(), ToNativePath(to).c_str()) == 0;
}

bool RemoveFile(const std::u16string& path) {
  return ::unlink(ToNativePath(path).c_str()) == 0;
}

bool RemoveAbandonedFile(const std::u16string& path, int64_t minimumAgeSeconds) {
  const NativePath native = ToNativePath(path);
  const int fd = ::open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool abandoned = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                   static_cast<int64_t>(::time(nullptr)) - static_cast<int64_t>(st.st_mtime) >=
                       minimumAgeSeconds;
  // Held by a writer: still in use, however old.
  if (abandoned && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) abandoned = false;
  if (abandoned) abandoned = ::unlink(native.c_str()) == 0;
  ::close(fd);
  return abandoned;
}

bool RemoveFolder(const std::u16string& path) {
  return ::rmdir(ToNativePath(path).c_str()) == 0;
}

std::u16string UserConfigFolder() {
  return ConfigFolderFromEnvironment(::getenv("XDG_CONFIG_HOME"), ::getenv("HOME"));
}

std::u16string AbsolutePath(const std::u16string& path) {
  if (path.empty() || path[0] == u'/') return path;
  char* cwd = ::getcwd(nullptr, 0);
  if (!cwd) return path;
  std::u16string folder = FromNativePath(cwd);
  ::free(cwd);
  if (folder.empty() || folder.back() != u'/') folder += u'/';
  std::u16string relative = path;
  // "./x" and "." name the current folder's entries; keep the result tidy.
  while (relative.size() >= 2 && relative[0] == u'.' && relative[1] == u'/') relative.erase(0, 2);
  if (relative == u".") relative.clear();
  return folder + relative;
}

}  // namespace platform
