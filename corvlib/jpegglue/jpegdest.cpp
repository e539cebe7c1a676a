// A libjpeg destination manager that writes to an output stream object.
#include "jpegglue/jpegglue.h"

#include <ostream>

#include <jerror.h>

namespace {

constexpr size_t kOutputBufSize = 4096;

struct StreamDest {
  jpeg_destination_mgr pub;
  std::ostream* stream;
  JOCTET* buffer;
};

void initDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<StreamDest*>(cinfo->dest);
  dest->buffer = static_cast<JOCTET*>((*cinfo->mem->alloc_small)(
      reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, kOutputBufSize));
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = kOutputBufSize;
}

boolean emptyOutputBuffer(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<StreamDest*>(cinfo->dest);
  dest->stream->write(reinterpret_cast<const char*>(dest->buffer), kOutputBufSize);
  if (dest->stream->bad()) ERREXIT(cinfo, JERR_FILE_WRITE);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = kOutputBufSize;
  return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<StreamDest*>(cinfo->dest);
  size_t used = kOutputBufSize - dest->pub.free_in_buffer;
  if (used > 0) dest->stream->write(reinterpret_cast<const char*>(dest->buffer), used);
  dest->stream->flush();
  if (dest->stream->bad()) ERREXIT(cinfo, JERR_FILE_WRITE);
}

}  // namespace

void jpeg_stream_dest(j_compress_ptr cinfo, std::ostream* ostream) {
  if (cinfo->dest == nullptr || cinfo->dest->init_destination != initDestination) {
    auto* dest = static_cast<StreamDest*>((*cinfo->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(StreamDest)));
    dest->buffer = nullptr;
    dest->pub.init_destination = initDestination;
    dest->pub.empty_output_buffer = emptyOutputBuffer;
    dest->pub.term_destination = termDestination;
    cinfo->dest = &dest->pub;
  }
  reinterpret_cast<StreamDest*>(cinfo->dest)->stream = ostream;
}
