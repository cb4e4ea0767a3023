// The base of both dialogs: binds an object to a dialog window built from a
// dialog resource, routes the window's messages to virtual operations, ends
// the dialog on OK and Cancel, paints the background and keeps GDI+ started
// while any dialog object is alive, on whichever thread (the reducer needs it
// during a job).
#pragma once

// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "platform/graphics_session.h"

namespace ui {

// The module whose resources hold the dialog templates: the DLL itself, or
// a test program that links the same templates.
void SetResourceModule(HINSTANCE module);
HINSTANCE ResourceModule();

class DialogBase {
 public:
  DialogBase() = default;
  virtual ~DialogBase() = default;
  DialogBase(const DialogBase&) = delete;
  DialogBase& operator=(const DialogBase&) = delete;

  // Runs the modal dialog of template `resource_id` for `dialog`, owned by
  // the calling thread's active window. Returns the end code, or -1 when the
  // dialog could not be shown (no object, missing template, shown before).
  static INT_PTR ShowModal(DialogBase* dialog, int resource_id);
  static INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  HWND Window() const { return window_; }

  virtual void OnInitDialog() {}
  virtual void OnDestroy() {}
  // Default: a click (code 0) on id 1 runs OnOK and ends with 1, on id 2
  // ends with 2; everything else is ignored.
  virtual void OnCommand(int control_id, int notification_code);
  virtual void OnOK() {}
  // Every message the procedure does not route itself. Answers true for
  // WM_ACTIVATE, so the dialog manager does not restore the focus on
  // activation, and false for everything else (default processing).
  virtual INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam);

 protected:
  void EndWith(INT_PTR result);

 private:
  void PaintBackground(HDC dc);

  // GDI+ for as long as the object lives.
  platform::GraphicsSession graphics_;
  HWND window_ = nullptr;
  bool shown_ = false;
};

}  // namespace ui
