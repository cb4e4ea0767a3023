// The Windows 11 context menu's entry for the command: an IExplorerCommand
// that the Explorer creates through the package's COM class and asks about
// the selection as an IShellItemArray. Text, icon and the command itself
// are the classic handler's (shell/extract_command.h); the classic
// ShellExtension stays for Windows 10 and "Show more options".
#pragma once

// clang-format off
#include <windows.h>
#include <shobjidl.h>
// clang-format on

#include <string>
#include <vector>

namespace shell {

// What the Explorer is told about the command's icon: the module's path and
// the negated resource id, "C:\...\RididaViz.DLL,-102".
std::wstring CommandIconLocation(const std::wstring& module_path);

// Whether the command is offered for the selection: it holds a folder (not
// a compressed one, which is a file) or a file with a RAW suffix. Decided
// from the items' attributes and parsing names alone, without opening any
// file. A null or empty selection hides the command.
bool SelectionWantsCommand(IShellItemArray* items);

// The file-system paths of the selection, in order. Items without one
// (virtual items) and paths of kSelectionPathUnits units or more are left
// out, as the classic handler leaves them out of its file drop.
HRESULT SelectionPaths(IShellItemArray* items, std::vector<std::u16string>* paths);

class ExplorerCommand final : public IExplorerCommand, public IObjectWithSite {
 public:
  // The class factory's creation function (see ClassEntry). The class is
  // not aggregatable.
  static HRESULT Create(IUnknown* outer, REFIID riid, void** out);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IExplorerCommand
  STDMETHODIMP GetTitle(IShellItemArray* items, LPWSTR* name) override;
  STDMETHODIMP GetIcon(IShellItemArray* items, LPWSTR* icon) override;
  STDMETHODIMP GetToolTip(IShellItemArray* items, LPWSTR* tip) override;
  STDMETHODIMP GetCanonicalName(GUID* name) override;
  STDMETHODIMP GetState(IShellItemArray* items, BOOL ok_to_be_slow, EXPCMDSTATE* state) override;
  STDMETHODIMP Invoke(IShellItemArray* items, IBindCtx* context) override;
  STDMETHODIMP GetFlags(EXPCMDFLAGS* flags) override;
  STDMETHODIMP EnumSubCommands(IEnumExplorerCommand** commands) override;

  // IObjectWithSite
  STDMETHODIMP SetSite(IUnknown* site) override;
  STDMETHODIMP GetSite(REFIID riid, void** site) override;

 private:
  ExplorerCommand();
  ~ExplorerCommand();

  volatile LONG references_ = 1;
  IUnknown* site_ = nullptr;  // held while set
};

}  // namespace shell
