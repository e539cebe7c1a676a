// A libjpeg source manager that reads from an input stream object.
#include "jpegglue/jpegglue.h"

#include <istream>

#include <jerror.h>

namespace {

constexpr size_t kInputBufSize = 4096;

struct StreamSource {
  jpeg_source_mgr pub;
  std::istream* stream;
  JOCTET* buffer;
  boolean start_of_file;
};

void initSource(j_decompress_ptr cinfo) {
  reinterpret_cast<StreamSource*>(cinfo->src)->start_of_file = TRUE;
}

boolean fillInputBuffer(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<StreamSource*>(cinfo->src);
  src->stream->read(reinterpret_cast<char*>(src->buffer), kInputBufSize);
  size_t nread = static_cast<size_t>(src->stream->gcount());
  if (nread == 0) {
    if (src->start_of_file) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    WARNMS(cinfo, JWRN_JPEG_EOF);
    src->buffer[0] = 0xFF;  // a fake end-of-image marker ends decoding cleanly
    src->buffer[1] = JPEG_EOI;
    nread = 2;
  }
  src->pub.next_input_byte = src->buffer;
  src->pub.bytes_in_buffer = nread;
  src->start_of_file = FALSE;
  return TRUE;
}

void skipInputData(j_decompress_ptr cinfo, long num_bytes) {
  if (num_bytes <= 0) return;
  jpeg_source_mgr* src = cinfo->src;
  while (static_cast<size_t>(num_bytes) > src->bytes_in_buffer) {
    num_bytes -= static_cast<long>(src->bytes_in_buffer);
    (void)(*src->fill_input_buffer)(cinfo);
  }
  src->next_input_byte += num_bytes;
  src->bytes_in_buffer -= static_cast<size_t>(num_bytes);
}

void termSource(j_decompress_ptr) {}

}  // namespace

void jpeg_stream_src(j_decompress_ptr cinfo, std::istream* istream) {
  // Reuse our own manager; one of another kind is replaced, never reinterpreted.
  if (cinfo->src == nullptr || cinfo->src->init_source != initSource) {
    auto* src = static_cast<StreamSource*>((*cinfo->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(StreamSource)));
    src->buffer = static_cast<JOCTET*>((*cinfo->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, kInputBufSize));
    src->pub.init_source = initSource;
    src->pub.fill_input_buffer = fillInputBuffer;
    src->pub.skip_input_data = skipInputData;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = termSource;
    cinfo->src = &src->pub;
  }
  auto* src = reinterpret_cast<StreamSource*>(cinfo->src);
  src->stream = istream;
  src->start_of_file = TRUE;
  src->pub.bytes_in_buffer = 0;
  src->pub.next_input_byte = nullptr;
}

void jpeg_glue_limit_memory(j_decompress_ptr cinfo) {
  long& limit = cinfo->mem->max_memory_to_use;
  if (limit <= 0 || limit > JPEG_GLUE_MAX_MEMORY) limit = JPEG_GLUE_MAX_MEMORY;
}

bool jpeg_glue_data_short(j_decompress_ptr cinfo, uint64_t bytes) {
  if (cinfo == nullptr || cinfo->arith_code || cinfo->comps_in_scan < 1) return false;
  if (cinfo->progressive_mode && (cinfo->Ss != 0 || cinfo->Ah != 0)) return false;
  uint64_t blocks = 0;
  for (int i = 0; i < cinfo->comps_in_scan && i < MAX_COMPS_IN_SCAN; ++i) {
    const jpeg_component_info* c = cinfo->cur_comp_info[i];
    if (c == nullptr) return false;
    blocks += uint64_t{c->width_in_blocks} * c->height_in_blocks;
  }
  return blocks / 8 > bytes;
}
