// The camera's own description as the Exif segment of an extracted JPEG
// ("metadata: complete"): the identifying tags of the raw file's IFD0, its
// whole Exif directory and its whole GPS directory, copied value by value
// into a TIFF structure of the segment's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/input.h"
#include "engine/parse_state.h"

namespace engine {

// A JPEG segment's length field counts its own two bytes: the bytes after
// it ("Exif\0\0" and the TIFF structure here) are at most 65533.
constexpr size_t kMaxJpegSegmentLength = 0xFFFF;

// The APP1 segment: FF E1, the length, "Exif\0\0" and a TIFF structure in
// the byte order of the file's IFD0 (of its Exif directory when IFD0 cannot
// be read). It holds
//   IFD0: Make, Model, DateTime, ImageDescription, Artist, Copyright and the
//         resolution tags as the file has them (300 dpi when it lacks them),
//         `orientation`, `software` (cut at 63 bytes; none when nullptr);
//   Exif: every entry of the file's Exif directory except the maker note and
//         those that point at other data of the file (interoperability
//         directory, offsets), with PixelXDimension and PixelYDimension set
//         to `pixel_width` x `pixel_height` (left out when either is 0);
//   GPS:  every entry of the file's GPS directory.
// Values keep their type and count; values of a directory in the other byte
// order are converted element by element (UNDEFINED values are bytes and
// stay as stored). When everything would not fit into one segment, the
// largest entries go first: Exif entries other than the shot description
// (dates, exposure, lens, body, white balance...) before any other.
// Empty when the file has no readable Exif directory of its own (the compact
// header applies then), or when the memory for it cannot be had.
std::vector<uint8_t> BuildCompleteExifSegment(const ByteSource& source,
                                              const MetadataDirectories& directories,
                                              uint16_t orientation, uint32_t pixel_width,
                                              uint32_t pixel_height, const char* software);

}  // namespace engine
