// The error hooks installed on every libjpeg object of the library.
#include "jpegglue/jpegglue.h"

#include <cstdlib>
#include <cstring>

#include <jerror.h>

#include "support/dmessage.h"

char jpeg_error_buffer[JMSG_LENGTH_MAX];

const int fatal_warn_list[] = {JWRN_HIT_MARKER, JWRN_HUFF_BAD_CODE, JWRN_JPEG_EOF,
                               JMSG_LASTMSGCODE};

namespace {

const char* const kAddonMessages[] = {
    "damaged HDR data: a ratio image of %d \xC3\x97 %d pixels for a picture of %d \xC3\x97 %d",
    "stopped", nullptr};
static_assert(sizeof kAddonMessages / sizeof kAddonMessages[0] ==
                  JGLUE_LAST_MESSAGE - JGLUE_RATIO_TOO_BIG + 2,
              "one text for each message of the library");

// Warnings after this many are dropped; a fatal warning sets the counter to it.
constexpr long kWarnLimit = 12;

bool isFatalWarning(int code) {
  for (const int* p = fatal_warn_list; *p != JMSG_LASTMSGCODE; ++p)
    if (*p == code) return true;
  return false;
}

}  // namespace

void jpeg_error_output(j_common_ptr cinfo) {
  (*cinfo->err->format_message)(cinfo, jpeg_error_buffer);
}

void jpeg_emit_message(j_common_ptr cinfo, int msg_level) {
  jpeg_error_mgr* err = cinfo->err;
  if (msg_level >= 0) {  // trace message
    if (err->num_warnings == 0 && msg_level <= err->trace_level) (*err->output_message)(cinfo);
    return;
  }
  if (err->num_warnings > kWarnLimit) return;
  (*err->output_message)(cinfo);
  if (isFatalWarning(err->msg_code)) {
    if (cinfo->client_data != nullptr)
      static_cast<jpeg_jump_record*>(cinfo->client_data)->fatal_warn = err->msg_code;
    err->num_warnings = kWarnLimit;
  }
  err->num_warnings++;
}

void jpeg_error_jump(j_common_ptr cinfo) {
  (*cinfo->err->output_message)(cinfo);
  if (cinfo->client_data != nullptr)
    std::longjmp(static_cast<jpeg_jump_record*>(cinfo->client_data)->env, 1);
  DMESSAGE(DMCassert, "libjpeg error with no jump record armed: %s", jpeg_error_buffer);
  std::exit(1);
}

struct jpeg_error_mgr* jpeg_glue_error(struct jpeg_error_mgr* err) {
  jpeg_std_error(err);
  err->error_exit = jpeg_error_jump;
  err->emit_message = jpeg_emit_message;
  err->output_message = jpeg_error_output;
  err->addon_message_table = kAddonMessages;
  err->first_addon_message = JGLUE_RATIO_TOO_BIG;
  err->last_addon_message = JGLUE_LAST_MESSAGE;
  return err;
}

void jpeg_glue_prepare(j_common_ptr cinfo, size_t object_size, struct jpeg_error_mgr* err,
                       jpeg_jump_record* rec) {
  std::memset(static_cast<void*>(cinfo), 0, object_size);
  cinfo->err = jpeg_glue_error(err);
  rec->fatal_warn = 0;
  cinfo->client_data = rec;
}
