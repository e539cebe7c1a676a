// Cached images: shared and rendered requests, the first request's colour space, and
// reloading after the memory cache freed the pixels under a tight budget.
#include <string>

#include "catalog/pfieldset.h"
#include "catalog/photo_test_util.h"
#include "testutil/message_log.h"

namespace {

// A memory budget for the test's scope.
class Budget {
 public:
  explicit Budget(uint64_t bytes) : old_(CacheObject::tab.memoryBudget) {
    CacheObject::tab.memoryBudget = bytes;
  }
  ~Budget() { CacheObject::tab.memoryBudget = old_; }

 private:
  uint64_t old_;
};

int CountLoads(const MessageLog& log, const std::string& name) {
  int n = 0;
  for (const auto& e : log.entries)
    if (e.first == DMCtrace && e.second.find("Loading image") == 0 &&
        e.second.find(name) != std::string::npos)
      n++;
  return n;
}

}  // namespace

TEST(PCacheImage, SharedRequestsHoldThePixelsAndOthersAreCopies) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/landscape_1.jpg");
  MessageLog log;
  // 600 x 450 RGB is 810,000 bytes; two do not fit.
  Budget budget(1200000);
  PCacheImage* a = new PCacheImage;
  PCacheImage* b = new PCacheImage;
  ASSERT_TRUE(a->SetImage(phototest::TestData("jpeg/landscape_1.jpg").c_str(), false));
  ASSERT_TRUE(b->SetImage(phototest::TestData("jpeg/landscape_6.jpg").c_str(), false));
  long w = 0;
  ASSERT_TRUE(PDBgetInt(a->GetRecord(), PDBFxsize, &w));
  EXPECT_EQ(w, 600);

  _ImgStruct whole = {};
  whole.xres = 600;
  whole.yres = 450;
  whole.csp = &ICS_sRGB;
  ASSERT_TRUE(a->GetSubimage(&whole, nullptr));
  EXPECT_EQ(whole.mbase, a);  // shares the cached pixels
  EXPECT_EQ(CountLoads(log, "landscape_1"), 1);

  // While the sub-image is held, loading b cannot free a.
  _ImgStruct bwhole = whole;
  bwhole.mbase = nullptr;
  bwhole.img = nullptr;
  ASSERT_TRUE(b->GetSubimage(&bwhole, nullptr));
  EXPECT_TRUE(a->IsResident());
  PfreeImage(&bwhole);

  // A smaller request at another size is a rendered copy.
  _ImgStruct small = phototest::NewRGB(60, 45);
  const _ImgRect r = {0, 300, 0, 225};
  ASSERT_TRUE(a->GetSubimage(&small, &r));
  EXPECT_NE(small.mbase, a);

  // The first request fixed sRGB: a grey request is converted, not shared.
  _ImgStruct grey = {};
  grey.xres = 600;
  grey.yres = 450;
  grey.csp = &ICS_Y8;
  ASSERT_TRUE(a->GetSubimage(&grey, nullptr));
  EXPECT_NE(grey.mbase, a);
  PfreeImage(&grey);

  // Released, a's pixels may go: b's next load pushes them out, and a reloads.
  PfreeImage(&whole);
  ASSERT_TRUE(b->GetSubimage(&bwhole, nullptr));
  PfreeImage(&bwhole);
  EXPECT_FALSE(a->IsResident());
  EXPECT_TRUE(
      log.Has(DMCtrace, "Unloading image '" + phototest::TestData("jpeg/landscape_1.jpg") + "'"));
  ASSERT_TRUE(a->GetSubimage(&whole, nullptr));
  EXPECT_EQ(CountLoads(log, "landscape_1"), 2);
  // The reloaded pixels equal the copy made before.
  _ImgStruct again = phototest::NewRGB(60, 45);
  ASSERT_TRUE(a->GetSubimage(&again, &r));
  EXPECT_GE(phototest::Psnr(again, small), 99.0);
  PfreeImage(&whole);
  PfreeImage(&small);
  PfreeImage(&again);
  a->HolderRelease();
  b->HolderRelease();
}

TEST(PCacheImage, RecordCopyIsFilledOnlyWithoutSize) {
  phototest::LoadReaders();
  SKIP_WITHOUT_TESTDATA("jpeg/landscape_1.jpg");
  DBRecord r(&PDBFInfo);
  recordFilePath(&r, phototest::TestData("jpeg/landscape_1.jpg").c_str());
  PCacheImage* ci = new PCacheImage;
  ASSERT_TRUE(ci->SetImage(r, true));
  long v = 0;
  EXPECT_TRUE(PDBgetInt(ci->GetRecord(), PDBFxsize, &v));
  EXPECT_EQ(v, 600);
  PDBsetInt(&r, PDBFxsize, 7);
  ASSERT_TRUE(ci->SetImage(r, true));
  EXPECT_TRUE(PDBgetInt(ci->GetRecord(), PDBFxsize, &v));
  EXPECT_EQ(v, 7);
  EXPECT_FALSE(PDBgetField(ci->GetRecord(), PDBFformat).IsSet());
  ci->CloseImage();
  EXPECT_EQ(ci->GetReader(), nullptr);
  _ImgStruct im = phototest::NewRGB(4, 4);
  EXPECT_FALSE(ci->GetSubimage(&im, nullptr));
  PfreeImage(&im);
  DBRecord none(&PDBFInfo);
  EXPECT_FALSE(ci->SetImage(none, true));
  EXPECT_FALSE(ci->SetImage(static_cast<const char*>(nullptr), true));
  ci->HolderRelease();
}
