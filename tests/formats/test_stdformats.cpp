// Registration of the standard readers: their order, idempotence, and which reader a file
// reaches by its suffix.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fmt_test_util.h"
#include "formats/stdformats.h"

using namespace pictest;

namespace {

// Empties the process-wide registry for a test and puts it back afterwards.
class StandardReaders : public ::testing::Test {
 protected:
  void SetUp() override {
    memcpy(saved_, PIReaderI, sizeof saved_);
    memset(PIReaderI, 0, sizeof PIReaderI);
  }
  void TearDown() override { memcpy(PIReaderI, saved_, sizeof saved_); }

 private:
  const _ImgReaderInterface* saved_[IR_MAXREADERS + 1];
};

int Registered() {
  int n = 0;
  while (n < IR_MAXREADERS && PIReaderI[n] != nullptr) n++;
  return n;
}

TEST_F(StandardReaders, RegisteredOnceInTheirOrder) {
  ASSERT_EQ(PloadStandardReaders(), 1);
  const int n = Registered();
  ASSERT_EQ(n, 5);
  const _ImgReaderInterface* const order[] = {&IRInterfaceTIFF, &IRInterfaceJPEG, &IRInterfaceRad,
                                              &IRInterfaceEXR, &IRInterfaceBMP};
  for (int i = 0; i < n; i++) EXPECT_EQ(PIReaderI[i], order[i]) << i;
  EXPECT_EQ(PloadStandardReaders(), 1);
  EXPECT_EQ(Registered(), n);
}

TEST_F(StandardReaders, SuffixesChooseTheReader) {
  ASSERT_EQ(PloadStandardReaders(), 1);
  const _ImgReaderInterface* list[IR_MAXREADERS + 1];
  struct Case {
    const char* suffix;
    const _ImgReaderInterface* reader;
  } cases[] = {{"hdr", &IRInterfaceRad},  {"PIC", &IRInterfaceRad}, {"rgbe", &IRInterfaceRad},
               {"xyze", &IRInterfaceRad}, {"exr", &IRInterfaceEXR}, {"EXR", &IRInterfaceEXR},
               {"ilm", &IRInterfaceEXR}};
  for (const Case& c : cases) {
    ASSERT_EQ(PtargetReader(list, c.suffix), 1) << c.suffix;
    EXPECT_EQ(list[0], c.reader) << c.suffix;
  }
  // Through the registry, a file opens with its own reader.
  ScratchDir dir;
  const FloatImage src = Pattern(8, 8);
  const _ImgWriteBuf wb = src.WriteBuf();
  const std::string hdr = dir.Path("a.HDR"), exr = dir.Path("a.exr");
  ASSERT_GT(IWInterfaceRad.WriteImage(hdr.c_str(), &wb), 0);
  ASSERT_GT(IWInterfaceEXR.WriteImage(exr.c_str(), &wb), 0);
  EXPECT_STREQ(IWInterfaceRad.suffix, "hdr");
  EXPECT_STREQ(IWInterfaceEXR.suffix, "exr");
  for (const std::string& p : {hdr, exr}) {
    _ImgReader* ir = PopenImageF(p.c_str(), 1, nullptr);
    ASSERT_NE(ir, nullptr) << p;
    ReaderCloser c{ir};
    EXPECT_EQ(ir->ri, p == hdr ? &IRInterfaceRad : &IRInterfaceEXR);
  }
}

}  // namespace
