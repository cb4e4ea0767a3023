// Registration of the thumbnail and preview handlers for every RAW suffix
// the extraction job reads. The handlers go below
// SystemFileAssociations\.<suffix>\ShellEx, the place for handlers of types
// another program may own: no ProgID, default program or perceived type is
// touched. A handler key that already names another program's handler is
// left to it, and unregistration removes a handler key only while it still
// names ours (and then the parent keys it leaves empty).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "shell/registration.h"

namespace shell {

constexpr wchar_t kThumbnailProviderName[] = L"Rawlift Thumbnail Handler";
constexpr wchar_t kPreviewHandlerName[] = L"Rawlift Preview Handler";

// The keys below the classes root for the suffixes: "SystemFileAssociations\.cr3"...
std::vector<std::wstring> RawTypeKeys();

// The class keys, the Approved values, the preview handler list and the
// per-type handler keys. The first failure ends the run.
HRESULT RegisterFileTypeHandlers(const RegistryTarget& target, const std::wstring& module_path);
// Removes what RegisterFileTypeHandlers added and nothing else; keys already
// gone are fine, and the first other failure is the result.
HRESULT UnregisterFileTypeHandlers(const RegistryTarget& target);

}  // namespace shell
