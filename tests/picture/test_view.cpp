// View specifications.
#include "picture/view.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "testutil/process_locale.h"

namespace {

std::string printed(const VIEW& v) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* fp = open_memstream(&buf, &len);
  fprintview(&v, fp);
  std::fclose(fp);
  std::string s(buf, len);
  std::free(buf);
  return s;
}

}  // namespace

class ViewLocale : public testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(Locales, ViewLocale, testing::ValuesIn(testutil::kOtherLocales),
                         testutil::LocaleParamName);

// A view's decimals read and print as under C whatever the process locale: a cropped view
// keeps its fractions on saving.
TEST_P(ViewLocale, OptionTextReadsAndPrintsAsUnderC) {
  const char* text = "-vtv -vp 1.5 -2.25 0.125 -vd 0 2.5 0 -vh 45.5 -vv 30.25 -vs 0.125 -vl -0.5";
  VIEW c = stdview;
  ASSERT_EQ(sscanview(&c, text), 7);
  const std::string optC = viewopt(&c), printedC = printed(c);
  EXPECT_EQ(optC, " -vp 1.5 -2.25 0.125 -vd 0 2.5 0 -vh 45.5 -vv 30.25 -vs 0.125 -vl -0.5");
  SET_PROCESS_LOCALE(locale, GetParam());
  VIEW v = stdview;
  ASSERT_EQ(sscanview(&v, text), 7);
  EXPECT_EQ(viewopt(&v), optC);
  EXPECT_EQ(printed(v), printedC);
}

TEST(ViewOptions, ParseAndPrintBack) {
  VIEW v = stdview;
  const char* text =
      "-vtv -vp 1 2 3 -vd 0 2 0 -vu 0 0 1 -vh 60 -vv 40 -vo 0.5 -va 100 -vs 0.1 -vl -0.2";
  EXPECT_EQ(sscanview(&v, text), 10);
  EXPECT_EQ(v.vp[2], 3.0);
  EXPECT_EQ(v.vdir[1], 2.0);
  EXPECT_EQ(v.vdist, 1.0);
  EXPECT_EQ(v.voff, -0.2);
  ASSERT_EQ(setview(&v), nullptr);
  EXPECT_EQ(v.vdir[1], 1.0);
  EXPECT_EQ(v.vdist, 2.0);
  EXPECT_EQ(printed(v),
            " -vtv -vp 1 2 3 -vd 0 2 0 -vu 0 0 1 -vh 60 -vv 40 -vo 0.5 -va 100 -vs 0.1 -vl -0.2");

  // viewopt names what differs from the default view, and reads back to the same view.
  EXPECT_STREQ(viewopt(&stdview), "");
  VIEW w = stdview;
  w.hoff = 0.25;
  EXPECT_STREQ(viewopt(&w), " -vs 0.25");
  VIEW back = stdview;
  EXPECT_EQ(sscanview(&back, viewopt(&v)), 8) << viewopt(&v);  // type and up are the defaults
  ASSERT_EQ(setview(&back), nullptr);
  EXPECT_EQ(printed(back), printed(v));
}

TEST(ViewOptions, MalformedWordsAreSkipped) {
  VIEW v = stdview;
  EXPECT_EQ(sscanview(&v, "-vtc"), 1);
  EXPECT_EQ(v.type, 'c');
  for (const char* bad : {"-vt", "-vtab", "-vhx 5", "-vp 1 2", "-vv 1e", "  "})
    EXPECT_EQ(sscanview(&v, bad), 0) << bad;
  // An option short of numbers is skipped, and what follows is still read.
  EXPECT_EQ(sscanview(&v, "VIEW= junk -vp 1 2 x -vh 30 more -vv 20\n"), 2);
  EXPECT_EQ(v.vp[0], 0.0);
  EXPECT_EQ(v.horiz, 30.0);
  EXPECT_EQ(v.vert, 20.0);
}

TEST(ViewCheck, SetviewRefusesImpossibleViews) {
  const struct {
    const char* options;
    const char* message;
  } cases[] = {
      {"-vtv -vv 180", "illegal vertical view size"},
      {"-vtc -vh 360", nullptr},
      {"-vtc -vv 180", "illegal vertical view size"},
      {"-vth -vh 181", "illegal horizontal view size"},
      {"-vts -vh 360", "illegal horizontal view size"},
      {"-vtx", "unknown view type"},
      {"-vd 0 0 0", "zero view direction"},
      {"-vu 0 0 0", "zero view up vector"},
      {"-vd 0 0 1", "view up parallel to view direction"},
      {"-vo 5 -va 2", "illegal fore/aft clipping plane"},
  };
  for (const auto& c : cases) {
    VIEW v = stdview;
    sscanview(&v, c.options);
    const char* err = setview(&v);
    EXPECT_STREQ(err ? err : "", c.message ? c.message : "") << c.options;
  }
}

TEST(ViewGeometry, ViewrayAndViewlocAreInverse) {
  for (const char* type : {"-vtv -vh 60 -vv 40", "-vtl -vh 4 -vv 3", "-vth -vh 170 -vv 150",
                           "-vtc -vh 300 -vv 60", "-vta -vh 300 -vv 250", "-vts -vh 300 -vv 250"}) {
    VIEW v = stdview;
    sscanview(&v, "-vp 1 -2 0.5 -vd 1 1 0.2 -vu 0 0.3 1 -vs 0.1 -vl -0.05");
    sscanview(&v, type);
    ASSERT_EQ(setview(&v), nullptr) << type;
    int tested = 0;
    for (double x = 0.05; x < 1.0; x += 0.1) {
      for (double y = 0.05; y < 1.0; y += 0.1) {
        FVECT orig, dir;
        if (viewray(orig, dir, &v, x, y) < 0) continue;
        EXPECT_NEAR(fdot(dir, dir), 1.0, 1e-9) << type;
        FVECT p, ip;
        fvsum(p, orig, dir, 3.7);
        viewloc(ip, &v, p);
        EXPECT_NEAR(ip[0], x, 1e-7) << type << " at " << x << "," << y;
        EXPECT_NEAR(ip[1], y, 1e-7) << type << " at " << x << "," << y;
        EXPECT_GT(ip[2], 0.0) << type;
        tested++;
      }
    }
    EXPECT_GT(tested, 60) << type;
  }
}

TEST(ViewGeometry, RaysOutsideTheProjectionAreRefused) {
  VIEW v = stdview;
  sscanview(&v, "-vta -vh 360 -vv 360");
  ASSERT_EQ(setview(&v), nullptr);
  FVECT o, d;
  EXPECT_EQ(viewray(o, d, &v, 0.99, 0.99), -1.0);
  EXPECT_EQ(viewray(o, d, &v, 0.5, 0.5), 0.0);
  EXPECT_NEAR(d[1], 1.0, 1e-12) << "the centre looks along the view direction";

  sscanview(&v, "-vth -vh 180 -vv 180");
  ASSERT_EQ(setview(&v), nullptr);
  EXPECT_EQ(viewray(o, d, &v, 0.0, 0.0), -1.0);

  sscanview(&v, "-vtv -vh 45 -vv 45 -vo 1 -va 11");
  ASSERT_EQ(setview(&v), nullptr);
  const double len = viewray(o, d, &v, 0.5, 0.5);
  EXPECT_NEAR(len, 10.0, 1e-12);
  EXPECT_NEAR(o[1], 1.0, 1e-12);

  VIEW bad = v;
  bad.type = 'q';
  EXPECT_EQ(viewray(o, d, &bad, 0.5, 0.5), -1.0);
}

TEST(ViewGeometry, PixelsAndImagePositionsMapBothWays) {
  for (int order = 0; order < 8; order++) {
    const PICRES r = {order, 7, 5};
    const int scanlen = picresScanlen(r), count = picresNumScans(r);
    for (int py = 0; py < count; py++) {
      for (int px = 0; px < scanlen; px++) {
        double loc[2];
        pix2loc(loc, &r, px, py);
        int pp[2];
        loc2pix(pp, &r, loc[0], loc[1]);
        EXPECT_EQ(pp[0], px) << order;
        EXPECT_EQ(pp[1], py) << order;
      }
    }
  }
  // Order 6 (top row first) puts pixel (0, 0) at the top left: x small, y large.
  const PICRES top = {6, 10, 4};
  double loc[2];
  pix2loc(loc, &top, 0, 0);
  EXPECT_DOUBLE_EQ(loc[0], 0.05);
  EXPECT_DOUBLE_EQ(loc[1], 0.875);
}

TEST(ViewLines, ViewfileReadsViewsAndResolution) {
  char path[] = "/tmp/lumerin_viewXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  auto viewfileOf = [&](const char* text, VIEW* v, PICRES* r) {
    FILE* fp = std::fopen(path, "w");
    std::fputs(text, fp);
    std::fclose(fp);
    return viewfile(path, v, r);
  };
  VIEW v = stdview;
  PICRES r;
  EXPECT_EQ(viewfileOf("#?VORTELUX\nVIEW= -vtv -vh 30\nSOMETHING=else\nVIEW= -vv 20\n"
                       "FORMAT=32-bit_rle_rgbe\n\n-Y 20 +X 30\n",
                       &v, &r),
            2);
  EXPECT_EQ(v.horiz, 30.0);
  EXPECT_EQ(v.vert, 20.0);
  EXPECT_EQ(r.order, 6);
  EXPECT_EQ(r.xres, 30);
  EXPECT_EQ(r.yres, 20);
  EXPECT_EQ(viewfileOf("VIEW= -vh 12\n\n-Y 0 +X 30\n", &v, &r), 0) << "malformed resolution";
  EXPECT_EQ(viewfile(path, &v, nullptr), 1);
  std::remove(path);
  EXPECT_EQ(viewfile(path, &v, nullptr), -1);

  const std::string own = std::string("/some/path/") + program_invocation_short_name + " -vh 5";
  EXPECT_EQ(isview(own.c_str()), 1);
  EXPECT_EQ(isview("VIEWS= -vh 5"), 0);
}
