// The encoder split over threads writes the same file as on one thread, and a libjpeg error
// while batches are being made still returns to the caller.
#include <gtest/gtest.h>

#include <csetjmp>
#include <ostream>
#include <sstream>
#include <streambuf>

#include <jerror.h>

#include "jpegglue/jpegglue.h"
#include "jh_test_util.h"

using namespace jhtest;

namespace {

// Accepts `room` bytes, then fails every write.
class ShortBuf : public std::streambuf {
 public:
  explicit ShortBuf(size_t room) : room_(room) {}

 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override {
    if (static_cast<size_t>(n) > room_) return 0;
    room_ -= static_cast<size_t>(n);
    return n;
  }
  int_type overflow(int_type c) override {
    return xsputn(nullptr, 1) == 1 ? c : traits_type::eof();
  }

 private:
  size_t room_;
};

// Encodes px into out with the given thread count and correction; returns libjpeg's message
// code after an error, else 0.
int encodeWith(std::ostream* out, const std::vector<float>& px, int w, int h, int threads,
               int correction) {
  jpeghdr_compress_struct jh;
  jpeg_error_mgr jerr;
  jpeg_jump_record rec;
  jpeg_glue_prepare(reinterpret_cast<j_common_ptr>(&jh), sizeof jh, &jerr, &rec);
  if (setjmp(rec.env)) {
    const int code = jerr.msg_code;
    jpeghdr_destroy_compress(&jh);
    return code;
  }
  jpeghdr_create_compress(&jh);
  jpeg_stream_dest(&jh.cinfo, out);
  jpeghdr_src_floatRGB(&jh, px.data(), w, h);
  jh.threads = threads;
  jh.correction = correction;
  jpeghdr_tonemap_default(&jh);
  jpeghdr_do_compress(&jh);
  jpeghdr_destroy_compress(&jh);
  return 0;
}

TEST(JpegHdrThreads, ThreadCountDoesNotChangeTheFile) {
  // Odd sizes, so bands and batches end mid-way; tall enough for several batches.
  const int w = 203, h = 517;
  // A smooth scene, and a uniform one, whose ratio range comes from the second scan.
  const std::vector<float> scenes[] = {smoothScene(w, h, 5.f),
                                       std::vector<float>(3 * static_cast<size_t>(w) * h, 0.3f)};
  for (const std::vector<float>& px : scenes)
    for (int correction : {0, 1, 2}) {
      std::ostringstream one;
      ASSERT_EQ(encodeWith(&one, px, w, h, 1, correction), 0);
      for (int threads : {2, 3, 7, 1000}) {  // 1000: limited to the most allowed
        std::ostringstream many;
        ASSERT_EQ(encodeWith(&many, px, w, h, threads, correction), 0);
        ASSERT_TRUE(one.str() == many.str()) << "correction " << correction << ", " << threads;
      }
    }
}

TEST(JpegHdrThreads, WriteErrorWhileBatchesAreMadeReturnsToTheCaller) {
  const int w = 160, h = 900;
  const std::vector<float> px = smoothScene(w, h);
  std::ostringstream whole;
  ASSERT_EQ(encodeWith(&whole, px, w, h, 1, 1), 0);
  // Room for the segments and part of the foreground: the stream fails mid-image.
  for (size_t room : {whole.str().size() / 3, whole.str().size() - 5000}) {
    for (int threads : {1, 4}) {
      ShortBuf buf(room);
      std::ostream out(&buf);
      EXPECT_EQ(encodeWith(&out, px, w, h, threads, 1), JERR_FILE_WRITE) << room << " " << threads;
    }
  }
}

}  // namespace
