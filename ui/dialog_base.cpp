#include "ui/dialog_base.h"

namespace ui {
namespace {

HINSTANCE g_resource_module = nullptr;

DialogBase* BoundObject(HWND window) {
  return reinterpret_cast<DialogBase*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// Dialogs from a module with a common-controls manifest get version 6 of
// the controls; without one they are shown with the default version.
class ManifestScope {
 public:
  explicit ManifestScope(HINSTANCE module) {
    ACTCTXW context = {};
    context.cbSize = sizeof(context);
    context.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.hModule = module;
    context.lpResourceName = MAKEINTRESOURCEW(2);
    handle_ = CreateActCtxW(&context);
    if (handle_ != INVALID_HANDLE_VALUE && !ActivateActCtx(handle_, &cookie_)) {
      ReleaseActCtx(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
  }
  ~ManifestScope() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    DeactivateActCtx(0, cookie_);
    ReleaseActCtx(handle_);
  }
  ManifestScope(const ManifestScope&) = delete;
  ManifestScope& operator=(const ManifestScope&) = delete;

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  ULONG_PTR cookie_ = 0;
};

}  // namespace

void SetResourceModule(HINSTANCE module) {
  g_resource_module = module;
}
HINSTANCE ResourceModule() {
  return g_resource_module;
}

INT_PTR DialogBase::ShowModal(DialogBase* dialog, int resource_id) {
  // The window binds to the object for its whole life; a second window
  // would share (and clear) the binding of the first.
  if (dialog == nullptr || dialog->shown_) return -1;
  dialog->shown_ = true;
  HINSTANCE module = g_resource_module != nullptr ? g_resource_module : GetModuleHandleW(nullptr);
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  ManifestScope manifest(module);
  return DialogBoxParamW(module, MAKEINTRESOURCEW(resource_id), GetActiveWindow(),
                         &DialogBase::DialogProcedure, reinterpret_cast<LPARAM>(dialog));
}

INT_PTR CALLBACK DialogBase::DialogProcedure(HWND window, UINT message, WPARAM wparam,
                                             LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<DialogBase*>(lparam);
    if (dialog == nullptr) return TRUE;  // shown without an object: stays unbound
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(dialog));
    dialog->window_ = window;
    dialog->OnInitDialog();
    return TRUE;  // the dialog manager sets the initial focus
  }
  DialogBase* dialog = BoundObject(window);
  // Messages before WM_INITDIALOG (WM_SETFONT and others) and after
  // WM_DESTROY find no object and get the default processing.
  if (dialog == nullptr) return FALSE;

  switch (message) {
    case WM_DESTROY:
      dialog->OnDestroy();
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      return TRUE;
    case WM_COMMAND:
      dialog->OnCommand(LOWORD(wparam), HIWORD(wparam));
      return TRUE;
    case WM_ERASEBKGND:
      dialog->PaintBackground(reinterpret_cast<HDC>(wparam));
      return TRUE;
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
      return FALSE;  // the platform's default colours
    case WM_SHOWWINDOW:
      return FALSE;
    default:
      return dialog->OnMessage(message, wparam, lparam);
  }
}

void DialogBase::OnCommand(int control_id, int notification_code) {
  if (notification_code != 0) return;
  if (control_id == IDOK) {
    OnOK();
    EndWith(IDOK);
  } else if (control_id == IDCANCEL) {
    EndWith(IDCANCEL);
  }
}

INT_PTR DialogBase::OnMessage(UINT message, WPARAM, LPARAM) {
  return message == WM_ACTIVATE;
}

void DialogBase::EndWith(INT_PTR result) {
  if (window_ != nullptr) EndDialog(window_, result);
}

void DialogBase::PaintBackground(HDC dc) {
  if (dc == nullptr || window_ == nullptr) return;
  // The dialog's own colour query, answered by default processing, yields
  // the platform's dialog background.
  auto brush = reinterpret_cast<HBRUSH>(SendMessageW(
      window_, WM_CTLCOLORDLG, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(window_)));
  if (brush == nullptr) brush = GetSysColorBrush(COLOR_BTNFACE);
  RECT client;
  GetClientRect(window_, &client);
  // A print request draws into a DC that is not the window's own: it gets
  // the whole client area, as there are no live controls over it.
  if (WindowFromDC(dc) != window_) {
    FillRect(dc, &client, brush);
    return;
  }
  HRGN region = CreateRectRgnIndirect(&client);
  if (region == nullptr) {
    FillRect(dc, &client, brush);
    return;
  }
  // Leaving the controls' areas out keeps them from flickering.
  for (HWND child = GetWindow(window_, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (!IsWindowVisible(child)) continue;
    RECT area;
    GetWindowRect(child, &area);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&area), 2);
    HRGN child_region = CreateRectRgnIndirect(&area);
    if (child_region == nullptr) continue;
    CombineRgn(region, region, child_region, RGN_DIFF);
    DeleteObject(child_region);
  }
  FillRgn(dc, region, brush);
  DeleteObject(region);
}

}  // namespace ui
