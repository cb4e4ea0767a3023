// The "Extract JPEG previews" command itself, behind both of the Explorer's
// ways to reach it: the classic context menu (ShellExtension) and the
// Windows 11 menu (ExplorerCommand). Both show the same text and run the
// same sequence on the calling thread: the preferences over a settings store
// of the invocation's own (written to the settings file when confirmed),
// then the extraction behind the progress dialog, which ends with the
// summary.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace shell {

// The menu entry's text and its help text (the classic menu's status bar,
// the Windows 11 menu's tooltip).
constexpr wchar_t kMenuText[] = L"Rawlift";
constexpr wchar_t kHelpText[] = L"Extract JPEG from RAW file";

// Selection paths are read into buffers of MAX_PATH units, terminator
// included; a longer path is left out of the selection by both handlers.
constexpr UINT kSelectionPathUnits = MAX_PATH;

// Runs the command over `selection` (files and folders) and returns once
// the last dialog has closed. The job reads the selection in place on its
// worker thread: it must not change until this returns. May throw
// std::bad_alloc; the COM methods calling it guard it.
void RunExtractCommand(const std::vector<std::u16string>* selection);

}  // namespace shell
