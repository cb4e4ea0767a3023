// The companion JPEG that early headerless raw files keep their metadata in.
#pragma once

#include "platform/path.h"

namespace engine {

// The companion JPEG's path for a raw file of an 8-character base name and a
// 3-letter extension: DSCN0123.NEF -> 0123DSCN.JPG, dscn0123.nef ->
// 0123dscn.jpg. For a JPEG input the shot number before the '.' is counted up
// (IMG_0099.JPG -> IMG_0100.JPG). Empty when the name has no companion.
platform::NativePath SidecarCompanionPath(const platform::NativePath& path);

}  // namespace engine
