#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "formats/tiffin.h"
#include "formats/tiff_builder.h"

namespace {

class TiffinOrder : public ::testing::TestWithParam<bool> {};

// Two chained directories with values of every kind, inline and out of line.
std::vector<uint8_t> sampleBlock(bool le) {
  TiffBuilder b(le);
  const int d0 = b.addIfd();
  const int d1 = b.addIfd();
  b.shorts(d0, 256, {640});
  b.shorts(d0, 258, {8, 16});  // two SHORTs: still inline
  b.ascii(d0, 271, "Maker Company Ltd.");
  b.rationals(d0, 282, {{72, 1}, {300, 7}});
  b.rationals(d0, 37377, {{static_cast<uint32_t>(-7), 2}}, 10);
  b.doubles(d0, 37439, {179.25});
  b.longs(d0, 11, {0x3fc00000u}, 11);  // FLOAT 1.5
  b.shorts(d0, 12, {static_cast<uint16_t>(-5)}, 8);
  b.bytes(d0, 13, 6, "\xfe");
  b.rationals(d0, 14, {{1, 0}});
  b.shorts(d1, 259, {6});
  b.longs(d1, 513, {1234});
  return b.build();
}

TEST_P(TiffinOrder, WalksEntriesAndReadsEveryValueKind) {
  const auto blk = sampleBlock(GetParam());
  TIFFin t;
  ASSERT_EQ(t.UseBuffer(blk.data(), blk.size()), 1);
  EXPECT_EQ(t.littleEndian(), GetParam() ? 1 : 0);
  EXPECT_EQ(t.length(), blk.size());
  ASSERT_EQ(t.SetIFD(0), 1);
  // NextTag walks in order, also after inline and offset values were read in between.
  EXPECT_EQ(t.NextTag(), 256);
  EXPECT_EQ(t.NextTag(), 258);
  uint16_t sh[4] = {};
  EXPECT_EQ(t.GetData(sh, TIFF_SHORT, 4, 0), 2);
  EXPECT_EQ(sh[0], 8);
  EXPECT_EQ(sh[1], 16);
  EXPECT_EQ(t.NextTag(), 271);
  char text[64];
  EXPECT_EQ(t.GetData(text, TIFF_ASCII, 64, 0), 19);
  EXPECT_STREQ(text, "Maker Company Ltd.");
  EXPECT_EQ(t.NextTag(), 282);
  EXPECT_EQ(t.NextTag(), 37377);
  for (int tag : {37439, 11, 12, 13, 14}) EXPECT_EQ(t.NextTag(), tag);
  EXPECT_EQ(t.NextTag(), -1);

  // Random access by tag.
  EXPECT_EQ(t.GetInteger(256), 640u);
  EXPECT_EQ(t.GetInteger(258), 8u);
  EXPECT_EQ(t.GetInteger(12), static_cast<uint32_t>(-5));  // SSHORT sign-extended
  EXPECT_EQ(t.GetInteger(13), static_cast<uint32_t>(-2));  // SBYTE sign-extended
  EXPECT_EQ(t.GetInteger(282), 0u);                        // not an integer type
  EXPECT_EQ(t.GetInteger(999), 0u);
  EXPECT_DOUBLE_EQ(t.GetReal(282), 72.0);
  EXPECT_DOUBLE_EQ(t.GetReal(37377), -3.5);
  EXPECT_DOUBLE_EQ(t.GetReal(37439), 179.25);
  EXPECT_DOUBLE_EQ(t.GetReal(11), 1.5);
  EXPECT_DOUBLE_EQ(t.GetReal(12), -5.0);
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
  EXPECT_EQ(t.GetData(rd, TIFF_RATIONAL, 2, 2), 0);  // only 4 or 8 for rationals
  ASSERT_EQ(t.FindTag(282), 1);
  EXPECT_EQ(t.GetData(rd, TIFF_SHORT, 2, 0), 0);  // stored type differs
  ASSERT_EQ(t.FindTag(37439), 1);
  EXPECT_EQ(t.GetData(rd, 0, 1, 0), 1);  // any type
  EXPECT_EQ(t.LastType(), TIFF_DOUBLE);
  EXPECT_DOUBLE_EQ(rd[0], 179.25);
  EXPECT_EQ(t.GetData(rd, 0, 1, 0), 0);  // no entry found just now

  float one = 0;
  EXPECT_EQ(t.GetTagValue(37377, &one, TIFF_SRATIONAL), 1);
  EXPECT_FLOAT_EQ(one, -3.5f);

  ASSERT_EQ(t.SetIFD(1), 1);
  EXPECT_EQ(t.GetInteger(259), 6u);
  EXPECT_EQ(t.GetInteger(513), 1234u);
  EXPECT_EQ(t.GetInteger(256), 0u);  // IFD0's tag is not in IFD1
  EXPECT_EQ(t.SetIFD(2), 0);
}

TEST_P(TiffinOrder, AsciiValuesAreCutToTheRoomGiven) {
  TiffBuilder b(GetParam());
  const int d = b.addIfd();
  b.ascii(d, 270, std::string(30, 'x'));
  const auto blk = b.build();
  TIFFin t;
  ASSERT_EQ(t.UseBuffer(blk.data(), blk.size()), 1);
  ASSERT_EQ(t.SetIFD(0), 1);
  char dest[21];
  std::memset(dest, '#', sizeof dest);
  ASSERT_EQ(t.FindTag(270), 1);
  EXPECT_EQ(t.GetData(dest, TIFF_ASCII, 20, 0), 19);
  EXPECT_EQ(std::string(dest), std::string(19, 'x'));
  EXPECT_EQ(dest[20], '#');
  char big[TIFFIN_MAXASCII];
  EXPECT_EQ(t.GetTagValue(270, big, TIFF_ASCII), 1);
  EXPECT_EQ(std::string(big), std::string(30, 'x'));
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, TiffinOrder, ::testing::Bool(),
                         [](const auto& i) { return i.param ? "II" : "MM"; });

TEST(Tiffin, RefusesBadHeadersAndShortBlocks) {
  const unsigned char good[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  TIFFin t;
  EXPECT_EQ(t.UseBuffer(good, 8), 0);
  EXPECT_EQ(t.UseBuffer(nullptr, 100), 0);
  EXPECT_EQ(t.UseBuffer(good, sizeof good), 1);
  unsigned char bad[sizeof good];
  std::memcpy(bad, good, sizeof good);
  bad[1] = 'M';
  EXPECT_EQ(t.UseBuffer(bad, sizeof bad), 0);
  EXPECT_EQ(t.SetIFD(0), 0);  // the stream was dropped
  std::memcpy(bad, good, sizeof good);
  bad[2] = 43;
  EXPECT_EQ(t.UseBuffer(bad, sizeof bad), 0);
  EXPECT_EQ(t.OpenFile(nullptr), 0);
  EXPECT_EQ(t.OpenFile("/nonexistent/file.tif"), 0);
  EXPECT_EQ(t.NextTag(), -1);
  EXPECT_EQ(t.GetInteger(256), 0u);
}

// Offsets, counts and entry counts that point outside the block are refused, and the
// destination never receives more than the room given.
TEST(Tiffin, HostileOffsetsAndCountsAreRefused) {
  TiffBuilder b(true);
  const int d = b.addIfd();
  b.shorts(d, 1, {1, 2, 3, 4});
  auto blk = b.build();
  // The entry's value offset is at 8 + 2 + 8.
  auto patched = blk;
  patched[18] = 0xf0;
  patched[19] = 0xff;
  TIFFin t;
  ASSERT_EQ(t.UseBuffer(patched.data(), patched.size()), 1);
  ASSERT_EQ(t.SetIFD(0), 1);
  uint16_t dest[8] = {};
  ASSERT_EQ(t.FindTag(1), 1);
  EXPECT_EQ(t.GetData(dest, TIFF_SHORT, 8, 0), 0);
  EXPECT_EQ(t.GetInteger(1), 0u);

  // A count far beyond the data: reading the first values must not run past the block.
  patched = blk;
  patched[14] = patched[15] = patched[16] = 0xff;
  ASSERT_EQ(t.UseBuffer(patched.data(), patched.size()), 1);
  ASSERT_EQ(t.SetIFD(0), 1);
  ASSERT_EQ(t.FindTag(1), 1);
  EXPECT_EQ(t.GetData(dest, TIFF_SHORT, 8, 0), 0);
  EXPECT_EQ(t.GetInteger(1), 1u);  // the first value lies inside

  // An entry count far beyond the block ends the walk at the block's end.
  patched = blk;
  patched[8] = 0xff;
  patched[9] = 0xff;
  ASSERT_EQ(t.UseBuffer(patched.data(), patched.size()), 1);
  ASSERT_EQ(t.SetIFD(0), 1);
  int seen = 0;
  while (t.NextTag() >= 0) ++seen;
  EXPECT_LE(seen, 2);
  EXPECT_EQ(t.SetIFD(1), 0);

  // A directory offset past the end, and a directory chain that loops.
  patched = blk;
  patched[4] = 0xff;
  ASSERT_EQ(t.UseBuffer(patched.data(), patched.size()), 1);
  EXPECT_EQ(t.SetIFD(0), 0);
  EXPECT_EQ(t.SeekIFD(static_cast<uint32_t>(blk.size() + 1)), 0);
  EXPECT_EQ(t.SeekIFD(0), 0);
  patched = blk;
  patched[22] = 8;  // next-directory offset points back at IFD0
  ASSERT_EQ(t.UseBuffer(patched.data(), patched.size()), 1);
  EXPECT_EQ(t.SetIFD(1000), 1);
}

TEST(Tiffin, LendsItsStreamAndReadsFiles) {
  TiffBuilder b(false);
  const int d = b.addIfd();
  b.longs(d, 513, {0});
  const int blob = b.addBlob({'h', 'e', 'l', 'l', 'o'});
  b.blobPointer(d, 514, blob);
  const auto blk = b.build();
  char path[] = "/tmp/tiffinXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, blk.data(), blk.size()), static_cast<ssize_t>(blk.size()));
  close(fd);
  TIFFin t;
  ASSERT_EQ(t.OpenFile(path), 1);
  unlink(path);
  ASSERT_EQ(t.SetIFD(0), 1);
  const uint32_t at = t.GetInteger(514);
  ASSERT_EQ(at, blk.size() - 5);
  EXPECT_EQ(t.GrabStream(static_cast<uint32_t>(blk.size() + 1)), nullptr);
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
