// Helpers shared by the Windows test programs: the module under test, a
// data object carrying a file-drop list, files and the folder of shots for
// end-to-end runs, registry reading, and driving dialogs from a helper
// thread.
#pragma once

// clang-format off
#include <windows.h>
#include <objidl.h>
// clang-format on

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace wintest {

// RididaViz.DLL as built by this tree, in Windows form; the module named by
// the environment variable RAWLIFT_TEST_MODULE (a Windows path) instead
// when that is set.
std::wstring ModulePath();

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using NoArgumentFn = HRESULT(WINAPI*)();

// That module, loaded on first use, and its exports (all null when it did
// not load). It stays loaded for the whole program: FreeLibrary while COM
// objects of a test are alive would make failures crash instead of fail.
struct LoadedModule {
  HMODULE handle = nullptr;
  GetClassObjectFn getClassObject = nullptr;
  NoArgumentFn canUnloadNow = nullptr;
  NoArgumentFn registerServer = nullptr;
  NoArgumentFn unregisterServer = nullptr;
};
const LoadedModule& TheModule();

// An IDataObject that answers CF_HDROP/TYMED_HGLOBAL with a DROPFILES
// list of the given paths (Unicode), or nothing at all when `offers_drop`
// is false. Counts its GetData calls.
class DropDataObject : public IDataObject {
 public:
  DropDataObject(std::vector<std::wstring> paths, bool offers_drop = true)
      : paths_(std::move(paths)), offers_drop_(offers_drop) {}
  virtual ~DropDataObject();

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override;
  STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  STDMETHODIMP QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
  STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP DUnadvise(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

  // Answers with an empty medium instead of the global memory asked for.
  void AnswerWithWrongMedium() { wrong_medium_ = true; }

  int getDataCalls() const { return get_data_calls_; }
  ULONG references() const { return references_; }

 private:
  std::vector<std::wstring> paths_;
  bool offers_drop_;
  bool wrong_medium_ = false;
  std::vector<HGLOBAL> unreleased_;
  ULONG references_ = 1;  // the test's own; never deleted by Release
  int get_data_calls_ = 0;
};

// ---- Files ----

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
// The settings file of the user running the test (under %APPDATA%).
std::filesystem::path SettingsFile();
// The folder of an end-to-end extraction, made at `folder`: a NEF and a CR2
// whose previews are 320 by 240, a file that is not raw, and a sub-folder
// with a NEF that must not be entered.
void MakeShots(const std::filesystem::path& folder);

// Registry reading.
bool KeyExists(HKEY root, const std::wstring& path);
// The string value `name` (nullptr: the default value); false when absent.
bool ReadString(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring* value);
std::vector<std::wstring> SubkeyNames(HKEY root, const std::wstring& path);
std::vector<std::wstring> ValueNames(HKEY root, const std::wstring& path);

// ---- Driving dialogs ----

// Whether windows can be shown (an X display under wine).
bool HaveDisplay();

// The dialog window of this process with that caption, waited for up to
// `milliseconds`; nullptr when none appeared.
HWND WaitForDialog(const wchar_t* caption, DWORD milliseconds = 15000);
// The same among the windows of one thread (a Win32 thread id).
HWND WaitForDialogOfThread(const wchar_t* caption, DWORD thread, DWORD milliseconds = 15000);
// Polls `condition` until it holds or the time is up.
bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds = 15000);

// Posts a click of control `id` as the dialog manager delivers it.
void ClickButton(HWND dialog, int id);
// Posts a key press to a control, through the dialog's message loop.
void PressKey(HWND control, UINT virtual_key);
std::wstring WindowText(HWND window);
bool IsChecked(HWND dialog, int id);
bool IsEnabled(HWND dialog, int id);
void SetControlText(HWND dialog, int id, const wchar_t* text);

// Runs `script` on a helper thread while the calling thread shows a modal
// dialog; joins in the destructor. When the script fails to find its
// window, it closes whatever dialog of the process it can find so the
// modal loop never blocks the test run.
class DialogScript {
 public:
  explicit DialogScript(std::function<void()> script);
  ~DialogScript();

 private:
  std::thread thread_;
};

}  // namespace wintest
