#include "ui/preferences_dialog.h"

// clang-format off
#include <commctrl.h>
#include <shlwapi.h>
// clang-format on

#include <string>

#include "ui/resource_ids.h"

namespace ui {
namespace {

// A number as the edits show it: plain digits, a minus sign when negative,
// and nothing at all for 0.
std::wstring EditText(int32_t value) {
  return value == 0 ? std::wstring() : std::to_wstring(value);
}

// Leading decimal digits with an optional sign, as StrToIntW reads them:
// "1,200" gives 1, letters give 0.
int32_t EditValue(HWND edit) {
  const int length = GetWindowTextLengthW(edit);
  std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
  GetWindowTextW(edit, &text[0], static_cast<int>(text.size()));
  return StrToIntW(text.c_str());
}

void SetUpSpin(HWND spin) {
  UDACCEL step = {0, kSpinStep};  // from the first moment on, 50 per step
  SendMessageW(spin, UDM_SETACCEL, 1, reinterpret_cast<LPARAM>(&step));
  SendMessageW(spin, UDM_SETRANGE32, kSpinLow, kSpinHigh);
}

}  // namespace

void PreferencesDialog::OnInitDialog() {
  HWND window = Window();
  nativeOnly_ = GetDlgItem(window, IDC_PREF_NATIVE_ONLY);
  nativeAndSmaller_ = GetDlgItem(window, IDC_PREF_NATIVE_AND_SMALLER);
  maxWidthEdit_ = GetDlgItem(window, IDC_PREF_MAX_WIDTH);
  maxWidthSpin_ = GetDlgItem(window, IDC_PREF_MAX_WIDTH_SPIN);
  maxHeightEdit_ = GetDlgItem(window, IDC_PREF_MAX_HEIGHT);
  maxHeightSpin_ = GetDlgItem(window, IDC_PREF_MAX_HEIGHT_SPIN);
  addSuffix_ = GetDlgItem(window, IDC_PREF_ADD_SUFFIX);

  // The positions are not set: the spins work from the number in the edit.
  SetUpSpin(maxWidthSpin_);
  SetUpSpin(maxHeightSpin_);

  settings::ReadExtractionSettings(*store_, &settings_);
  const bool smaller = settings_.sizeMode != settings::NativeOnly;
  SendMessageW(smaller ? nativeAndSmaller_ : nativeOnly_, BM_SETCHECK, BST_CHECKED, 0);
  if (!smaller) EnableSizeEdits(false);  // the spins stay enabled
  SetWindowTextW(maxWidthEdit_, EditText(settings_.maxWidth).c_str());
  SetWindowTextW(maxHeightEdit_, EditText(settings_.maxHeight).c_str());
  SendMessageW(addSuffix_, BM_SETCHECK, settings_.addSuffix ? BST_CHECKED : BST_UNCHECKED, 0);
}

void PreferencesDialog::OnCommand(int control_id, int notification_code) {
  // Only clicks count; the edits' change notifications are ignored.
  if (notification_code != 0) return;
  switch (control_id) {
    case IDC_PREF_EXTRACT:
      extractRequested_ = true;
      DialogBase::OnCommand(IDOK, 0);
      break;
    case IDC_PREF_NATIVE_ONLY:
      EnableSizeEdits(false);
      break;
    case IDC_PREF_NATIVE_AND_SMALLER:
      EnableSizeEdits(true);
      break;
    default:
      DialogBase::OnCommand(control_id, notification_code);
      break;
  }
}

void PreferencesDialog::OnOK() {
  settings_.sizeMode = SendMessageW(nativeAndSmaller_, BM_GETCHECK, 0, 0) == BST_CHECKED
                           ? settings::NativeAndSmaller
                           : settings::NativeOnly;
  // Read even while disabled, and stored as typed: no clamping.
  settings_.maxWidth = EditValue(maxWidthEdit_);
  settings_.maxHeight = EditValue(maxHeightEdit_);
  settings_.addSuffix = SendMessageW(addSuffix_, BM_GETCHECK, 0, 0) == BST_CHECKED;
  settings::WriteExtractionSettings(settings_, store_);
  choicesStored_ = true;
}

void PreferencesDialog::EnableSizeEdits(bool enable) {
  EnableWindow(maxWidthEdit_, enable);
  EnableWindow(maxHeightEdit_, enable);
}

}  // namespace ui
