#include "tests/windows/win_test_support.h"

#include <shlobj.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/jpeg.h"

namespace wintest {

std::wstring ModulePath() {
  // The installer test runs the tests against the installed module.
  wchar_t chosen[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"RAWLIFT_TEST_MODULE", chosen, MAX_PATH);
  if (length > 0 && length < MAX_PATH) return std::wstring(chosen, length);
  std::string unix_path = RAWLIFT_DLL_PATH;
  std::wstring path = L"Z:";
  for (char c : unix_path) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

namespace {

LoadedModule LoadModule() {
  LoadedModule m;
  m.handle = LoadLibraryW(ModulePath().c_str());
  if (m.handle == nullptr) return m;
  auto exported = [&](const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(m.handle, name));
  };
  m.getClassObject = reinterpret_cast<GetClassObjectFn>(exported("DllGetClassObject"));
  m.canUnloadNow = reinterpret_cast<NoArgumentFn>(exported("DllCanUnloadNow"));
  m.registerServer = reinterpret_cast<NoArgumentFn>(exported("DllRegisterServer"));
  m.unregisterServer = reinterpret_cast<NoArgumentFn>(exported("DllUnregisterServer"));
  return m;
}

}  // namespace

const LoadedModule& TheModule() {
  static const LoadedModule module = LoadModule();
  return module;
}

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::filesystem::path SettingsFile() {
  wchar_t base[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, base);
  return std::filesystem::path(base) / L"Corvane" / L"RLFT" / L"RLFT.cfg";
}

void MakeShots(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder / "sub");
  fixtures::JpegOptions options;
  options.width = 320;
  options.height = 240;
  options.app = fixtures::JpegApp::Exif;
  fixtures::ShotInfo shot;
  shot.make = "NIKON CORPORATION";
  shot.model = "NIKON D90";
  WriteBytes(folder / "DSC_0001.NEF", fixtures::MakeNefLike(shot, fixtures::MakeJpeg(options)));
  shot.make = "Canon";
  shot.model = "Canon EOS 40D";
  options.seed = 2;
  WriteBytes(folder / "IMG_0002.CR2", fixtures::MakeCr2Like(shot, fixtures::MakeJpeg(options)));
  WriteBytes(folder / "notes.txt", {'h', 'i'});
  WriteBytes(folder / "sub" / "DSC_0003.NEF", fixtures::MakeNefLike(shot, fixtures::MakeJpeg()));
}

STDMETHODIMP DropDataObject::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDataObject)) {
    *out = static_cast<IDataObject*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

DropDataObject::~DropDataObject() {
  for (HGLOBAL memory : unreleased_) GlobalFree(memory);
}

STDMETHODIMP_(ULONG) DropDataObject::Release() {
  return --references_;
}

STDMETHODIMP DropDataObject::GetData(FORMATETC* format, STGMEDIUM* medium) {
  ++get_data_calls_;
  if (!offers_drop_ || format == nullptr || medium == nullptr) return DV_E_FORMATETC;
  if (format->cfFormat != CF_HDROP || !(format->tymed & TYMED_HGLOBAL)) return DV_E_FORMATETC;
  // DROPFILES, then each path with its terminator, then one more terminator
  // (an empty list is two terminators: readers look past the first).
  size_t units = paths_.empty() ? 2 : 1;
  for (const std::wstring& p : paths_) units += p.size() + 1;
  const size_t bytes = sizeof(DROPFILES) + units * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
  if (memory == nullptr) return E_OUTOFMEMORY;
  auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->fWide = TRUE;
  auto* text = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(drop) + sizeof(DROPFILES));
  for (const std::wstring& p : paths_) {
    std::memcpy(text, p.c_str(), (p.size() + 1) * sizeof(wchar_t));
    text += p.size() + 1;
  }
  *text = L'\0';
  GlobalUnlock(memory);
  // The wrong answer still carries a drop list, so only the medium's type
  // tells it apart; the test frees the memory, which nothing releases.
  medium->tymed = wrong_medium_ ? TYMED_NULL : TYMED_HGLOBAL;
  medium->hGlobal = memory;
  if (wrong_medium_) unreleased_.push_back(memory);
  medium->pUnkForRelease = nullptr;
  return S_OK;
}

bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool ReadString(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring* value) {
  wchar_t buffer[1024];
  DWORD bytes = sizeof(buffer);
  DWORD type = 0;
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_ANY, &type, buffer, &bytes) != ERROR_SUCCESS)
    return false;
  if (type != REG_SZ) return false;
  value->assign(buffer, bytes / sizeof(wchar_t));
  while (!value->empty() && value->back() == L'\0') value->pop_back();
  return true;
}

std::vector<std::wstring> SubkeyNames(HKEY root, const std::wstring& path) {
  std::vector<std::wstring> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(name, length);
  }
  RegCloseKey(key);
  return names;
}

std::vector<std::wstring> ValueNames(HKEY root, const std::wstring& path) {
  std::vector<std::wstring> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(name, length);
  }
  RegCloseKey(key);
  return names;
}

bool HaveDisplay() {
  wchar_t display[256];
  return GetEnvironmentVariableW(L"DISPLAY", display, 256) > 0;
}

namespace {
struct FindRequest {
  const wchar_t* caption;
  DWORD thread;  // 0: any thread of the process
  HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM parameter) {
  auto* request = reinterpret_cast<FindRequest*>(parameter);
  DWORD process = 0;
  const DWORD thread = GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
  if (request->thread != 0 && thread != request->thread) return TRUE;
  wchar_t class_name[32];
  if (GetClassNameW(window, class_name, 32) == 0 || std::wcscmp(class_name, L"#32770") != 0)
    return TRUE;
  if (request->caption != nullptr && WindowText(window) != request->caption) return TRUE;
  request->found = window;
  return FALSE;
}

HWND FindDialog(const wchar_t* caption, DWORD thread) {
  FindRequest request = {caption, thread, nullptr};
  EnumWindows(&MatchDialog, reinterpret_cast<LPARAM>(&request));
  return request.found;
}
}  // namespace

HWND WaitForDialog(const wchar_t* caption, DWORD milliseconds) {
  return WaitForDialogOfThread(caption, 0, milliseconds);
}

HWND WaitForDialogOfThread(const wchar_t* caption, DWORD thread, DWORD milliseconds) {
  HWND found = nullptr;
  WaitUntil([&] { return (found = FindDialog(caption, thread)) != nullptr; }, milliseconds);
  return found;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  while (!condition()) {
    if (GetTickCount64() > end) return false;
    Sleep(20);
  }
  return true;
}

void ClickButton(HWND dialog, int id) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void PressKey(HWND control, UINT virtual_key) {
  PostMessageW(control, WM_KEYDOWN, virtual_key, 1);
  PostMessageW(control, WM_KEYUP, virtual_key, 0xC0000001);
}

std::wstring WindowText(HWND window) {
  wchar_t text[1024];
  const int length = GetWindowTextW(window, text, 1024);
  return std::wstring(text, length > 0 ? length : 0);
}

bool IsChecked(HWND dialog, int id) {
  return SendMessageW(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool IsEnabled(HWND dialog, int id) {
  return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

void SetControlText(HWND dialog, int id, const wchar_t* text) {
  SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

DialogScript::DialogScript(std::function<void()> script)
    : thread_([script] {
        script();
        // Whatever the script left open ends here, so a failed expectation
        // never leaves the modal loop waiting.
        Sleep(200);
        for (int i = 0; i < 50; ++i) {
          HWND left = FindDialog(nullptr, 0);
          if (left == nullptr) break;
          PostMessageW(left, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
          Sleep(200);
        }
      }) {}

DialogScript::~DialogScript() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace wintest
