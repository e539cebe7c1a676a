// The libjpeg glue: errors jump back to the caller, warnings are counted and silenced, and
// the stream managers move whole files in both directions.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <jerror.h>

#include "jpegglue/jpegglue.h"

namespace {

constexpr int kW = 160, kH = 120;

// Outcome of one guarded libjpeg run.
struct Outcome {
  bool jumped = false;
  int msg_code = 0;
  int32_t fatal_warn = 0;
  long num_warnings = 0;
  int rows = 0;
};

// Compresses gradients and a busy pattern to out; returns false when libjpeg raised an error.
bool compressGradient(std::ostream* out, Outcome* run) {
  static JSAMPLE row[kW * 3];
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  rec.fatal_warn = 0;
  cinfo.err = jpeg_glue_error(&jerr);
  if (setjmp(rec.env)) {
    run->jumped = true;
    run->msg_code = jerr.msg_code;
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  cinfo.client_data = &rec;
  jpeg_stream_dest(&cinfo, out);
  cinfo.image_width = kW;
  cinfo.image_height = kH;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    for (int x = 0; x < kW; x++) {
      row[3 * x] = static_cast<JSAMPLE>(x * 2);
      row[3 * x + 1] = static_cast<JSAMPLE>(cinfo.next_scanline * 3);
      row[3 * x + 2] = static_cast<JSAMPLE>((x * 37 + cinfo.next_scanline * 91) ^ (x * 13));
    }
    JSAMPROW rp = row;
    jpeg_write_scanlines(&cinfo, &rp, 1);
  }
  jpeg_finish_compress(&cinfo);
  cinfo.client_data = nullptr;
  jpeg_destroy_compress(&cinfo);
  return true;
}

// Decodes the whole of in into pixels (RGB); returns false when libjpeg raised an error.
bool decompress(std::istream* in, Outcome* run, unsigned char* pixels) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  rec.fatal_warn = 0;
  cinfo.err = jpeg_glue_error(&jerr);
  if (setjmp(rec.env)) {
    run->jumped = true;
    run->msg_code = jerr.msg_code;
    run->fatal_warn = rec.fatal_warn;
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  cinfo.client_data = &rec;
  jpeg_stream_src(&cinfo, in);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rp = pixels + static_cast<size_t>(cinfo.output_scanline) * kW * 3;
    run->rows += static_cast<int>(jpeg_read_scanlines(&cinfo, &rp, 1));
  }
  jpeg_finish_decompress(&cinfo);
  run->fatal_warn = rec.fatal_warn;
  run->num_warnings = jerr.num_warnings;
  run->msg_code = jerr.msg_code;
  cinfo.client_data = nullptr;
  jpeg_destroy_decompress(&cinfo);
  return true;
}

std::string gradientJpeg() {
  std::ostringstream out;
  Outcome run;
  EXPECT_TRUE(compressGradient(&out, &run));
  return out.str();
}

// A stream buffer that accepts at most `limit` bytes and then fails every write.
class LimitedBuf : public std::streambuf {
 public:
  explicit LimitedBuf(size_t limit) : limit_(limit) {}
  size_t written = 0;

 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override {
    size_t room = limit_ - written;
    size_t take = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
    written += take;
    return static_cast<std::streamsize>(take);
  }
  int_type overflow(int_type c) override {
    if (written >= limit_) return traits_type::eof();
    written++;
    return traits_type::not_eof(c);
  }

 private:
  size_t limit_;
};

TEST(JpegGlue, StreamsCarryAWholeFileBothWays) {
  std::string data = gradientJpeg();
  ASSERT_GT(data.size(), 4096u);  // more than one buffer each way
  ASSERT_EQ(static_cast<unsigned char>(data[0]), 0xFF);
  ASSERT_EQ(static_cast<unsigned char>(data[1]), 0xD8);
  std::istringstream in(data);
  std::vector<unsigned char> pix(kW * kH * 3);
  Outcome run;
  ASSERT_TRUE(decompress(&in, &run, pix.data()));
  EXPECT_EQ(run.rows, kH);
  EXPECT_EQ(run.num_warnings, 0);
  EXPECT_NEAR(pix[(10 * kW + 40) * 3], 80, 4);
}

TEST(JpegGlue, EmptyStreamIsErrorThatReturnsToCaller) {
  std::istringstream in("");
  std::vector<unsigned char> pix(kW * kH * 3);
  Outcome run;
  EXPECT_FALSE(decompress(&in, &run, pix.data()));
  EXPECT_TRUE(run.jumped);
  EXPECT_EQ(run.msg_code, JERR_INPUT_EMPTY);
  EXPECT_EQ(run.msg_code, 42);
  EXPECT_STREQ(jpeg_error_buffer, "Empty input file");
}

TEST(JpegGlue, TruncatedStreamWarnsOnceAndDecodesToTheEnd) {
  std::string data = gradientJpeg();
  std::istringstream in(data.substr(0, data.size() * 2 / 3));
  std::vector<unsigned char> pix(kW * kH * 3);
  Outcome run;
  ASSERT_TRUE(decompress(&in, &run, pix.data()));
  EXPECT_EQ(run.rows, kH);
  EXPECT_EQ(run.fatal_warn, JWRN_JPEG_EOF);
  EXPECT_EQ(run.fatal_warn, 120);
  EXPECT_STREQ(jpeg_error_buffer, "Premature end of JPEG file");
  // The fatal warning set the counter to its limit: no later warning is output.
  EXPECT_EQ(run.num_warnings, 13);
}

// Drives the emit hook directly with chosen message codes.
class EmitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    jpeg_glue_error(&jerr);
    cinfo.err = &jerr;
    rec.fatal_warn = 0;
    cinfo.client_data = &rec;
  }
  // Emits code at level and reports whether the buffer changed.
  bool emit(int code, int level) {
    std::strcpy(jpeg_error_buffer, "-");
    jerr.msg_code = code;
    jerr.msg_parm.i[0] = 7;
    (*jerr.emit_message)(reinterpret_cast<j_common_ptr>(&cinfo), level);
    return std::strcmp(jpeg_error_buffer, "-") != 0;
  }
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
};

TEST_F(EmitTest, FatalWarningsSilenceTheRestAndAreRecorded) {
  for (int code : {JWRN_HIT_MARKER, JWRN_HUFF_BAD_CODE, JWRN_JPEG_EOF}) {
    SetUp();
    jerr.num_warnings = 0;
    EXPECT_TRUE(emit(JWRN_EXTRANEOUS_DATA, -1));
    EXPECT_TRUE(emit(code, -1));
    EXPECT_EQ(rec.fatal_warn, code);
    EXPECT_FALSE(emit(JWRN_EXTRANEOUS_DATA, -1));
    EXPECT_FALSE(emit(JWRN_JPEG_EOF, -1));
    EXPECT_EQ(rec.fatal_warn, code);
  }
  // Without an armed record a fatal warning is still output and counted.
  jerr.num_warnings = 0;
  cinfo.client_data = nullptr;
  EXPECT_TRUE(emit(JWRN_JPEG_EOF, -1));
  EXPECT_EQ(jerr.num_warnings, 13);
}

TEST_F(EmitTest, OrdinaryWarningsStopAfterThirteenAndTracesAfterTheFirstWarning) {
  jerr.trace_level = 1;
  EXPECT_TRUE(emit(JTRC_EOI, 1));
  EXPECT_FALSE(emit(JTRC_EOI, 2));  // above the trace level
  for (int i = 0; i < 13; i++) EXPECT_TRUE(emit(JWRN_EXTRANEOUS_DATA, -1)) << i;
  EXPECT_FALSE(emit(JWRN_EXTRANEOUS_DATA, -1));
  EXPECT_FALSE(emit(JTRC_EOI, 0));
  EXPECT_EQ(rec.fatal_warn, 0);
}

TEST(JpegGlue, SkipRefillsAsOftenAsNeededAndIgnoresNonPositiveCounts) {
  std::string data(10000, '\0');
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7);
  std::istringstream in(data);
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_glue_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_stream_src(&cinfo, &in);
  jpeg_source_mgr* src = cinfo.src;
  (*src->init_source)(&cinfo);
  ASSERT_TRUE((*src->fill_input_buffer)(&cinfo));
  EXPECT_EQ(src->bytes_in_buffer, 4096u);
  (*src->skip_input_data)(&cinfo, 0);
  (*src->skip_input_data)(&cinfo, -5);
  EXPECT_EQ(src->bytes_in_buffer, 4096u);
  EXPECT_EQ(*src->next_input_byte, static_cast<JOCTET>(data[0]));
  (*src->skip_input_data)(&cinfo, 9000);  // crosses two refills
  EXPECT_EQ(src->bytes_in_buffer, 10000u - 9000u);
  EXPECT_EQ(*src->next_input_byte, static_cast<JOCTET>(data[9000]));
  // Installing again reuses the manager and empties its buffer.
  jpeg_stream_src(&cinfo, &in);
  EXPECT_EQ(cinfo.src, src);
  EXPECT_EQ(src->bytes_in_buffer, 0u);
  jpeg_destroy_decompress(&cinfo);
}

TEST(JpegGlue, OutputStreamGoingBadRaisesWriteError) {
  std::string data = gradientJpeg();
  // Bad in the middle (at a full buffer) and bad only at the final flush.
  for (size_t limit : {size_t{100}, data.size() - 10}) {
    LimitedBuf buf(limit);
    std::ostream out(&buf);
    Outcome run;
    EXPECT_FALSE(compressGradient(&out, &run)) << limit;
    EXPECT_EQ(run.msg_code, JERR_FILE_WRITE);
    EXPECT_EQ(run.msg_code, 37);
  }
  LimitedBuf roomy(data.size());
  std::ostream out(&roomy);
  Outcome run;
  EXPECT_TRUE(compressGradient(&out, &run));
  EXPECT_EQ(roomy.written, data.size());
}

}  // namespace

namespace {

// A real photograph with a stray marker in its entropy-coded data: libjpeg's "premature end
// of data segment" is a fatal warning, recorded while the decode still runs to the end.
TEST(JpegGlue, DamagedPhotographRecordsItsFatalWarning) {
  const std::string path = std::string(LUMERIN_TESTDATA) + "/jpeg/corrupted.jpg";
  std::ifstream file(path, std::ios::binary);
  if (!file) GTEST_SKIP() << "test pictures not found at " << LUMERIN_TESTDATA;
  std::ostringstream data;
  data << file.rdbuf();
  std::istringstream in(data.str());
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  rec.fatal_warn = 0;
  cinfo.err = jpeg_glue_error(&jerr);
  ASSERT_EQ(setjmp(rec.env), 0) << jpeg_error_buffer;
  jpeg_create_decompress(&cinfo);
  cinfo.client_data = &rec;
  jpeg_stream_src(&cinfo, &in);
  ASSERT_EQ(jpeg_read_header(&cinfo, TRUE), JPEG_HEADER_OK);
  cinfo.scale_denom = 8;
  jpeg_start_decompress(&cinfo);
  std::vector<JSAMPLE> row(cinfo.output_width * cinfo.output_components);
  JDIMENSION rows = 0;
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rp = row.data();
    rows += jpeg_read_scanlines(&cinfo, &rp, 1);
  }
  jpeg_finish_decompress(&cinfo);
  EXPECT_EQ(rows, cinfo.output_height);
  EXPECT_EQ(rec.fatal_warn, JWRN_HIT_MARKER);
  EXPECT_EQ(jerr.num_warnings, 13);
  cinfo.client_data = nullptr;
  jpeg_destroy_decompress(&cinfo);
}

}  // namespace
