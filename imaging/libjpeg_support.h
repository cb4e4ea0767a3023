// What every libjpeg-turbo run of this layer shares: the limits on what a
// source may cost, and the error trap that turns libjpeg's fatal errors into
// a result instead of text on standard error and an exit.
//
// libjpeg reports fatal errors through error_exit, which must not return; the
// trap longjmps back to the one setjmp in each run function. Everything with
// a destructor lives in the caller's context object, never in a frame the
// jump skips, and the run functions read nothing after a jump but that object.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// jpeglib.h needs FILE and size_t declared before it.
#include <jerror.h>
#include <jpeglib.h>

namespace imaging {

// Sources (and targets) with more pixels are refused: the largest camera
// previews are a fraction of this, and a hostile header could otherwise make
// us decode, or encode, for minutes.
constexpr uint64_t kMaxSourcePixels = uint64_t{1} << 28;
// Memory libjpeg may take for whole-image buffers (progressive and
// multi-scan files keep every coefficient until the last scan).
constexpr long kMaxDecoderMemoryBytes = 512L << 20;
// Scans beyond this abandon a file: real progressive encoders use about ten,
// while a hostile file can repeat tiny scans that each cost a pass over the
// whole image.
constexpr int kMaxScans = 500;

struct ErrorTrap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

// Makes `trap` jump on fatal errors and drop every message.
void InstallErrorTrap(ErrorTrap* trap);

// Raises libjpeg error `code` (ends in the trap's jump).
[[noreturn]] void Fail(j_common_ptr cinfo, int code);

// A progress monitor for decoders: abandons the file past kMaxScans scans.
void LimitScans(j_common_ptr cinfo);

}  // namespace imaging
