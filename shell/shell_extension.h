// The context-menu handler: IShellExtInit receives the Explorer's selection,
// IContextMenu adds "Rawlift" to the menu and runs the whole sequence of the
// command (the preferences over a settings store of its own, written to the
// settings file when confirmed, then the extraction behind the progress
// dialog). Several handler objects may run the command at once on different
// threads of the Explorer.
#pragma once

// clang-format off
#include <windows.h>
#include <shlobj.h>
// clang-format on

#include <string>
#include <vector>

#include "shell/extract_command.h"

namespace shell {

class ShellExtension final : public IShellExtInit, public IContextMenu {
 public:
  // The class factory's creation function (see ClassEntry).
  static HRESULT Create(IUnknown* outer, REFIID riid, void** out);

  // IUnknown: delegates to the controlling unknown (the aggregate's outer
  // object, or this object's own when it stands alone).
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IShellExtInit
  STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* data, HKEY program_key) override;

  // IContextMenu
  STDMETHODIMP QueryContextMenu(HMENU menu, UINT index, UINT first_id, UINT last_id,
                                UINT flags) override;
  STDMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* info) override;
  STDMETHODIMP GetCommandString(UINT_PTR command, UINT type, UINT* reserved, CHAR* buffer,
                                UINT buffer_size) override;

  const std::vector<std::u16string>& selection() const { return selection_; }

 private:
  // The object's own IUnknown, which an aggregate holds.
  class InnerUnknown final : public IUnknown {
   public:
    explicit InnerUnknown(ShellExtension* owner) : owner_(owner) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

   private:
    ShellExtension* owner_;
  };

  explicit ShellExtension(IUnknown* outer);
  ~ShellExtension();

  InnerUnknown inner_;
  IUnknown* outer_;  // the aggregate's outer object, or nullptr
  // Changed without interlocked operations: the class lives in a single-
  // threaded apartment.
  ULONG references_ = 1;
  std::vector<std::u16string> selection_;
  // Invocations under way. The job reads selection_ in place on its worker
  // thread, so the selection must not grow (and reallocate) meanwhile; the
  // modal loops of the dialogs let other calls reach the object.
  int activeInvocations_ = 0;
};

}  // namespace shell
