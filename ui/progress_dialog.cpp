#include "ui/progress_dialog.h"

#include <string>

#include "ui/resource_ids.h"

namespace ui {

void ProgressDialog::OnInitDialog() {
  statusText_ = GetDlgItem(Window(), IDC_PROGRESS_TEXT);
  shown_ = job::JobCounters();
  // Without a worker the dialog stays open with an empty text until the
  // user closes it.
  if (!job_->StartWorker()) return;
  timerStarted_ =
      SetTimer(Window(), kProgressTimerId, job::kProgressTimerMilliseconds, nullptr) != 0;
}

void ProgressDialog::OnDestroy() {
  if (timerStarted_) KillTimer(Window(), kProgressTimerId);
  timerStarted_ = false;
  job_->StopWorker();
}

INT_PTR ProgressDialog::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TIMER) {
    RefreshProgress();
    return TRUE;
  }
  return DialogBase::OnMessage(message, wparam, lparam);
}

void ProgressDialog::RefreshProgress() {
  bool closeNow = false;
  const job::JobCounters now = job_->TickProgress(&closeNow);
  // The counters are a copy taken under the job's mutex; the window calls
  // below run without holding it.
  const bool changed = now.filesFound != shown_.filesFound || now.newCount != shown_.newCount ||
                       now.existingCount != shown_.existingCount || now.done != shown_.done;
  if (changed && statusText_ != nullptr) {
    const std::u16string text = job::BuildSummaryText(now);
    SetWindowTextW(statusText_, reinterpret_cast<const wchar_t*>(text.c_str()));
  }
  if (now.done && !shown_.done) SetDlgItemTextW(Window(), IDC_PROGRESS_CLOSE, kCloseLabel);
  shown_ = now;
  // Ends the modal loop as the Close button would; the window goes, and the
  // worker is stopped, after this tick has returned.
  if (closeNow) OnCommand(IDCANCEL, 0);
}

}  // namespace ui
