// The info window over real records: what each tab shows, steppers and wrapping, the user
// field rows, the placeholder of the add slot, static text lengths, closing.
#include "infotest.h"

namespace {

TEST_F(InfoTest, EachTabOfARealPicture) {
  NEED_PICTURES();
  Put("DSCN0010.jpg");
  Put("Kodak_CX7530.jpg");
  Load();
  const int i = IndexOf("DSCN0010.jpg");
  ASSERT_GE(i, 0);
  SelectOnly(i);
  ASSERT_TRUE(info->ShowInfo(mw->GetBrowser(), i, true));
  EXPECT_TRUE(IsWindowVisible(W()));
  EXPECT_EQ(Text("info", 129), "DSCN0010.jpg");
  for (int tab = 1; tab <= 5; ++tab) {
    info->Tabs()->Select(tab);
    Shot(W(), "info-DSCN0010-tab" + std::to_string(tab));
  }
}

}  // namespace
