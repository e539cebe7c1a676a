#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>

#include "formats/jpeg_test_util.h"
#include "formats/tiff_builder.h"
#include "formats/tiffin.h"

namespace {

class TiffinOrder : public ::testing::TestWithParam<bool> {};

TEST_P(TiffinOrder, WalksEntriesAndReadsEveryValueKind) {
  TiffBuilder b(GetParam());
  const int d0 = b.addIfd(), d1 = b.addIfd();
  b.shorts(d0, 258, {8, 16});  // two SHORTs: still inline
  b.ascii(d0, 270, std::string(30, 'x'));
  b.rationals(d0, 282, {{72, 1}, {300, 7}});
  b.rationals(d0, 37377, {{static_cast<uint32_t>(-7), 2}}, 10);
  b.doubles(d0, 37439, {179.25});
  b.longs(d0, 11, {0x3fc00000u}, 11);  // FLOAT 1.5
  b.shorts(d0, 12, {0xfffb}, 8);       // SSHORT -5
  b.rationals(d0, 14, {{1, 0}});
  b.shorts(d1, 259, {6});
  const auto blk = b.build();
  TIFFin t;
  ASSERT_EQ(t.UseBuffer(blk.data(), blk.size()), 1);
  EXPECT_EQ(t.littleEndian(), GetParam() ? 1 : 0);
  ASSERT_EQ(t.SetIFD(0), 1);
  // The walk goes on in order after inline and out-of-line values were read.
  EXPECT_EQ(t.NextTag(), 258);
  uint16_t sh[4] = {};
  EXPECT_EQ(t.GetData(sh, TIFF_SHORT, 4, 0), 2);
  EXPECT_EQ(sh[1], 16);
  EXPECT_EQ(t.NextTag(), 270);
  char text[21];
  std::memset(text, '#', sizeof text);
  EXPECT_EQ(t.GetData(text, TIFF_ASCII, 20, 0), 19);  // cut to the room given
  EXPECT_EQ(std::string(text), std::string(19, 'x'));
  EXPECT_EQ(text[20], '#');
  for (int tag : {282, 37377, 37439, 11, 12, 14}) EXPECT_EQ(t.NextTag(), tag);
  EXPECT_EQ(t.NextTag(), -1);

  EXPECT_EQ(t.GetInteger(12), static_cast<uint32_t>(-5));
  EXPECT_EQ(t.GetInteger(282), 0u);  // not an integer type
  EXPECT_EQ(t.GetInteger(999), 0u);
  EXPECT_DOUBLE_EQ(t.GetReal(282), 72.0);
  EXPECT_DOUBLE_EQ(t.GetReal(37377), -3.5);
  EXPECT_DOUBLE_EQ(t.GetReal(37439), 179.25);
  EXPECT_DOUBLE_EQ(t.GetReal(11), 1.5);
  EXPECT_DOUBLE_EQ(t.GetReal(14), 0.0);  // zero denominator
  float rf[2];
  double rd[2];
  ASSERT_EQ(t.FindTag(282), 1);
  EXPECT_EQ(t.GetData(rf, TIFF_RATIONAL, 2, 0), 2);
  EXPECT_FLOAT_EQ(rf[1], 300.0f / 7.0f);
  ASSERT_EQ(t.FindTag(282), 1);
  EXPECT_EQ(t.GetData(rd, TIFF_RATIONAL, 2, 8), 2);
  EXPECT_DOUBLE_EQ(rd[1], 300.0 / 7.0);
  ASSERT_EQ(t.FindTag(282), 1);
  EXPECT_EQ(t.GetData(rd, TIFF_SHORT, 2, 0), 0);  // stored type differs
  ASSERT_EQ(t.FindTag(37439), 1);
  EXPECT_EQ(t.GetData(rd, 0, 1, 0), 1);  // any type
  EXPECT_EQ(t.LastType(), TIFF_DOUBLE);
  EXPECT_EQ(t.GetData(rd, 0, 1, 0), 0);  // no entry found just now
  char big[TIFFIN_MAXASCII];
  EXPECT_EQ(t.GetTagValue(270, big, TIFF_ASCII), 1);
  EXPECT_EQ(std::strlen(big), 30u);

  ASSERT_EQ(t.SetIFD(1), 1);
  EXPECT_EQ(t.GetInteger(259), 6u);
  EXPECT_EQ(t.GetInteger(258), 0u);  // IFD0's tag is not in IFD1
  EXPECT_EQ(t.SetIFD(2), 0);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, TiffinOrder, ::testing::Bool(),
                         [](const auto& i) { return i.param ? "II" : "MM"; });

TEST(Tiffin, RefusesBadHeaders) {
  const unsigned char good[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  TIFFin t;
  EXPECT_EQ(t.UseBuffer(good, 8), 0);
  EXPECT_EQ(t.UseBuffer(good, sizeof good), 1);
  unsigned char bad[sizeof good];
  for (int at : {1, 2}) {  // "IM", magic 43
    std::memcpy(bad, good, sizeof good);
    bad[at] = at == 1 ? 'M' : 43;
    EXPECT_EQ(t.UseBuffer(bad, sizeof bad), 0);
    EXPECT_EQ(t.SetIFD(0), 0);  // the stream was dropped
  }
  EXPECT_EQ(t.OpenFile("/nonexistent/file.tif"), 0);
}

// Offsets, counts and entry counts that point outside the block are refused, and the
// destination never receives more than the room given.
TEST(Tiffin, HostileOffsetsAndCountsAreRefused) {
  TiffBuilder b(true);
  b.shorts(b.addIfd(), 1, {1, 2, 3, 4});
  const auto blk = b.build();  // the entry's count at 14, its value offset at 18
  auto patch = [&](std::initializer_list<std::pair<int, uint8_t>> bytes) {
    auto p = blk;
    for (auto& kv : bytes) p[kv.first] = kv.second;
    return p;
  };
  TIFFin t;
  uint16_t dest[8] = {};
  auto p = patch({{18, 0xf0}, {19, 0xff}});
  ASSERT_EQ(t.UseBuffer(p.data(), p.size()), 1);
  ASSERT_EQ(t.SetIFD(0) && t.FindTag(1), 1);
  EXPECT_EQ(t.GetData(dest, TIFF_SHORT, 8, 0), 0);
  EXPECT_EQ(t.GetInteger(1), 0u);
  p = patch({{14, 0xff}, {15, 0xff}, {16, 0xff}});  // a count far beyond the data
  ASSERT_EQ(t.UseBuffer(p.data(), p.size()), 1);
  ASSERT_EQ(t.SetIFD(0) && t.FindTag(1), 1);
  EXPECT_EQ(t.GetData(dest, TIFF_SHORT, 8, 0), 0);
  EXPECT_EQ(t.GetInteger(1), 1u);     // the first value lies inside
  p = patch({{8, 0xff}, {9, 0xff}});  // an entry count far beyond the block
  ASSERT_EQ(t.UseBuffer(p.data(), p.size()), 1);
  ASSERT_EQ(t.SetIFD(0), 1);
  int seen = 0;
  while (t.NextTag() >= 0) ++seen;
  EXPECT_LE(seen, 2);
  EXPECT_EQ(t.SetIFD(1), 0);
  p = patch({{4, 0xff}});  // a directory past the end
  ASSERT_EQ(t.UseBuffer(p.data(), p.size()), 1);
  EXPECT_EQ(t.SetIFD(0), 0);
  EXPECT_EQ(t.SeekIFD(static_cast<uint32_t>(blk.size() + 1)), 0);
}

TEST(Tiffin, LendsItsStreamAndReadsFiles) {
  TiffBuilder b(false);
  b.blob(b.addIfd(), 514, {'h', 'e', 'l', 'l', 'o'});
  TempFile f(".tif");
  writeFile(f.path, b.build());
  TIFFin t;
  ASSERT_EQ(t.OpenFile(f.path.c_str()), 1);
  ASSERT_EQ(t.SetIFD(0), 1);
  const uint32_t at = t.GetInteger(514);
  EXPECT_EQ(t.GrabStream(t.length() + 1), nullptr);
  std::istream* s = t.GrabStream(at);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(t.SetIFD(0), 0);  // unusable while lent
  char got[6] = {};
  s->read(got, 5);
  EXPECT_STREQ(got, "hello");
  t.ReleaseStream(s);
  ASSERT_EQ(t.SetIFD(0), 1);
  EXPECT_EQ(t.GetInteger(514), at);
}

}  // namespace
