// The base of both dialogs: binds an object to a dialog window built from a
// dialog resource, routes the window's messages to virtual operations, ends
// the dialog on OK and Cancel, paints the background and keeps GDI+ started
// while any dialog object is alive (the reducer needs it during a job).
#pragma once

// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

namespace ui {

// The module whose resources hold the dialog templates: the DLL itself, or
// a test program that links the same templates.
void SetResourceModule(HINSTANCE module);
HINSTANCE ResourceModule();

class DialogBase {
 public:
  DialogBase();
  virtual ~DialogBase();
  DialogBase(const DialogBase&) = delete;
  DialogBase& operator=(const DialogBase&) = delete;

  // Runs the modal dialog of template `resource_id` for `dialog`, owned by
  // the calling thread's active window. Returns the end code, or -1 when the
  // dialog could not be shown (no object, missing template, shown before).
  static INT_PTR ShowModal(DialogBase* dialog, int resource_id);
  static INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  // Live dialog objects in the process, and whether GDI+ is started now.
  static LONG LiveObjectCount();
  static bool GdiplusStarted();

  HWND Window() const { return window_; }

  virtual void OnInitDialog() {}
  virtual void OnDestroy() {}
  // Default: a click (code 0) on id 1 runs OnOK and ends with 1, on id 2
  // runs OnCancel and ends with 2; everything else is ignored.
  virtual void OnCommand(int control_id, int notification_code);
  virtual void OnOK() {}
  virtual void OnCancel() {}
  virtual void OnNotify(WPARAM, NMHDR*) {}
  virtual void OnHScroll(int /*code*/, int /*position*/, HWND /*scroll_bar*/) {}
  virtual void OnVScroll(int /*code*/, int /*position*/, HWND /*scroll_bar*/) {}
  virtual void OnMove() {}
  virtual void OnSize() {}
  virtual void OnGetMinMaxInfo(MINMAXINFO*) {}
  // Every message the procedure does not route itself. Answers true for
  // WM_ACTIVATE, so the dialog manager does not restore the focus on
  // activation, and false for everything else.
  virtual INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam);

 protected:
  void EndWith(INT_PTR result);

 private:
  void PaintBackground(HDC dc);

  HWND window_ = nullptr;
  bool shown_ = false;
};

}  // namespace ui
