// The preferences dialog (template IDD_PREFERENCES): shows the extraction
// settings of the store and stores them again on "Save" or "Extract".
// "Extract" also asks the caller to run the extraction. Windows only.
#pragma once

#include <windows.h>

#include "settings/settings_store.h"
#include "ui/dialog_base.h"

namespace settings {

// The spin controls step by this much and stop their arrows at the range;
// typed values are not limited.
constexpr int kSpinStep = 50;
constexpr int kSpinLow = 100;
constexpr int kSpinHigh = 1000;

class PreferencesDialog : public ui::DialogBase {
 public:
  explicit PreferencesDialog(SettingsStore* store) : store_(store) {}
  ~PreferencesDialog() override = default;

  void OnInitDialog() override;
  void OnCommand(int control_id, int notification_code) override;
  void OnOK() override;

  // Read after the dialog has ended: set only by the "Extract" button.
  bool extractRequested() const { return extractRequested_; }
  const ExtractionSettings& settings() const { return settings_; }

 private:
  void EnableSizeEdits(bool enable);

  SettingsStore* store_;
  ExtractionSettings settings_;
  bool extractRequested_ = false;
  HWND nativeOnly_ = nullptr;
  HWND nativeAndSmaller_ = nullptr;
  HWND maxWidthEdit_ = nullptr;
  HWND maxWidthSpin_ = nullptr;
  HWND maxHeightEdit_ = nullptr;
  HWND maxHeightSpin_ = nullptr;
  HWND addSuffix_ = nullptr;
};

}  // namespace settings
