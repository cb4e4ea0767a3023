#include "shell/file_type_handlers.h"

#include <shlobj.h>

#include "job/extraction_job.h"
#include "settings/settings_store.h"
#include "shell/guids.h"

namespace shell {
namespace {

struct HandlerClass {
  const wchar_t* clsid;
  const wchar_t* name;
  const wchar_t* shellExKey;  // the type's ShellEx key that names the handler
  const wchar_t* appId;       // the surrogate that runs it, or nullptr
};

const HandlerClass kHandlerClasses[] = {
    {kThumbnailProviderClsidText, kThumbnailProviderName, kThumbnailHandlerKey, nullptr},
    {kPreviewHandlerClsidText, kPreviewHandlerName, kPreviewHandlerKey, kPreviewHostAppId},
};

LSTATUS SetString(HKEY key, const wchar_t* name, const std::wstring& data) {
  const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()), bytes);
}

bool IsGone(LSTATUS status) {
  return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND;
}

// Creates `path` below `root` (when missing) and sets one string value.
LSTATUS WriteValue(HKEY root, const std::wstring& path, const wchar_t* name,
                   const std::wstring& data) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = SetString(key, name, data);
  RegCloseKey(key);
  return status;
}

// The string value `name` (nullptr: the default); false when there is none.
bool ReadValue(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring* data) {
  wchar_t buffer[256];
  DWORD bytes = sizeof buffer;
  DWORD type = 0;
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, &type, buffer, &bytes) !=
      ERROR_SUCCESS) {
    return false;
  }
  data->assign(buffer);
  return true;
}

LSTATUS DeleteTree(HKEY root, const std::wstring& path) {
  const LSTATUS status = RegDeleteTreeW(root, path.c_str());
  if (status != ERROR_SUCCESS) return IsGone(status) ? ERROR_SUCCESS : status;
  const LSTATUS removed = RegDeleteKeyW(root, path.c_str());
  return IsGone(removed) ? ERROR_SUCCESS : removed;
}

// Deletes `path` when it holds neither values nor subkeys.
void DeleteIfEmpty(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
  DWORD subkeys = 0, values = 0;
  const LSTATUS status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                          nullptr, &values, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  if (status == ERROR_SUCCESS && subkeys == 0 && values == 0) RegDeleteKeyW(root, path.c_str());
}

bool SameText(const std::wstring& a, const wchar_t* b) {
  return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

std::vector<std::wstring> RawTypeKeys() {
  const job::ExtractionJob suffixes{settings::ExtractionSettings()};
  const_cast<job::ExtractionJob&>(suffixes).FillRawSuffixes();
  std::vector<std::wstring> keys;
  for (const std::u16string& suffix : suffixes.rawSuffixes()) {
    std::wstring key = L"SystemFileAssociations\\.";
    for (char16_t c : suffix) {
      key += static_cast<wchar_t>(c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c);
    }
    keys.push_back(key);
  }
  return keys;
}

HRESULT RegisterFileTypeHandlers(const RegistryTarget& target, const std::wstring& module_path) {
  for (const HandlerClass& handler : kHandlerClasses) {
    const std::wstring class_key = std::wstring(L"CLSID\\") + handler.clsid;
    LSTATUS status = DeleteTree(target.classesRoot, class_key);
    if (status == ERROR_SUCCESS)
      status = WriteValue(target.classesRoot, class_key, nullptr, handler.name);
    if (status == ERROR_SUCCESS && handler.appId != nullptr) {
      status = WriteValue(target.classesRoot, class_key, L"AppID", handler.appId);
    }
    const std::wstring server = class_key + L"\\InprocServer32";
    if (status == ERROR_SUCCESS)
      status = WriteValue(target.classesRoot, server, nullptr, module_path);
    if (status == ERROR_SUCCESS) {
      status = WriteValue(target.classesRoot, server, L"ThreadingModel", L"Apartment");
    }
    if (status == ERROR_SUCCESS && target.ntFamily) {
      status = WriteValue(target.approvedRoot, target.approvedPath, handler.clsid, handler.name);
    }
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  }
  LSTATUS status = WriteValue(target.previewHandlersRoot, target.previewHandlersPath,
                              kPreviewHandlerClsidText, kPreviewHandlerName);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);

  for (const std::wstring& type : RawTypeKeys()) {
    for (const HandlerClass& handler : kHandlerClasses) {
      const std::wstring key = type + L"\\ShellEx\\" + handler.shellExKey;
      std::wstring present;
      // Another program's handler for the type stays in place.
      if (ReadValue(target.classesRoot, key, nullptr, &present) && !present.empty() &&
          !SameText(present, handler.clsid)) {
        continue;
      }
      status = WriteValue(target.classesRoot, key, nullptr, handler.clsid);
      if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    }
  }
  if (target.classesRoot == HKEY_CLASSES_ROOT) {
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  }
  return S_OK;
}

HRESULT UnregisterFileTypeHandlers(const RegistryTarget& target) {
  HRESULT result = S_OK;
  auto note = [&](LSTATUS status) {
    if (status != ERROR_SUCCESS && !IsGone(status) && result == S_OK) {
      result = HRESULT_FROM_WIN32(status);
    }
  };
  for (const std::wstring& type : RawTypeKeys()) {
    for (const HandlerClass& handler : kHandlerClasses) {
      const std::wstring shell_ex = type + L"\\ShellEx";
      const std::wstring key = shell_ex + L"\\" + handler.shellExKey;
      std::wstring present;
      if (!ReadValue(target.classesRoot, key, nullptr, &present) ||
          !SameText(present, handler.clsid)) {
        continue;  // gone, or another program's since
      }
      HKEY opened = nullptr;
      LSTATUS status = RegOpenKeyExW(target.classesRoot, key.c_str(), 0, KEY_SET_VALUE, &opened);
      if (status == ERROR_SUCCESS) {
        status = RegDeleteValueW(opened, nullptr);
        RegCloseKey(opened);
      }
      note(status);
      DeleteIfEmpty(target.classesRoot, key);
      DeleteIfEmpty(target.classesRoot, shell_ex);
      DeleteIfEmpty(target.classesRoot, type);
    }
  }
  HKEY list = nullptr;
  if (RegOpenKeyExW(target.previewHandlersRoot, target.previewHandlersPath.c_str(), 0,
                    KEY_SET_VALUE, &list) == ERROR_SUCCESS) {
    note(RegDeleteValueW(list, kPreviewHandlerClsidText));
    RegCloseKey(list);
  }
  for (const HandlerClass& handler : kHandlerClasses) {
    if (target.ntFamily) {
      HKEY approved = nullptr;
      if (RegOpenKeyExW(target.approvedRoot, target.approvedPath.c_str(), 0, KEY_SET_VALUE,
                        &approved) == ERROR_SUCCESS) {
        RegDeleteValueW(approved, handler.clsid);
        RegCloseKey(approved);
      }
    }
    note(DeleteTree(target.classesRoot, std::wstring(L"CLSID\\") + handler.clsid));
  }
  if (target.classesRoot == HKEY_CLASSES_ROOT) {
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  }
  return result;
}

}  // namespace shell
