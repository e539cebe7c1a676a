// Glue between libjpeg and the library: error hooks that unwind to the caller by a long jump
// and keep the text of the last libjpeg message, and source and destination managers that read
// from and write to C++ stream objects.
//
// Every user installs the hooks on a standard error manager (jpeg_glue_error), arms a
// jpeg_jump_record with setjmp, stores its address as the object's client data before the
// first libjpeg call that can fail, and clears the client data when the guarded stretch ends.
// Keep the armed stretch in a small function whose locals need no destructors: a libjpeg error
// long-jumps out of libjpeg and over every frame in between.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iosfwd>

#include <jpeglib.h>

// The formatted text of the most recent libjpeg message (libjpeg's maximum length). Copy it
// out before the next libjpeg call.
extern char jpeg_error_buffer[JMSG_LENGTH_MAX];

// Message codes counted as fatal warnings, ended by JMSG_LASTMSGCODE: a corrupt data segment,
// a bad Huffman code and a premature end of file.
extern const int fatal_warn_list[];

// The library's own messages, beside libjpeg's (installed by jpeg_glue_error).
enum {
  // A JPEG-HDR ratio image far larger than its picture: "%d x %d" of each.
  JGLUE_RATIO_TOO_BIG = 1000,
  // The work was stopped where it asked whether to go on (a JPEG-HDR encoding's progress).
  JGLUE_STOPPED,
  JGLUE_LAST_MESSAGE = JGLUE_STOPPED
};

// What a libjpeg error jumps back to: the jump buffer, then the code of the first fatal warning
// met (0 before any). Zero fatal_warn before use.
struct jpeg_jump_record {
  std::jmp_buf env;
  int32_t fatal_warn;
};

// libjpeg's output-message hook: formats the current message into jpeg_error_buffer.
void jpeg_error_output(j_common_ptr cinfo);
// libjpeg's emit-message hook: traces only before the first warning; warnings after the 13th,
// or after a fatal warning, are silent; a fatal warning's code goes to the armed record.
void jpeg_emit_message(j_common_ptr cinfo, int msg_level);
// libjpeg's error-exit hook: outputs the message, then long-jumps to the armed record with 1.
// Without an armed record the process ends with status 1.
void jpeg_error_jump(j_common_ptr cinfo);

// jpeg_std_error(err) with the three hooks above installed; returns err.
struct jpeg_error_mgr* jpeg_glue_error(struct jpeg_error_mgr* err);

// Prepares a libjpeg object (or a struct that begins with one) of object_size bytes before its
// creation: zeroes it, so destroying it is safe however early an error comes, installs the
// hooks on err, zeroes rec's fatal-warning code and arms rec as the client data. The caller's
// setjmp(rec->env) must follow in its own frame before the first libjpeg call.
void jpeg_glue_prepare(j_common_ptr cinfo, size_t object_size, struct jpeg_error_mgr* err,
                       jpeg_jump_record* rec);

// Most memory a decompress object may hold in whole-image buffers (progressive and multi-scan
// files keep every coefficient of the image): 1 GiB, enough for a progressive picture of over
// 300 megapixels. A header declaring more is refused with JERR_NO_BACKING_STORE instead of
// the process allocating whatever a small damaged file claims.
#define JPEG_GLUE_MAX_MEMORY (1024L * 1024L * 1024L)

// Limits a created decompress object to JPEG_GLUE_MAX_MEMORY, or to less where the JPEGMEM
// environment variable already set less.
void jpeg_glue_limit_memory(j_decompress_ptr cinfo);

// Whether bytes of compressed data (what the file holds, header included) are too few for the
// frame the header declares: true only when no complete file of that size can exist. Huffman
// coding spends at least one bit on every block of the first scan (sequential scans at least
// two), so such a file ends before its rows do, and its rows are not worth the memory or the
// time. Arithmetic-coded files, and progressive ones that start with no DC scan, are not
// judged. Call after jpeg_read_header.
bool jpeg_glue_data_short(j_decompress_ptr cinfo, uint64_t bytes);

// Reads the compressed data from istream in 4096-byte pieces. An empty stream is error
// JERR_INPUT_EMPTY; a stream that ends early gives warning JWRN_JPEG_EOF and a fake end-of-image
// marker. The manager lives in the object's permanent pool and is reused by later calls.
void jpeg_stream_src(j_decompress_ptr cinfo, std::istream* istream);

// Writes the compressed data to ostream in 4096-byte pieces; a stream whose bad bit is set
// after a write or the final flush raises JERR_FILE_WRITE.
void jpeg_stream_dest(j_compress_ptr cinfo, std::ostream* ostream);
