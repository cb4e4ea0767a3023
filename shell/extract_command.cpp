#include "shell/extract_command.h"

#include "job/extraction_job.h"
#include "settings/settings_store.h"
#include "ui/preferences_dialog.h"
#include "ui/progress_dialog.h"
#include "ui/resource_ids.h"

namespace shell {

void RunExtractCommand(const std::vector<std::u16string>* selection) {
  // A store of this invocation's own: two Explorer windows can run the
  // command at the same time on two threads of one process.
  settings::SettingsStore store;
  settings::LoadSettingsFile(&store, settings::kSettingsMagic, settings::kCompanyFolder,
                             settings::kProductFolder, settings::kSettingsFileName);
  ui::PreferencesDialog preferences(&store);
  ui::DialogBase::ShowModal(&preferences, IDD_PREFERENCES);
  // Only choices the user confirmed are written: after "Cancel" this
  // invocation has nothing to say, and writing back what it loaded would
  // undo what another invocation stored meanwhile.
  if (preferences.choicesStored()) {
    settings::SaveSettingsFile(store, settings::kSettingsMagic, settings::kCompanyFolder,
                               settings::kProductFolder, settings::kSettingsFileName);
  }
  if (preferences.extractRequested()) {
    job::ExtractionJob job(store);
    job.SetSelection(selection);
    job.FillRawSuffixes();
    ui::ProgressDialog progress(&job);
    ui::DialogBase::ShowModal(&progress, IDD_PROGRESS);
  }
}

}  // namespace shell
