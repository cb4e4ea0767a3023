#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>
#include <sys/stat.h>
#include <wchar.h>

#include <cerrno>
#include <cstdlib>

#include "platform/file.h"
#include "platform/fs.h"

namespace platform {

namespace {

// Room for a full path in IsSameFile; a longer path counts as another file.
constexpr size_t kFullPathCapacity = 4096;

std::wstring Wide(const std::u16string& path) {
  return std::wstring(path.begin(), path.end());
}

std::u16string FromWide(const wchar_t* text) {
  const std::wstring w(text);
  return std::u16string(w.begin(), w.end());
}

}  // namespace

bool IsDirectory(const std::u16string& path) {
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

PathKind KindOfPath(const std::u16string& path) {
  struct _stat64 info;
  if (::_wstat64(Wide(path).c_str(), &info) != 0) return PathKind::kNothing;
  if ((info.st_mode & _S_IFMT) == _S_IFREG) return PathKind::kPlainFile;
  return (info.st_mode & _S_IFMT) == _S_IFDIR ? PathKind::kFolder : PathKind::kOther;
}

bool IsSameFile(const std::u16string& a, const std::u16string& b) {
  if (KindOfPath(a) == PathKind::kNothing || KindOfPath(b) == PathKind::kNothing) return false;
  // The runtime has no file identity here: compare the full paths, which the
  // file system treats without regard to case.
  wchar_t fullA[kFullPathCapacity], fullB[kFullPathCapacity];
  if (!::_wfullpath(fullA, Wide(a).c_str(), kFullPathCapacity) ||
      !::_wfullpath(fullB, Wide(b).c_str(), kFullPathCapacity)) {
    return false;
  }
  return ::_wcsicmp(fullA, fullB) == 0;
}

bool CreateFolder(const std::u16string& path, int* systemError) {
  if (::CreateDirectoryW(Wide(path).c_str(), nullptr) != 0) return true;
  if (systemError) {
    // The causes a user can act on, as the C library names them.
    switch (::GetLastError()) {
      case ERROR_ACCESS_DENIED:
        *systemError = EACCES;
        break;
      case ERROR_WRITE_PROTECT:
        *systemError = EROFS;
        break;
      case ERROR_DISK_FULL:
      case ERROR_HANDLE_DISK_FULL:
        *systemError = ENOSPC;
        break;
      case ERROR_ALREADY_EXISTS:
      case ERROR_FILE_EXISTS:
        *systemError = EEXIST;
        break;
      case ERROR_PATH_NOT_FOUND:
        *systemError = ENOENT;
        break;
      default:
        *systemError = 0;
    }
  }
  return false;
}

bool ListFolder(const std::u16string& folder, std::vector<FolderEntry>* entries) {
  std::wstring pattern = Wide(folder);
  if (pattern.empty() || (pattern.back() != L'\\' && pattern.back() != L'/')) pattern += L'\\';
  pattern += L"*.*";
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    // An empty folder still has "." and ".."; only a root can be empty.
    return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry item;
    item.name = std::u16string(name.begin(), name.end());
    item.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // For a reparse point the find data carries its tag. Symbolic links and
    // junctions are name surrogates; cloud placeholders and the like are not.
    item.isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                  IsReparseTagNameSurrogate(data.dwReserved0);
    entries->push_back(std::move(item));
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return true;
}

bool GetFolderIdentity(const std::u16string& path, FolderIdentity* identity) {
  // Opening a folder needs backup semantics; no access right is needed to
  // read its identity.
  HANDLE h = ::CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = ::GetFileInformationByHandle(h, &info) != 0 &&
                     (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  ::CloseHandle(h);
  if (!known) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool CanOpenForReading(const std::u16string& path) {
  ReadOnlyFile file;
  return file.Open(path);
}

NewFile::~NewFile() {
  if (handle_) ::CloseHandle(static_cast<HANDLE>(handle_));
}

bool NewFile::Create(const std::u16string& path) {
  if (handle_) return false;
  HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
  return true;
}

bool NewFile::Write(const void* bytes, size_t length) {
  if (!handle_) return false;
  const auto* data = static_cast<const unsigned char*>(bytes);
  size_t done = 0;
  while (done < length) {
    const size_t left = length - done;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD wrote = 0;
    if (!::WriteFile(static_cast<HANDLE>(handle_), data + done, chunk, &wrote, nullptr) ||
        wrote == 0) {
      return false;
    }
    done += wrote;
  }
  return true;
}

bool NewFile::Sync() {
  return handle_ && ::FlushFileBuffers(static_cast<HANDLE>(handle_)) != 0;
}

bool NewFile::Close() {
  if (!handle_) return false;
  const BOOL ok = ::CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  return ok != 0;
}

bool NewFile::IsOpen() const {
  return handle_ != nullptr;
}

bool RenameNoReplace(const std::u16string& from, const std::u16string& to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists.
  return ::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool RenameReplacing(const std::u16string& from, const std::u16string& to) {
  return ::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const std::u16string& path) {
  return ::DeleteFileW(Wide(path).c_str()) != 0;
}

bool RemoveAbandonedFile(const std::u16string& path, int64_t minimumAgeSeconds) {
  const std::wstring wide = Wide(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    return false;
  }
  FILETIME nowTime;
  ::GetSystemTimeAsFileTime(&nowTime);
  const auto ticks = [](const FILETIME& t) {
    return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  // FILETIME counts 100 ns intervals.
  const int64_t ageSeconds = (ticks(nowTime) - ticks(data.ftLastWriteTime)) / 10000000;
  if (ageSeconds < minimumAgeSeconds) return false;
  // A NewFile is opened without sharing, so deleting one that a process
  // still writes fails with a sharing violation.
  return ::DeleteFileW(wide.c_str()) != 0;
}

bool RemoveFolder(const std::u16string& path) {
  return ::RemoveDirectoryW(Wide(path).c_str()) != 0;
}

std::u16string UserConfigFolder() {
  // The roaming application-data folder, created when missing.
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, folder))) {
    return std::u16string();
  }
  return FromWide(folder);
}

std::u16string AbsolutePath(const std::u16string& path) {
  const std::wstring wide = Wide(path);
  const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD got = ::GetFullPathNameW(wide.c_str(), needed, &full[0], nullptr);
  if (got == 0 || got >= needed) return path;
  full.resize(got);
  return std::u16string(full.begin(), full.end());
}

}  // namespace platform
