// The record of a saved view: size, densities, view angles and view specification rewritten for
// the pixels a crop and an orientation made.
#include <gtest/gtest.h>

#include <cmath>

#include "app/image/pimgsave.h"
#include "catalog/pfieldset.h"
#include "catalog/pdbase.h"
#include "picture/view.h"

namespace {

DBRecord Sized(long w, long h, const char* view) {
  DBRecord r(&PDBFInfo);
  PDBsetInt(&r, PDBFxsize, w);
  PDBsetInt(&r, PDBFysize, h);
  if (view) PDBsetString(&r, PDBFview, view);
  return r;
}

float Get(const DBRecord& r, PDBFieldID f) {
  float v = NAN;
  PDBgetFloat(r, f, &v);
  return v;
}

VIEW ViewOf(const DBRecord& r) {
  VIEW v = stdview;
  const char* s = PDBgetString(r, PDBFview);
  EXPECT_TRUE(s != nullptr && sscanview(&v, s) > 0) << (s ? s : "(no view)");
  return v;
}

TEST(FixImageSettings, CropsTurnsAndFlipsRewriteTheView) {
  const _ImgRect centre = {100, 300, 75, 225}, left = {0, 200, 0, 300}, whole = {0, 400, 0, 300};
  DBRecord r = Sized(400, 300, "-vtv -vh 60 -vv 40");
  fixImageSettings(&r, nullptr, &centre);
  EXPECT_NEAR(Get(r, PDBFxangle), 32.204, 0.001);
  EXPECT_NEAR(Get(r, PDBFyangle), 20.628, 0.001);
  EXPECT_EQ(PDBgetField(r, PDBFxsize).GetInt(0), 200);
  EXPECT_NEAR(ViewOf(r).horiz, 32.204, 0.001);

  r = Sized(400, 300, "-vth -vh 60 -vv 60");
  fixImageSettings(&r, nullptr, &centre);
  EXPECT_NEAR(Get(r, PDBFxangle), 28.955, 0.001);
  EXPECT_EQ(ViewOf(r).type, VT_HEM);

  r = Sized(400, 300, "-vtv -vh 60 -vv 40");
  fixImageSettings(&r, nullptr, &left);
  EXPECT_NEAR(ViewOf(r).hoff, -0.5, 1e-6);
  EXPECT_NEAR(ViewOf(r).voff, 0.0, 1e-6);

  // A whole-image crop keeps the angles; a quarter turn swaps them and the size, a mirror
  // turns the shift around.
  r = Sized(400, 300, nullptr);
  PDBsetFloat(&r, PDBFxangle, 60);
  PDBsetFloat(&r, PDBFyangle, 40);
  fixImageSettings(&r, nullptr, &whole);
  EXPECT_FLOAT_EQ(Get(r, PDBFxangle), 60);
  EXPECT_FLOAT_EQ(Get(r, PDBFyangle), 40);
  POrient turn;
  turn.SetOrigSize(400, 300);
  turn.RotateCW(90);
  fixImageSettings(&r, &turn, &whole);
  EXPECT_FLOAT_EQ(Get(r, PDBFxangle), 40);
  EXPECT_FLOAT_EQ(Get(r, PDBFyangle), 60);
  EXPECT_EQ(PDBgetField(r, PDBFxsize).GetInt(0), 300);
  EXPECT_EQ(PDBgetField(r, PDBFysize).GetInt(0), 400);

  r = Sized(400, 300, "-vtv -vh 60 -vv 40");
  POrient mirror;
  mirror.SetOrigSize(200, 300);
  mirror.HFlip();
  fixImageSettings(&r, &mirror, &left);
  EXPECT_NEAR(ViewOf(r).hoff, 0.5, 1e-6);
}

TEST(FixImageSettings, DensitiesAndRecordsWithoutASize) {
  const _ImgRect half = {0, 200, 0, 300};
  DBRecord r = Sized(400, 300, nullptr);
  PDBsetFloat(&r, PDBFxdensity, 300);
  PDBsetFloat(&r, PDBFydensity, 0.5);  // 1.0 or less means nothing: dropped
  fixImageSettings(&r, nullptr, &half);
  EXPECT_FLOAT_EQ(Get(r, PDBFxdensity), 300);
  EXPECT_FALSE(PDBgetField(r, PDBFydensity).IsSet());

  // No size: nothing to scale the view by, so it stays as it was (no division by 0).
  DBRecord n(&PDBFInfo);
  PDBsetString(&n, PDBFview, "-vtv -vh 60 -vv 40");
  PDBsetFloat(&n, PDBFxangle, 60);
  fixImageSettings(&n, nullptr, &half);
  EXPECT_STREQ(PDBgetString(n, PDBFview), "-vtv -vh 60 -vv 40");
  EXPECT_FLOAT_EQ(Get(n, PDBFxangle), 60);
}

}  // namespace
