// A real HDR photograph through the codec: the shared RGBE pictures encoded and decoded.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "picture/picheader.h"
#include "picture/rgbe.h"
#include "jh_test_util.h"
#include "testutil/rgbe_load.h"

using namespace jhtest;

namespace {

TEST(JpegHdrReal, PhotographsDecodeBackToHdr) {
  for (const char* name : {"desk_oiiotool_rle.hdr", "goldengate_oiiotool_rle.hdr"}) {
    int w, h;
    std::vector<float> px;
    if (!loadRgbePicture((std::string(LUMERIN_TESTDATA) + "/hdr/" + name).c_str(), &w, &h, &px))
      GTEST_SKIP() << "test pictures not found at " << LUMERIN_TESTDATA;
    // Pixels with no light carry no ratio; measure the rest.
    for (float& v : px)
      if (v < 1e-4f) v = 1e-4f;
    for (int correction : {1, 2}) {
      TempPath p("jh_real");
      ASSERT_GT(jpeghdr_write_memory(p.c_str(), px.data(), w, h, 90, correction, 1.f, 1.f, 0.f), 0);
      float* f = nullptr;
      int size[2] = {0, 0};
      ASSERT_EQ(jpeghdr_load_memory(&f, nullptr, size, nullptr, p.c_str()), 3);
      ASSERT_EQ(size[0], w);
      std::vector<float> e = relErrors(px, f, static_cast<size_t>(w) * h);
      std::free(f);
      const float median = e[e.size() / 2], p95 = e[e.size() * 95 / 100];
      RecordProperty(std::string(name) + "_cor" + std::to_string(correction) + "_median",
                     std::to_string(median));
      // Limits from measurement (desk, the harder picture: 4.3% and 16% with correction 1,
      // 6.3% and 24% with 2); a regression shows well above them.
      EXPECT_LE(median, correction == 1 ? 0.05f : 0.07f) << name << " correction " << correction;
      EXPECT_LE(p95, correction == 1 ? 0.18f : 0.26f) << name << " correction " << correction;
    }
  }
}

}  // namespace
