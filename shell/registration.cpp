#include "shell/registration.h"

#include "shell/file_type_handlers.h"
#include "shell/guids.h"
#include "ui/resource_ids.h"

namespace shell {
namespace {

// The script resource is a few hundred bytes; anything far larger is not
// ours.
constexpr DWORD kMaxScriptBytes = 64 * 1024;

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\r';
}

// Splits one line into words, quoted strings (no escapes: backslashes are
// part of key paths) and "=". False on an unterminated quote.
bool Tokenize(const std::wstring& line, std::vector<std::wstring>* tokens,
              std::vector<bool>* quoted) {
  size_t at = 0;
  while (at < line.size()) {
    if (IsBlank(line[at])) {
      ++at;
    } else if (line[at] == L'#') {
      break;
    } else if (line[at] == L'"') {
      const size_t end = line.find(L'"', at + 1);
      if (end == std::wstring::npos) return false;
      tokens->push_back(line.substr(at + 1, end - at - 1));
      quoted->push_back(true);
      at = end + 1;
    } else if (line[at] == L'=') {
      tokens->push_back(L"=");
      quoted->push_back(false);
      ++at;
    } else {
      size_t end = at;
      while (end < line.size() && !IsBlank(line[end]) && line[end] != L'=' && line[end] != L'"')
        ++end;
      tokens->push_back(line.substr(at, end - at));
      quoted->push_back(false);
      at = end;
    }
  }
  return true;
}

bool ParseLine(const std::wstring& line, std::vector<ScriptStep>* steps, bool* ok) {
  std::vector<std::wstring> tokens;
  std::vector<bool> quoted;
  *ok = Tokenize(line, &tokens, &quoted);
  if (!*ok || tokens.empty()) return *ok;
  auto is_string = [&](size_t i) { return i < tokens.size() && quoted[i]; };
  auto is_equals = [&](size_t i) { return i < tokens.size() && !quoted[i] && tokens[i] == L"="; };

  ScriptStep step;
  const std::wstring& verb = tokens[0];
  if (quoted[0]) {
    *ok = false;
  } else if (verb == L"value") {
    step.kind = ScriptStep::Kind::Value;
    *ok = tokens.size() == 5 && is_string(1) && is_string(2) && is_equals(3) && is_string(4);
    if (*ok) {
      step.key = tokens[1];
      step.valueName = tokens[2];
      step.hasData = true;
      step.data = tokens[4];
    }
  } else if (verb == L"kept" || verb == L"replaced" || verb == L"key") {
    step.kind = verb == L"kept"       ? ScriptStep::Kind::Kept
                : verb == L"replaced" ? ScriptStep::Kind::Replaced
                                      : ScriptStep::Kind::Plain;
    *ok = (tokens.size() == 2 && is_string(1)) ||
          (tokens.size() == 4 && is_string(1) && is_equals(2) && is_string(3));
    if (*ok) {
      step.key = tokens[1];
      step.hasData = tokens.size() == 4;
      if (step.hasData) step.data = tokens[3];
    }
  } else {
    *ok = false;
  }
  // An empty key path would name the root itself, which the script must
  // never delete.
  if (*ok && step.key.empty()) *ok = false;
  if (*ok) steps->push_back(step);
  return *ok;
}

std::wstring Expand(const std::wstring& text, const std::wstring& module_path) {
  std::wstring result = text;
  const std::wstring placeholder = kModulePlaceholder;
  for (size_t at = result.find(placeholder); at != std::wstring::npos;
       at = result.find(placeholder, at + module_path.size())) {
    result.replace(at, placeholder.size(), module_path);
  }
  return result;
}

LSTATUS SetString(HKEY key, const wchar_t* name, const std::wstring& data) {
  const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()), bytes);
}

LSTATUS DeleteTree(HKEY root, const std::wstring& key) {
  const LSTATUS status = RegDeleteTreeW(root, key.c_str());
  if (status == ERROR_SUCCESS) {
    // RegDeleteTree empties the key; the key itself goes with RegDeleteKey.
    const LSTATUS removed = RegDeleteKeyW(root, key.c_str());
    return removed == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : removed;
  }
  return status;
}

bool IsGone(LSTATUS status) {
  return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND;
}

LSTATUS RegisterStep(const ScriptStep& step, HKEY root, const std::wstring& module_path) {
  if (step.kind == ScriptStep::Kind::Replaced) {
    const LSTATUS deleted = DeleteTree(root, step.key);
    if (deleted != ERROR_SUCCESS && !IsGone(deleted)) return deleted;
  }
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(root, step.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  if (step.hasData) {
    const wchar_t* name = step.kind == ScriptStep::Kind::Value ? step.valueName.c_str() : nullptr;
    status = SetString(key, name, Expand(step.data, module_path));
  }
  RegCloseKey(key);
  return status;
}

}  // namespace

bool ParseRegistryScript(const std::wstring& text, std::vector<ScriptStep>* steps,
                         int* error_line) {
  steps->clear();
  int line_number = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    ++line_number;
    bool ok = true;
    ParseLine(text.substr(start, end - start), steps, &ok);
    if (!ok) {
      if (error_line != nullptr) *error_line = line_number;
      steps->clear();
      return false;
    }
    start = end + 1;
  }
  return true;
}

HRESULT RunRegistryScript(const std::vector<ScriptStep>& steps, HKEY root,
                          const std::wstring& module_path, bool registering) {
  if (registering) {
    for (const ScriptStep& step : steps) {
      const LSTATUS status = RegisterStep(step, root, module_path);
      if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    }
    return S_OK;
  }
  HRESULT result = S_OK;
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    if (step->kind != ScriptStep::Kind::Replaced) continue;
    const LSTATUS status = DeleteTree(root, step->key);
    if (status != ERROR_SUCCESS && !IsGone(status) && result == S_OK) {
      result = HRESULT_FROM_WIN32(status);
    }
  }
  return result;
}

HRESULT LoadRegistryScript(HMODULE module, std::vector<ScriptStep>* steps) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDR_REGISTRY_SCRIPT), L"REGISTRY");
  if (found == nullptr) return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
  const DWORD size = SizeofResource(module, found);
  HGLOBAL loaded = LoadResource(module, found);
  const char* bytes = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (bytes == nullptr || size == 0 || size > kMaxScriptBytes) return E_UNEXPECTED;
  const int units = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), nullptr, 0);
  std::wstring text(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), &text[0], units);
  return ParseRegistryScript(text, steps, nullptr) ? S_OK : E_UNEXPECTED;
}

HRESULT RegistrationModulePath(HMODULE module, std::wstring* path) {
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, buffer, MAX_PATH);
  if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
  if (length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  path->assign(buffer, length);
  return S_OK;
}

bool IsWindowsNtFamily() {
  return (GetVersion() & 0x80000000u) == 0;
}

HRESULT RegisterServer(HMODULE module, const RegistryTarget& target) {
  // Everything that can fail without touching the registry comes first, so
  // a failed registration writes nothing.
  std::wstring module_path;
  HRESULT result = RegistrationModulePath(module, &module_path);
  if (FAILED(result)) return result;
  std::vector<ScriptStep> steps;
  result = LoadRegistryScript(module, &steps);
  if (FAILED(result)) return result;

  if (target.ntFamily) {
    HKEY approved = nullptr;
    if (RegOpenKeyExW(target.approvedRoot, target.approvedPath.c_str(), 0, KEY_SET_VALUE,
                      &approved) != ERROR_SUCCESS) {
      return E_ACCESSDENIED;
    }
    const LSTATUS status = SetString(approved, kShellExtensionClsidText, kApprovedValueData);
    RegCloseKey(approved);
    if (status != ERROR_SUCCESS) return E_ACCESSDENIED;
  }
  result = RunRegistryScript(steps, target.classesRoot, module_path, true);
  if (FAILED(result)) return result;
  return RegisterFileTypeHandlers(target, module_path);
}

HRESULT UnregisterServer(HMODULE module, const RegistryTarget& target) {
  if (target.ntFamily) {
    HKEY approved = nullptr;
    if (RegOpenKeyExW(target.approvedRoot, target.approvedPath.c_str(), 0, KEY_SET_VALUE,
                      &approved) == ERROR_SUCCESS) {
      RegDeleteValueW(approved, kShellExtensionClsidText);
      RegCloseKey(approved);
    }
  }
  const HRESULT handlers = UnregisterFileTypeHandlers(target);
  std::vector<ScriptStep> steps;
  HRESULT result = LoadRegistryScript(module, &steps);
  if (FAILED(result)) return result;
  result = RunRegistryScript(steps, target.classesRoot, L"", false);
  return FAILED(result) ? result : handlers;
}

}  // namespace shell
