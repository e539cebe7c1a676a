// The encoder split over threads writes the same file as on one thread, and a libjpeg error
// while batches are being made still returns to the caller. Told its progress, it writes the
// same file, and a stop at any telling ends it.
#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <iterator>
#include <ostream>
#include <sstream>
#include <streambuf>

#include <jerror.h>

#include "jpegglue/jpegglue.h"
#include "jpeghdr/jhprivate.h"
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

// What an encoding told of its progress, and the telling (from 0) it is to be stopped at.
struct Told {
  std::vector<float> done;
  size_t stopAt = SIZE_MAX;
  static bool hook(void* data, float d) {
    Told* t = static_cast<Told*>(data);
    t->done.push_back(d);
    return t->done.size() - 1 != t->stopAt;
  }
};

// Encodes px into out with the given thread count and correction (telling told, when given);
// returns libjpeg's message code after an error, else 0.
int encodeWith(std::ostream* out, const std::vector<float>& px, int w, int h, int threads,
               int correction, Told* told = nullptr) {
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
  if (told != nullptr) {
    jh.progress = Told::hook;
    jh.progress_data = told;
  }
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

// Every pass tells its progress from within its share, rising to 1, without changing the file;
// a stop at a telling (each one before the foreground, some of the foreground's, on one thread
// and on several) ends the encoding with JGLUE_STOPPED.
TEST(JpegHdrProgress, ToldFromEveryPassAndStoppedAtAnyTelling) {
  // Just over a step of a pass.
  const int w = 1100, h = 1000;
  const std::vector<float> px = smoothScene(w, h);
  for (const auto& [threads, correction] : {std::pair{1, 0}, std::pair{4, 1}}) {
    SCOPED_TRACE(threads);
    std::ostringstream plain, toldOut;
    ASSERT_EQ(encodeWith(&plain, px, w, h, threads, correction), 0);
    Told all;
    ASSERT_EQ(encodeWith(&toldOut, px, w, h, threads, correction, &all), 0);
    EXPECT_TRUE(plain.str() == toldOut.str());
    ASSERT_GE(all.done.size(), 14u);
    EXPECT_TRUE(std::is_sorted(all.done.begin(), all.done.end()));
    EXPECT_GT(all.done.front(), 0.f);
    EXPECT_FLOAT_EQ(all.done.back(), 1.f);
    // No stretch of the work goes untold: no pass jumps by more than its share.
    for (size_t i = 1; i < all.done.size(); i++)
      EXPECT_LT(all.done[i] - all.done[i - 1], 0.25f) << i;
    // Each pass tells from within its own share: the luminances, the two tone-mapping passes,
    // the ratio range, the ratio image, its JPEG file (where that image is over a step: at full
    // size, without the correction) and the foreground.
    const float share[] = {0.f,         JH_AT_TONE0,     JH_AT_TONE1,      JH_AT_RANGE,
                           JH_AT_RATIO, JH_AT_RATIOFILE, JH_AT_FOREGROUND, 1.f};
    for (size_t p = 0; p + 1 < std::size(share); p++) {
      if (share[p] == JH_AT_RATIOFILE && correction != 0) continue;
      EXPECT_TRUE(std::any_of(all.done.begin(), all.done.end(),
                              [&](float d) { return d > share[p] && d <= share[p + 1]; }))
          << "nothing told in " << share[p] << " .. " << share[p + 1];
    }
    // Every telling of the passes before the foreground, and some of the foreground's.
    for (size_t k = 0; k < all.done.size(); k += k < 12 ? 1 : 7) {
      Told stop;
      stop.stopAt = k;
      std::ostringstream out;
      EXPECT_EQ(encodeWith(&out, px, w, h, threads, correction, &stop), JGLUE_STOPPED) << k;
      EXPECT_EQ(stop.done.size(), k + 1);
      EXPECT_LT(out.str().size(), plain.str().size()) << k;
    }
  }
}

}  // namespace
