// Resource identifiers shared by the resource scripts and the code. Plain
// #defines only: this header is read by the resource compiler as well.
#pragma once

// Dialog templates.
#define IDD_PREFERENCES 1
#define IDD_PROGRESS 2

// Preferences dialog controls. "Save" and "Cancel" carry the platform's OK
// (1) and Cancel (2) command ids so Escape and the close box mean "Cancel".
#define IDC_PREF_SAVE 1
#define IDC_PREF_CANCEL 2
#define IDC_PREF_EXTRACT 3
#define IDC_PREF_NATIVE_ONLY 4
#define IDC_PREF_NATIVE_AND_SMALLER 5
#define IDC_PREF_MAX_WIDTH 6
#define IDC_PREF_MAX_WIDTH_SPIN 7
#define IDC_PREF_MAX_HEIGHT 8
#define IDC_PREF_MAX_HEIGHT_SPIN 9
#define IDC_PREF_ADD_SUFFIX 10

// Progress dialog controls.
#define IDC_PROGRESS_CLOSE 2
#define IDC_PROGRESS_TEXT 3

// The registry script of the class (type "REGISTRY").
#define IDR_REGISTRY_SCRIPT 101

// Side-by-side manifest for the DLL (ISOLATIONAWARE_MANIFEST_RESOURCE_ID),
// used to show the dialogs with version 6 of the common controls.
#define IDR_DLL_MANIFEST 2

// The command's icon in the Windows 11 context menu, named to the Explorer
// as "<module>,-102".
#define IDI_COMMAND 102
