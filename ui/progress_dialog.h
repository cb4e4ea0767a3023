// The progress dialog (template IDD_PROGRESS) of an extraction job: starts
// the job's worker when it opens, shows the counters on a 100 ms timer,
// turns "Cancel" into "Close" when the job is done, closes itself 100 ticks
// later, and stops the worker (waiting for its current file) when the window
// is destroyed, whatever closed it.
#pragma once

#include <windows.h>

#include "job/extraction_job.h"
#include "job/summary.h"
#include "ui/dialog_base.h"

namespace ui {

constexpr UINT_PTR kProgressTimerId = 1;
constexpr wchar_t kCloseLabel[] = L"Close";

class ProgressDialog : public DialogBase {
 public:
  // The job is not owned and must outlive the dialog's window.
  explicit ProgressDialog(job::ExtractionJob* job) : job_(job) {}
  ~ProgressDialog() override = default;

  void OnInitDialog() override;
  void OnDestroy() override;
  INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

  // One timer tick: updates the text when a shown counter changed.
  void RefreshProgress();

 private:
  job::ExtractionJob* job_;
  HWND statusText_ = nullptr;
  bool timerStarted_ = false;
  job::JobCounters shown_;  // the values last shown; nothing until filesFound is known
};

}  // namespace ui
