// Raising libjpeg errors from the codec.
#include <cstdlib>

#include "jpeghdr/jhprivate.h"

void jh_error(j_common_ptr cinfo, int code, int param) {
  cinfo->err->msg_code = code;
  cinfo->err->msg_parm.i[0] = param;
  (*cinfo->err->error_exit)(cinfo);
  std::abort();  // an error-exit hook must not return; nothing after an error is safe
}
