// Raising libjpeg errors from the codec.
#include <cstdlib>

#include <jerror.h>

#include "jpeghdr/jhprivate.h"

void jh_error(j_common_ptr cinfo, int code, int param) {
  cinfo->err->msg_code = code;
  cinfo->err->msg_parm.i[0] = param;
  (*cinfo->err->error_exit)(cinfo);
  std::abort();  // an error-exit hook must not return; nothing after an error is safe
}

void jh_check_interface(j_common_ptr cinfo, int codec_version, size_t codec_size, size_t own_size) {
  if (codec_version != JPEGHDR_VERSION) {
    cinfo->err->msg_parm.i[1] = codec_version;
    jh_error(cinfo, JERR_BAD_LIB_VERSION, JPEGHDR_VERSION);
  }
  if (codec_size != own_size) {
    cinfo->err->msg_parm.i[1] = static_cast<int>(codec_size);
    jh_error(cinfo, JERR_BAD_STRUCT_SIZE, static_cast<int>(own_size));
  }
}
