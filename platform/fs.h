// Folders, new files, renames and clocks at the system boundary, for the
// extraction job and the settings file. Paths are UTF-16 (see path.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/path.h"

namespace platform {

bool IsDirectory(const std::u16string& path);

// What a path leads to, through symbolic links.
enum class PathKind {
  kNothing,    // no such name, or a link that leads nowhere
  kPlainFile,  // a regular file
  kFolder,
  kOther,  // a device, pipe or socket: no file to read or to replace
};
// Told by the C library's stat (on Windows the runtime's, which tells a
// device name such as NUL from a file, where file attributes do not).
PathKind KindOfPath(const std::u16string& path);
// True when both paths name one existing file: POSIX compares device and
// inode; Windows the full paths, without regard to case as its file systems.
bool IsSameFile(const std::u16string& a, const std::u16string& b);

// Creates one folder level with default permissions; false when it could not
// be created (it exists, its parent is missing, the medium is read-only);
// then *systemError (when given) is the C library's error number for the
// cause (EACCES, EROFS, ENOSPC...), or 0 when it cannot be told.
bool CreateFolder(const std::u16string& path, int* systemError = nullptr);

struct FolderEntry {
  std::u16string name;
  // isDirectory and isSpecial describe what the entry leads to, through a
  // link when it is one.
  bool isDirectory = false;
  // Neither a folder nor a plain file (a FIFO, socket or device on POSIX):
  // opening one can block or read forever.
  bool isSpecial = false;
  // A symbolic link on POSIX; on Windows a reparse point that stands for
  // another name (symbolic link or junction; not, say, a cloud placeholder,
  // which is the folder itself). A walk down a tree must not follow links to
  // folders: one can lead back up the tree it is in.
  bool isLink = false;
};
// The entries directly inside `folder` (with or without a trailing
// separator), "." and ".." left out, in the order the system delivers them.
// False when the folder cannot be listed.
bool ListFolder(const std::u16string& folder, std::vector<FolderEntry>* entries);

// What tells one folder from another whatever the path that leads to it:
// device and inode on POSIX, volume serial number and file index on Windows.
struct FolderIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator<(const FolderIdentity& o) const {
    return volume != o.volume ? volume < o.volume : index < o.index;
  }
};
// False when `path` is no folder or the system cannot tell its identity.
bool GetFolderIdentity(const std::u16string& path, FolderIdentity* identity);

// True when the file can be opened for reading (a folder cannot).
bool CanOpenForReading(const std::u16string& path);

// A file created by this process that did not exist before, written in full
// or not at all. The destructor closes it; it never removes it.
class NewFile {
 public:
  NewFile() = default;
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Fails when anything exists at `path`. While it is open, the file is
  // marked as in use, so RemoveAbandonedFile leaves it alone.
  bool Create(const std::u16string& path);
  // Writes all bytes; false on any short or failed write.
  bool Write(const void* bytes, size_t length);
  // Asks the system to put the written bytes on the medium, so that a later
  // rename cannot outlive them after a power cut.
  bool Sync();
  // Closes; false when the system reports an error, which for
  // some file systems is the first sign of a full disk.
  bool Close();
  bool IsOpen() const;

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// How many names CreateUniqueFile tries before it gives up; a clash needs
// another process picking the same random name at the same moment, so a few
// tries are plenty.
constexpr int kUniqueFileAttempts = 32;

// Creates a new file named prefix + 16 random hex digits + suffix inside
// `folder` and returns its path. False when none could be created.
bool CreateUniqueFile(const std::u16string& folder, const std::u16string& prefix,
                      const std::u16string& suffix, NewFile* file, std::u16string* path,
                      char16_t separator = kPathSeparator);

// Moves `from` to `to` only if nothing is at `to`, atomically where the file
// system allows it. False (and `from` left in place) otherwise.
bool RenameNoReplace(const std::u16string& from, const std::u16string& to);

// What WriteNewFile does about a file already at its path.
enum class ExistingFile {
  kKeep,  // never replaced: the write fails with kNameTaken
  // A plain file is replaced in the move (a name given to another link of it
  // keeps the old bytes); anything else there is refused with kNotPlainFile.
  kReplacePlainFile,
};

// Why WriteNewFile wrote nothing.
enum class WriteFailure {
  kNone,
  kNotPlainFile,  // kReplacePlainFile found a folder, device or pipe at the path
  kCannotCreate,  // no temporary could be created in the path's folder
  kCannotWrite,   // writing, flushing or closing the temporary failed
  kNameTaken,     // kKeep, and a file is at the path (perhaps put there meanwhile)
  kCannotMove,    // the temporary could not take the path's name
};

struct WriteResult {
  WriteFailure failure = WriteFailure::kNone;
  // The C library's errno when the failing step set one, else 0 (the Win32
  // calls of the Windows units leave it alone).
  int systemError = 0;
  // True when the file was written.
  explicit operator bool() const { return failure == WriteFailure::kNone; }
};

// Writes `length` bytes as a file at `path`: into a new temporary
// (CreateUniqueFile with the prefix and suffix) in the same folder (the
// current folder for a bare name), then moved to `path` in one step, so that
// whenever the process stops no file under `path` is incomplete. With
// `flush` the bytes are on the medium before the move, so that not even a
// power cut leaves an empty file under `path`. On any failure the temporary
// is removed and whatever was at `path` stays. Every output of the program
// is written by this function.
WriteResult WriteNewFile(const std::u16string& path, const void* bytes, size_t length,
                         const std::u16string& temporaryPrefix,
                         const std::u16string& temporarySuffix, bool flush,
                         ExistingFile existing = ExistingFile::kKeep);
// Moves `from` to `to`, replacing a file there.
bool RenameReplacing(const std::u16string& from, const std::u16string& to);
bool RemoveFile(const std::u16string& path);
// Removes a plain file that no NewFile holds open and that was last written
// at least `minimumAgeSeconds` ago: the leftover of a process that ended
// while writing it. True when it was removed.
bool RemoveAbandonedFile(const std::u16string& path, int64_t minimumAgeSeconds);
// Removes an empty folder.
bool RemoveFolder(const std::u16string& path);

// The per-user folder for application settings: the roaming application-data
// folder on Windows, $XDG_CONFIG_HOME or ~/.config on POSIX. Empty when it
// cannot be told.
std::u16string UserConfigFolder();
// The POSIX rule on its own: an absolute XDG_CONFIG_HOME wins, else
// HOME + "/.config", else empty.
std::u16string ConfigFolderFromEnvironment(const char* xdgConfigHome, const char* home);

// `path` made absolute against the current folder (no symbolic links are
// resolved, nothing needs to exist). Returned unchanged when it cannot be.
std::u16string AbsolutePath(const std::u16string& path);

// Milliseconds of a clock that never goes backwards.
int64_t MonotonicMilliseconds();
// Calendar time in whole seconds.
int64_t CalendarSeconds();

}  // namespace platform
