// Camera-response records: the schema, installing a response and writing it back.
#include <sstream>

#include "hdr_test_util.h"

using namespace hdrtest;

namespace {

DBRecord ResponseRecord(int nr, int ng, int nb) {
  DBRecord r(&CDBFInfo);
  const float v[7] = {0.01f, 0.5f, 0.3f, 0.19f, 0, 0, 0};
  if (nr > 0) r.SetField(CDBFred, v, nr);
  if (ng > 0) r.SetField(CDBFgreen, v, ng);
  if (nb > 0) r.SetField(CDBFblue, v, nb);
  return r;
}

}  // namespace

TEST(ResponseRecord, InstallsEqualDegreesAndRefusesTheRest) {
  PHDImageMaker mk;
  EXPECT_TRUE(mk.SetResponse(ResponseRecord(4, 4, 4)));
  EXPECT_EQ(mk.Soln().ply[2].degree, 3);
  EXPECT_DOUBLE_EQ(mk.Soln().ply[1].coef[1], 0.5f);
  EXPECT_EQ(mk.HaveSoln() & PHDSresponse, PHDSresponse);
  EXPECT_EQ(mk.solveFlags & PHDSresponse, 0);
  // Refusals mark the response wanted again, so no absent polynomial is ever evaluated.
  EXPECT_FALSE(mk.SetResponse(ResponseRecord(7, 4, 4)));
  EXPECT_EQ(mk.HaveSoln() & PHDSresponse, 0);
  EXPECT_EQ(mk.solveFlags & PHDSresponse, PHDSresponse);
  EXPECT_FALSE(mk.SetResponse(ResponseRecord(4, 0, 4)));
  EXPECT_FALSE(mk.SetResponse(ResponseRecord(0, 4, 4)));
  for (int c = 0; c < 3; c++) EXPECT_GE(mk.Soln().ply[c].degree, 0);
  DBRecord photo(&PDBFInfo);
  EXPECT_FALSE(mk.SetResponse(photo));
  // Falling at the top: no response table could be made from it.
  DBRecord down(&CDBFInfo);
  const float fall[2] = {1.0f, -0.5f};
  for (int c = CDBFred; c <= CDBFblue; c++) down.SetField(c, fall, 2);
  EXPECT_FALSE(mk.SetResponse(down));
}

TEST(ResponseRecord, RoundTripsThroughAMakerAndReportsMissingVersion) {
  LoadReaders();
  ScratchDir dir;
  PHDImageMaker mk;
  _ImgStruct im = NewRGB(32, 32);
  PclearImage(&im, nullptr);
  ASSERT_TRUE(WriteTiff(dir.Path("a.tif"), im));
  PfreeImage(&im);
  ASSERT_TRUE(AddExposure(&mk, dir, "a.tif", 1));
  ASSERT_TRUE(mk.SetResponse(ResponseRecord(4, 4, 4)));
  mk.solveFlags = 0;
  DBRecord out;
  EXPECT_FALSE(mk.GetResponse(&out));  // the photo record has no Version
  EXPECT_STREQ(out[CDBFmake].GetString(), "Corvid");
  EXPECT_STREQ(out[CDBFmodel].GetString(), "K1");
  EXPECT_FALSE(out[CDBFversion].IsSet());
  PHDImageMaker back;
  ASSERT_TRUE(back.SetResponse(out));
  for (int c = 0; c < 3; c++) EXPECT_TRUE(samePoly(back.Soln().ply[c], mk.Soln().ply[c], 1e-7));
  // The '|'-separated text form the preferences keep reads back the same.
  std::ostringstream os;
  out.Write(&os, '|');
  std::istringstream is(os.str());
  DBRecord again(&CDBFInfo);
  ASSERT_GT(again.Read(&is, '|'), 0);
  ASSERT_TRUE(back.SetResponse(again));
  EXPECT_TRUE(samePoly(back.Soln().ply[0], mk.Soln().ply[0], 1e-6));
}
