// The embedded preview of one camera file named by a path: the one entry
// the extraction job and the commands that take a single file (preview,
// thumbnail, identify) share, with one out-of-memory policy.
#pragma once

#include <string>

#include "engine/extract.h"
#include "platform/path.h"

namespace job {

// Software text written into synthesized Exif headers.
constexpr char kSoftwareText[] = "Rawlift v1.00";

// Opens the file read-only and returns its preview, or the reason there is
// none. Only a plain file is opened for good: a FIFO, socket or device is
// never read (kCannotOpen), nor waited on. An empty options.software becomes
// kSoftwareText. Running out of memory, in the engine or around it, gives
// kOutOfMemory: no exception leaves. `name` prefixes diagnostics.
engine::ExtractedPreview ExtractPreviewOfFile(const platform::NativePath& path,
                                              const std::string& name,
                                              engine::ExtractOptions options);

}  // namespace job
