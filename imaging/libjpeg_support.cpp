#include "imaging/libjpeg_support.h"

namespace imaging {
namespace {

[[noreturn]] void JumpOut(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorTrap*>(cinfo->err)->jump, 1);
}

void DiscardMessage(j_common_ptr) {}

}  // namespace

void InstallErrorTrap(ErrorTrap* trap) {
  jpeg_std_error(&trap->manager);
  trap->manager.error_exit = JumpOut;
  trap->manager.output_message = DiscardMessage;
}

void Fail(j_common_ptr cinfo, int code) {
  cinfo->err->msg_code = code;
  cinfo->err->error_exit(cinfo);
  // error_exit is JumpOut, which does not return.
  std::longjmp(reinterpret_cast<ErrorTrap*>(cinfo->err)->jump, 1);
}

// Called by the decoder as it takes in scans. (Error codes only name the
// diagnostic, and diagnostics are discarded.)
void LimitScans(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans) {
    Fail(cinfo, JERR_OUT_OF_MEMORY);
  }
}

}  // namespace imaging
