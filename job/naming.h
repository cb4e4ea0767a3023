// Where extracted previews go and what they are called.
//
// Every output lands in a sub-folder of the RAW file's own folder (or of its
// place under an output root, see JobOptions::outputRoot), under a name
// built from a fixed pattern, %N being the file's base name
// (BaseNamesOfFolder):
//
//   full-size:    extracted_jpegs/%N_RLFT.jpg        (%N.jpg without suffix)
//   reduced copy: extracted_jpegs_%W/%N_RLFT_%W.jpg  (%N.jpg without suffix)
//
// Placeholders are '%' plus one case-sensitive character. Folder patterns
// know %W, %H (the bounds) and %% (one '%'); file-name patterns know %N (base
// name), %E (extension), %W, %H (the image's size) and keep %% as the two
// characters. Anything else is copied as it stands, and inserted values are
// never scanned again.
//
// Paths are UTF-16. Every function that splits or joins paths takes the
// separator, defaulting to the platform's ('\' on Windows, '/' on POSIX), so
// both forms can be exercised anywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/path.h"
#include "settings/settings_store.h"

namespace job {

// "extracted_jpegs" or, for the reduced copy, "extracted_jpegs_%W".
std::u16string OutputFolderPattern(bool reduced);
// "%N_RLFT.jpg" / "%N_RLFT_%W.jpg" with addSuffix, "%N.jpg" for both without.
std::u16string OutputFileNamePattern(const settings::ExtractionSettings& settings, bool reduced);

// True for the names of the job's own output folders: "extracted_jpegs" and
// "extracted_jpegs_" followed by anything (the bound of this or an earlier
// run). ASCII case is ignored: Windows and the FAT and exFAT file systems of
// memory cards ignore it, so a folder named so would receive outputs.
bool IsOutputFolderName(const std::u16string& name);

std::u16string ExpandFolderPattern(const std::u16string& pattern, int32_t width, int32_t height);
std::u16string ExpandFileNamePattern(const std::u16string& pattern, const std::u16string& baseName,
                                     const std::u16string& extension, int32_t width,
                                     int32_t height);

// The RAW file's folder with a trailing separator. A single trailing
// separator on the path is ignored first. False when the path holds no
// separator at all: such a file is not processed.
bool ParentFolderOf(const std::u16string& rawPath, std::u16string* parent,
                    char16_t separator = platform::kPathSeparator);

// Splits the file name (after the last separator) at its first dot after
// any leading dots, which stay part of the name: "trip.day1.NEF" -> "trip"
// and "day1.NEF", ".first.NEF" -> ".first" and "NEF" (hidden names such as
// the "._IMG_0001.CR3" files macOS leaves on cards keep their own outputs).
// No such dot: the name and "".
void SplitFileName(const std::u16string& rawPath, std::u16string* baseName,
                   std::u16string* extension, char16_t separator = platform::kPathSeparator);

// The base names of the RAW files of one folder, given their file names
// (in any order), so that no two of them share an output name. The base
// name is the stem (SplitFileName) except where two files share a stem
// (ASCII case ignored, as FAT, exFAT and Windows ignore it): of those, the
// file whose remaining name sorts first keeps the stem, and every other one
// adds "_" and its remaining name with dots turned into underscores.
//   IMG_0001.CR3, IMG_0001.CRW -> IMG_0001, IMG_0001_CRW
//   a.b.NEF, a.c.NEF           -> a, a_c_NEF
// Should such a name be another file's stem, or given out already, it takes
// "_2", "_3"... Returned in the order of `names`.
std::vector<std::u16string> BaseNamesOfFolder(const std::vector<std::u16string>& names);

// folder + separator (unless folder already ends with one) + name.
std::u16string OutputFilePath(const std::u16string& folder, const std::u16string& fileName,
                              char16_t separator = platform::kPathSeparator);

// Joins parent and folder name; succeeds when that is an existing directory
// or one level of it could be created. On failure *systemError (when given)
// is the system's error number of the creation, or 0 when not known.
bool EnsureOutputFolder(const std::u16string& parentFolder, const std::u16string& folderName,
                        std::u16string* outputFolder, char16_t separator = platform::kPathSeparator,
                        int* systemError = nullptr);

// Creates `folder` and every missing folder above it. False, with the
// system's error number in *systemError, when a level cannot be created.
bool EnsureFolderTree(const std::u16string& folder, int* systemError,
                      char16_t separator = platform::kPathSeparator);

// True when the file can be opened for reading. A file that exists but is
// locked counts as absent; creating it then decides.
bool OutputFileExists(const std::u16string& path);

}  // namespace job
