// View specifications.
#include "formats/view.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

void expectSameView(const VIEW& a, const VIEW& b) {
  EXPECT_EQ(a.type, b.type);
  for (int i = 0; i < 3; i++) {
    EXPECT_NEAR(a.vp[i], b.vp[i], 1e-5);
    EXPECT_NEAR(a.vdir[i] * a.vdist, b.vdir[i] * b.vdist, 1e-5);
    EXPECT_NEAR(a.vup[i], b.vup[i], 1e-5);
  }
  EXPECT_NEAR(a.horiz, b.horiz, 1e-5);
  EXPECT_NEAR(a.vert, b.vert, 1e-5);
  EXPECT_NEAR(a.hoff, b.hoff, 1e-5);
  EXPECT_NEAR(a.voff, b.voff, 1e-5);
  EXPECT_NEAR(a.vfore, b.vfore, 1e-5);
  EXPECT_NEAR(a.vaft, b.vaft, 1e-5);
}

}  // namespace

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
  expectSameView(back, v);
}

TEST(ViewOptions, LongestOptionTextFits) {
  VIEW v = stdview;
  v.type = VT_PAR;
  const double big = -1.23456789e+300;
  for (int i = 0; i < 3; i++) v.vp[i] = v.vdir[i] = v.vup[i] = big;
  v.vdist = 1;
  v.horiz = v.vert = v.hoff = v.voff = v.vfore = v.vaft = big;
  const std::string text = viewopt(&v);
  EXPECT_EQ(text.size(), 5u + 3 * (4 + 3 * 14) + 6 * (4 + 14)) << text;
  VIEW back = stdview;
  EXPECT_EQ(sscanview(&back, text.c_str()), 10);
}

TEST(ViewOptions, MalformedWordsAreSkipped) {
  VIEW v = stdview;
  EXPECT_EQ(sscanview(&v, "-vtc"), 1);
  EXPECT_EQ(v.type, 'c');
  EXPECT_EQ(sscanview(&v, "-vt"), 0);
  EXPECT_EQ(sscanview(&v, "-vtab"), 0);
  EXPECT_EQ(sscanview(&v, "-vhx 5"), 0);
  EXPECT_EQ(v.horiz, 45.0);
  EXPECT_EQ(sscanview(&v, "   "), 0);
  EXPECT_EQ(sscanview(&v, nullptr), 0);
  // A vector option short of numbers is skipped, and what follows is still read.
  EXPECT_EQ(sscanview(&v, "junk -vp 1 2 x -vh 30 more -vv 20"), 2);
  EXPECT_EQ(v.vp[0], 0.0);
  EXPECT_EQ(v.horiz, 30.0);
  EXPECT_EQ(v.vert, 20.0);
  EXPECT_EQ(sscanview(&v, "-vp 1 2"), 0);
  EXPECT_EQ(sscanview(&v, "-vv 1e"), 0);
  EXPECT_EQ(sscanview(&v, "VIEW= -vh 10\n"), 1);
  EXPECT_EQ(v.horiz, 10.0);

  const char* av[] = {"-vd", "1", "0", "0"};
  EXPECT_EQ(getviewopt(&v, 4, av), 3);
  EXPECT_EQ(getviewopt(&v, 3, av), -1);
  EXPECT_EQ(getviewopt(&v, 0, av), -1);
  const char* notopt[] = {"-vq", "1"};
  EXPECT_EQ(getviewopt(&v, 2, notopt), -1);
}

TEST(ViewCheck, SetviewRefusesImpossibleViews) {
  struct Case {
    const char* options;
    const char* message;
  } cases[] = {
      {"-vtv -vv 180", "illegal vertical view size"},
      {"-vtv -vh 179.9999995", "illegal horizontal view size"},
      {"-vtc -vh 360", nullptr},
      {"-vtc -vh 361", "illegal horizontal view size"},
      {"-vtc -vv 180", "illegal vertical view size"},
      {"-vth -vh 180 -vv 180", nullptr},
      {"-vth -vv 181", "illegal vertical view size"},
      {"-vta -vh 360 -vv 360", nullptr},
      {"-vts -vh 360", "illegal horizontal view size"},
      {"-vtl -vh 10 -vv 5", nullptr},
      {"-vtx", "unknown view type"},
      {"-vd 0 0 0", "zero view direction"},
      {"-vu 0 0 0", "zero view up vector"},
      {"-vd 0 0 1", "view up parallel to view direction"},
      {"-vh 0", "illegal horizontal view size"},
      {"-vv -3", "illegal vertical view size"},
      {"-vo 5 -va 2", "illegal fore/aft clipping plane"},
      {"-va -1", "illegal fore/aft clipping plane"},
      {"-vo 5 -va 20", nullptr},
  };
  for (const Case& c : cases) {
    VIEW v = stdview;
    sscanview(&v, c.options);
    const char* err = setview(&v);
    if (c.message == nullptr)
      EXPECT_EQ(err, nullptr) << c.options << ": " << err;
    else
      EXPECT_STREQ(err, c.message) << c.options;
  }
  VIEW v = stdview;
  v.vdist = 0;
  EXPECT_STREQ(setview(&v), "illegal view distance");
}

TEST(ViewGeometry, ViewrayAndViewlocAreInverse) {
  for (const char* type : {"-vtv", "-vtl", "-vth", "-vtc", "-vta", "-vts"}) {
    VIEW v = stdview;
    sscanview(&v, type);
    sscanview(&v, "-vp 1 -2 0.5 -vd 1 1 0.2 -vu 0 0.3 1 -vh 100 -vv 70 -vs 0.1 -vl -0.05");
    if (v.type == VT_PER) sscanview(&v, "-vh 60 -vv 40");
    if (v.type == VT_PAR) sscanview(&v, "-vh 4 -vv 3");
    if (v.type == VT_HEM) sscanview(&v, "-vh 170 -vv 150");
    if (v.type == VT_CYL) sscanview(&v, "-vh 300 -vv 60");
    if (v.type == VT_ANG) sscanview(&v, "-vh 300 -vv 250");
    if (v.type == VT_PLS) sscanview(&v, "-vh 300 -vv 250");
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
        EXPECT_GT(loc[0], 0.0);
        EXPECT_LT(loc[0], 1.0);
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

TEST(ViewGeometry, NormaspectFitsTheImageToTheView) {
  double ap = 1.0;
  int x = 512, y = 512;
  normaspect(0.5, &ap, &x, &y);
  EXPECT_EQ(x, 512);
  EXPECT_EQ(y, 256);
  x = 512;
  y = 512;
  normaspect(2.0, &ap, &x, &y);
  EXPECT_EQ(x, 256);
  EXPECT_EQ(y, 512);
  ap = 0;
  x = 400;
  y = 200;
  normaspect(1.0, &ap, &x, &y);
  EXPECT_DOUBLE_EQ(ap, 2.0);
  EXPECT_EQ(x, 400);
}

TEST(ViewLines, IsviewKnowsViewLines) {
  EXPECT_EQ(isview("VIEW= -vtv\n"), 1);
  EXPECT_EQ(isview("VIEW=-vtv"), 1);
  const std::string own = std::string("/some/path/") + program_invocation_short_name + " -vh 5";
  EXPECT_EQ(isview(own.c_str()), 1);
  EXPECT_EQ(isview("VIEWS= x"), 0);
  EXPECT_EQ(isview("FORMAT=32-bit_rle_rgbe\n"), 0);
  EXPECT_EQ(isview("#?VORTELUX\n"), 0);
  EXPECT_EQ(isview(""), 0);
}

TEST(ViewLines, ViewfileReadsViewsAndResolution) {
  char path[] = "/tmp/lumerin_viewXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  FILE* fp = fdopen(fd, "w");
  std::fputs(
      "#?VORTELUX\nVIEW= -vtv -vh 30\nSOMETHING=else\nVIEW= -vv 20\n"
      "FORMAT=32-bit_rle_rgbe\n\n-Y 20 +X 30\n",
      fp);
  std::fclose(fp);
  VIEW v = stdview;
  PICRES r;
  EXPECT_EQ(viewfile(path, &v, &r), 2);
  EXPECT_EQ(v.horiz, 30.0);
  EXPECT_EQ(v.vert, 20.0);
  EXPECT_EQ(r.order, 6);
  EXPECT_EQ(r.xres, 30);
  EXPECT_EQ(r.yres, 20);

  fp = std::fopen(path, "w");
  std::fputs("VIEW= -vh 12\n\n-Y 0 +X 30\n", fp);
  std::fclose(fp);
  EXPECT_EQ(viewfile(path, &v, &r), 0) << "malformed resolution";
  EXPECT_EQ(viewfile(path, &v, nullptr), 1);
  std::remove(path);
  EXPECT_EQ(viewfile(path, &v, nullptr), -1);
}
