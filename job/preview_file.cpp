#include "job/preview_file.h"

#include <exception>
#include <utility>

namespace job {

engine::ExtractedPreview ExtractPreviewOfFile(const platform::NativePath& path,
                                              const std::string& name,
                                              engine::ExtractOptions options) {
  engine::ExtractedPreview preview;
  try {
    if (options.software.empty()) options.software = kSoftwareText;
    const engine::FileSource source(path);
    if (!source.IsOpen()) {
      preview.reason = engine::NoPreviewReason::kCannotOpen;
      return preview;
    }
    preview = engine::ExtractEmbeddedPreviewFrom(source, name, path, options);
  } catch (const std::exception&) {
    // std::bad_alloc, or a length error on a size read from the file.
    preview = engine::ExtractedPreview();
    preview.reason = engine::NoPreviewReason::kOutOfMemory;
  }
  return preview;
}

}  // namespace job
