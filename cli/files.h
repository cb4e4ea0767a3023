// Writing command output: files created new (never silently replaced) and
// binary data on standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/path.h"

namespace cli {

// The path a command-line argument names, in the program's UTF-16 form. On
// POSIX the argument's bytes are the name, whatever their encoding, and are
// kept (see platform::Utf8ToUtf16KeepingBytes); on Windows arguments arrive
// from ArgumentFromCommandLine and give back the same UTF-16.
std::u16string ArgumentPath(const std::string& argument);

#ifdef _WIN32
// A UTF-16 command-line argument as the 8-bit text the commands take: UTF-8,
// with a lone surrogate (a Windows name may hold one) kept in its three-byte
// form (see platform::Utf16ToUtf8KeepingSurrogates).
std::string ArgumentFromCommandLine(const std::wstring& argument);
#endif

// The same as the system's own form: on POSIX the argument's bytes as given.
platform::NativePath NativeArgumentPath(const std::string& argument);

// The argument as valid UTF-8 for messages and reports (undecodable bytes
// become U+FFFD).
std::string DisplayArgument(const std::string& argument);

enum class WriteOutcome {
  Written,
  AlreadyExists,  // the file existed and replacing was not allowed; it is untouched
  Failed,         // could not create or write; no partial file is left behind
};

// Writes `size` bytes to the file at `path` (a command-line argument) with
// platform::WriteNewFile, as the job writes its outputs: into a new hidden
// file in the same folder first, which then takes the name in one step, so
// `path` never holds a partial or truncated file, and a failure leaves what
// was there before. Without `replace` the name is taken only if nothing is
// there, so a file that appears meanwhile is not overwritten; with it an
// existing plain file is replaced (anything else there is refused).
// *error describes a failure (with the system's message where known).
WriteOutcome WriteOutputFile(const std::string& path, const uint8_t* data, size_t size,
                             bool replace, std::string* error);

// Writes the bytes to standard output in binary mode and flushes them.
bool WriteStandardOutput(const uint8_t* data, size_t size, std::string* error);

// platform::KindOfPath and platform::IsSameFile for command-line arguments.
// True when something exists at path.
bool PathExists(const std::string& path);

// True when path names a directory.
bool IsDirectory(const std::string& path);

// Why a file argument is refused before it is opened: "is a folder", or
// "is not a regular file" for a FIFO, socket or device (opening one can
// wait for ever); null for a plain file or a name that leads nowhere.
const char* InputRefusal(const std::string& path);

// True when both paths name one existing file (so writing one destroys the other).
bool IsSameFile(const std::string& a, const std::string& b);

}  // namespace cli
