// Self-registration: the Approved value of the shell and the registry
// script of the class (resource REGISTRY 101, see rididaviz.rgs).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace shell {

constexpr wchar_t kApprovedKeyPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
constexpr wchar_t kApprovedValueData[] = L"Rawlift Shell Extension";
constexpr wchar_t kModulePlaceholder[] = L"%MODULE%";
constexpr wchar_t kPreviewHandlersKeyPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\PreviewHandlers";

// One line of the registry script.
struct ScriptStep {
  enum class Kind { Kept, Replaced, Plain, Value };
  Kind kind = Kind::Plain;
  std::wstring key;        // below the script's root
  std::wstring valueName;  // Value only
  bool hasData = false;    // a default value (keys) or the data (Value)
  std::wstring data;
};

// Parses the script text. False (with the 1-based line in *error_line) on
// a line that is not one of the four forms.
bool ParseRegistryScript(const std::wstring& text, std::vector<ScriptStep>* steps, int* error_line);

// Runs the steps below `root`, with %MODULE% replaced by module_path.
// Registering: replaced keys are deleted and created afresh, the others
// created when missing; the first failure ends the run. Unregistering:
// replaced keys are deleted, deepest first; keys already gone are fine, and
// the first other failure is the result.
HRESULT RunRegistryScript(const std::vector<ScriptStep>& steps, HKEY root,
                          const std::wstring& module_path, bool registering);

// Where registration writes: the real places, or scratch keys in tests.
struct RegistryTarget {
  HKEY classesRoot = HKEY_CLASSES_ROOT;
  HKEY approvedRoot = HKEY_LOCAL_MACHINE;
  std::wstring approvedPath = kApprovedKeyPath;
  // Whether the shell's Approved list applies (the Windows NT family).
  bool ntFamily = true;
  // The list of preview handlers the preview pane may use.
  HKEY previewHandlersRoot = HKEY_LOCAL_MACHINE;
  std::wstring previewHandlersPath = kPreviewHandlersKeyPath;
};

// The script carried in `module`'s resources.
HRESULT LoadRegistryScript(HMODULE module, std::vector<ScriptStep>* steps);

// The full path of `module`. A path that fills the whole MAX_PATH buffer
// may have been cut short: ERROR_INSUFFICIENT_BUFFER.
HRESULT RegistrationModulePath(HMODULE module, std::wstring* path);

// DllRegisterServer and DllUnregisterServer over a target.
HRESULT RegisterServer(HMODULE module, const RegistryTarget& target);
HRESULT UnregisterServer(HMODULE module, const RegistryTarget& target);

// Whether GetVersion reports the Windows NT family (top bit clear).
bool IsWindowsNtFamily();

}  // namespace shell
