// The preferences dialog (template IDD_PREFERENCES): shows the extraction
// settings of a store and stores them again on "Save" or "Extract" (the
// caller writes the store to the settings file). "Extract" also asks the
// caller to run the extraction.
#pragma once

#include <windows.h>

#include "settings/settings_store.h"
#include "ui/dialog_base.h"

namespace ui {

// The spin controls step by this much and stop their arrows at the range;
// typed values are not limited.
constexpr int kSpinStep = 50;
constexpr int kSpinLow = 100;
constexpr int kSpinHigh = 1000;

class PreferencesDialog : public DialogBase {
 public:
  explicit PreferencesDialog(settings::SettingsStore* store) : store_(store) {}
  ~PreferencesDialog() override = default;

  void OnInitDialog() override;
  void OnCommand(int control_id, int notification_code) override;
  void OnOK() override;

  // Read after the dialog has ended: whether "Save" or "Extract" stored the
  // choices in the store, and whether it was "Extract".
  bool choicesStored() const { return choicesStored_; }
  bool extractRequested() const { return extractRequested_; }
  const settings::ExtractionSettings& settings() const { return settings_; }

 private:
  void EnableSizeEdits(bool enable);

  settings::SettingsStore* store_;
  settings::ExtractionSettings settings_;
  bool choicesStored_ = false;
  bool extractRequested_ = false;
  HWND nativeOnly_ = nullptr;
  HWND nativeAndSmaller_ = nullptr;
  HWND maxWidthEdit_ = nullptr;
  HWND maxWidthSpin_ = nullptr;
  HWND maxHeightEdit_ = nullptr;
  HWND maxHeightSpin_ = nullptr;
  HWND addSuffix_ = nullptr;
};

}  // namespace ui
