// The main window's catalogue operations and the browser's edit transaction.
#include "maintest.h"

namespace {

using CatalogueOps = MainTest;

TEST_F(CatalogueOps, AnEditIsOneUndoStep) {
  ASSERT_TRUE(mw->OpenCatalog(Path("a.qdb").c_str()));
  ShowFolder(4);
  EXPECT_EQ(mw->AddRecords(), 4);
  EXPECT_STREQ(bc->rsrc, "*DB");
  EXPECT_EQ(EditItem(1), "Undo Add");

  ASSERT_TRUE(b->NewChange("Set"));
  EXPECT_FALSE(b->NewChange("Other"));  // one at a time, refused without ending anything
  EXPECT_TRUE(PisBusy());
  for (int i : {1, 2}) PDBsetString(b->ChangeRecord(i), PDBFtitle, "Harbour");
  EXPECT_EQ(b->ChangeRecord(4), nullptr);
  EXPECT_EQ(b->GetChangeMap().SumTotal(), 2u);
  EXPECT_FALSE(mw->LoadingRecords(nullptr));  // no load while an edit is open
  dmessage_last_class = DMCnerr;              // the refusals' warnings were seen
  EXPECT_EQ(b->CompleteChange(), 2);
  EXPECT_FALSE(PisBusy());
  EXPECT_FALSE(b->ChangeOpen());
  EXPECT_EQ(EditItem(1), "Undo Set");
  EXPECT_TRUE(EditEnabled(1));

  ASSERT_TRUE(mw->Undo());
  EXPECT_EQ(Status(), "Undid Set");
  EXPECT_EQ(PDBgetString(bc->rdisp.Get(1), PDBFtitle), nullptr);
  EXPECT_EQ(EditItem(2), "Redo Set");
  ASSERT_TRUE(mw->Redo());
  int titled = 0;
  for (int i = 0; i < 4; ++i) titled += PDBgetString(bc->rdisp.Get(i), PDBFtitle) != nullptr;
  EXPECT_EQ(titled, 2);

  ASSERT_TRUE(b->NewChange("Nothing"));
  EXPECT_EQ(b->CompleteChange(), 0);  // nothing marked: no step, the menu as it was
  EXPECT_EQ(EditItem(1), "Undo Set");
  mw->SetUndoable(false);
  EXPECT_EQ(EditItem(1), "Can't Undo");
  EXPECT_EQ(EditItem(2), "Redo");
  EXPECT_FALSE(EditEnabled(1));
  EXPECT_FALSE(EditEnabled(2));
}

}  // namespace
