// Table mode: the columns chosen by the flags or one by one, cells cut to the column's width,
// a column for a field the records lack, the selection between the table and the context, and
// sorting.
#include <set>

#include "browsertest.h"

namespace {

class Table : public BrowserTest {
 protected:
  void SetUp() override {
    BrowserTest::SetUp();
    mw->SetThumbSize(FourCC("tmed"), true);  // the checked size again: the table
    ASSERT_EQ(b->tnDenom, 0);
  }
  std::string CellText(int row, int col) const {
    char buf[256];
    short len = sizeof buf;
    if (!LGetCell(buf, &len, Cell(row, col), b->listh)) return "?";
    return std::string(buf, static_cast<size_t>(len));
  }
  // A plain click (with modifiers) on the table's cell.
  void ClickCell(int row, int col, Qt::KeyboardModifiers m = {}) {
    Rect view;
    GetListViewBounds(b->listh, &view);
    const QPoint p(view.left + col * b->csiz.h + 5, view.top + row * b->csiz.v + 5);
    QWidget* w = PlatformContentWidget(mw->GetWindow());
    QTest::mouseClick(w, Qt::LeftButton, m, p);
    checkEvents(0);
  }
};

TEST_F(Table, ColumnsByFlagsOrOneByOne) {
  MakeRecords(10);
  ctx->rdisp[2].SetField(PDBFmake, "Canon");
  b->Redisplay();
  // The default fields: the brief ones that some record sets (not Make).
  ASSERT_NE(b->listh, nullptr);
  ASSERT_EQ(b->dfCount, 2);
  EXPECT_EQ(b->dfOrder[0], PDBFfile);
  EXPECT_EQ(b->dfOrder[1], PDBFtitle);
  EXPECT_EQ(CellText(3, 0), "f3.jpg");
  EXPECT_EQ(CellText(4, 1), "");  // record 4 has no title
  EXPECT_EQ(CellText(5, 1), "R5");
  // Every field that some record sets ('vall').
  mw->SetDisplayFields(FourCC("vall"), false);
  ASSERT_NE(b->listh, nullptr);
  ASSERT_EQ(b->dfCount, 3);
  EXPECT_EQ(b->dfOrder[2], PDBFmake);
  EXPECT_EQ(CellText(2, 2), "Canon");
  // With no field set at all (and bit 2 clear) there is no table and the pane is blank.
  ctx->Clear(nullptr);
  ctx->rdisp.NewRecord().Init(&PDBFInfo);
  b->Redisplay();
  EXPECT_EQ(b->listh, nullptr);
  EXPECT_EQ(Pixel(100, 100), 0xFFFFFFu);
  // One by one: a 129th column is refused, as is a negative field.
  b->ClearDisplayFields();
  for (int i = 0; i < 128; ++i) EXPECT_TRUE(b->AddDisplayFieldID(i % 45)) << i;
  EXPECT_FALSE(b->AddDisplayFieldID(1));
  b->ClearDisplayFields();
  EXPECT_FALSE(b->AddDisplayFieldID(-1));
  EXPECT_EQ(b->dfCount, 0);
}

TEST_F(Table, CellsAreCutToTheColumnAndAMissingFieldIsEmpty) {
  ctx->Clear(nullptr);
  DBFieldInfo small;
  small.Field("File", DBDTstring, "file name", 0x100);
  DBRecord& r = ctx->rdisp.NewRecord();
  r.Init(&PDBFInfo);
  r.SetField(PDBFfile, "a_rather_long_file_name_of_forty_characters.jpg");
  r.SetField(PDBFtitle, "Short");
  b->ClearDisplayFields();
  b->AddDisplayFieldID(PDBFfile);
  b->AddDisplayFieldID(PDBFtitle);
  b->AddDisplayFieldID(PDBFInfo.GetNFields() + 3);  // no such field in the records' schema
  b->Redisplay();
  ASSERT_NE(b->listh, nullptr);
  EXPECT_EQ(CellText(0, 0).size(), 22u);  // cwidth characters
  EXPECT_EQ(CellText(0, 0),
            std::string("a_rather_long_file_name_of_forty_characters.jpg").substr(0, 22));
  EXPECT_EQ(CellText(0, 1), "Short");
  EXPECT_EQ(CellText(0, 2), "");
  b->cwidth = 500;  // never above 127
  b->Redisplay();
  EXPECT_EQ(b->cwidth, 127);
  Shot("table-cut");
}

TEST_F(Table, TheSelectionGoesBothWays) {
  MakeRecords(20);
  mw->SetDisplayFields(FourCC("vall"), false);
  ASSERT_NE(b->listh, nullptr);
  ClickCell(2, 0);
  EXPECT_TRUE(ctx->IsSelected(2));
  EXPECT_EQ(ctx->TotalSelected(), 1);
  ClickCell(5, 1, Qt::ShiftModifier);  // the rectangle of cells: rows 2 to 5
  EXPECT_EQ(ctx->TotalSelected(), 4);
  for (int i = 2; i <= 5; ++i) EXPECT_TRUE(ctx->IsSelected(i)) << i;
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132), "4 of 20 records selected");
  ClickCell(3, 0, Qt::ControlModifier);  // one cell of row 3 off: the row is off
  EXPECT_FALSE(ctx->IsSelected(3));
  EXPECT_EQ(ctx->TotalSelected(), 3);
  // From the context to the table.
  b->SelectNone();
  Cell c(0, 0);
  EXPECT_FALSE(LGetSelect(true, &c, b->listh));
  ctx->Select(7, true);
  b->ShowSelection(true);
  c = Cell(0, 0);
  ASSERT_TRUE(LGetSelect(true, &c, b->listh));
  EXPECT_EQ(c.v, 7);
  b->SelectInverse();
  EXPECT_EQ(ctx->TotalSelected(), 19);
  b->SelectAll();
  EXPECT_EQ(ctx->TotalSelected(), 20);
  Shot("table-selected");
}

TEST_F(Table, SortingByAFieldAndByThePresentOrder) {
  MakeRecords(12);
  ctx->rdisp.sord.Clear();
  b->SortDisplay(-1, false);  // no key: only cleared and drawn
  EXPECT_EQ(b->GetSort(nullptr), -1);
  EXPECT_EQ(ctx->rdisp[0][PDBFfile].GetString(0), std::string("f0.jpg"));
  ctx->Select(3, true);
  b->SortDisplay(PDBFfile, true);  // file names compare as people read numbers
  bool rev = false;
  EXPECT_EQ(b->GetSort(&rev), PDBFfile);
  EXPECT_TRUE(rev);
  EXPECT_EQ(ctx->rdisp[0][PDBFfile].GetString(0), std::string("f11.jpg"));
  EXPECT_EQ(ctx->rdisp[11][PDBFfile].GetString(0), std::string("f0.jpg"));
  EXPECT_EQ(ctx->TotalSelected(), 0);  // sorting clears the selection
  ASSERT_NE(b->listh, nullptr);
  EXPECT_EQ(CellText(0, 0), "f11.jpg");
  b->SortDisplay(PDBFtitle, false);
  EXPECT_EQ(b->GetSort(&rev), PDBFtitle);
  EXPECT_FALSE(rev);
}

}  // namespace
