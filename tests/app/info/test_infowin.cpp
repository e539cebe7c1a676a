// The info window over real records: what each tab shows, steppers and wrapping, the user
// field rows, the placeholder of the add slot, static text lengths, closing.
#include "infotest.h"

namespace {

constexpr unsigned long kIset = FourCC("iset");

int spyLength = 0;
char* Spy(char* buf, int len, const DBField& f) {
  spyLength = len;
  return DBformatUnknown(buf, len, f);
}

TEST_F(InfoTest, EachTabOfARealPicture) {
  NEED_PICTURES();
  Put("DSCN0010.jpg");
  Put("Kodak_CX7530.jpg");
  Load();
  const int i = IndexOf("DSCN0010.jpg");
  ASSERT_GE(i, 0);
  SelectOnly(i);  // a click shows the lone selected record
  EXPECT_EQ(info->Record().IsLinked(&ctx->rdisp[i]), 1);
  ASSERT_TRUE(info->ShowInfo(mw->GetBrowser(), i, true));
  EXPECT_TRUE(IsWindowVisible(W()));
  EXPECT_EQ(Text("info", 129), "DSCN0010.jpg");
  EXPECT_EQ(Text("ifil", 134), "640");
  EXPECT_EQ(Text("iorg", 133), "1/75 sec");  // through the field's own formatter
  EXPECT_EQ(Text("iorg", 131), "COOLPIX P6000");
  for (int tab = 1; tab <= 5; ++tab) {
    info->Tabs()->Select(tab);
    Shot(W(), "info-DSCN0010-tab" + std::to_string(tab));
  }
  // The thumbnail is drawn, centred.
  Rect b;
  GetWindowPortBounds(W(), &b);
  EXPECT_NE(GetPortPixel(W(), static_cast<short>(b.right / 2), 300), 0xFFFFFFu);
  info->Tabs()->Select(1);
  EXPECT_EQ(GetPortPixel(W(), static_cast<short>(b.right / 2), 300), 0xFFFFFFu);  // wiped
}

TEST_F(InfoTest, ValuesStepsUserRowsAndPlaceholders) {
  DBFieldInfo s(PDBFInfo);
  for (int k = 1; k <= 11; ++k) {
    char name[8];
    snprintf(name, sizeof name, "U%02d", k);
    s.Field(name, k == 2 ? DBDTfloat : DBDTstring, nullptr, 0x2000 | (k == 1 ? DBFDmulti : 0));
  }
  s.Field("XSize", DBDTint, "Image Width", 0x800, Spy);
  s.Field("Format", DBDTstring, "File Format", 0, Spy);
  MakeDisplay(&s, 2);
  DBRecord& r = ctx->rdisp[0];
  const char* kw[] = {"k0", "k1", "k2"};
  r.SetField(Fid("Keyword"), kw, 3);
  r.SetField(Fid("Title"), "The title");
  const char* albums[] = {"A0", "A1"};
  r.SetField(Fid("Album"), albums, 2);
  r.SetField(Fid("Caption"), "C0");
  r.SetField(Fid("U01"), kw, 3);
  r.SetField(Fid("XSize"), 640L);
  r.SetField(Fid("Format"), "JPEG");
  // A number in a static text of 200 x 32 is formatted within 41 characters; text is not cut.
  for (int id : {132, 134}) {
    Rect cb;
    ControlRef c = ControlOf(W(), "ifil", id);
    GetControlBounds(c, &cb);
    cb.right = static_cast<short>(cb.left + 200);
    cb.bottom = static_cast<short>(cb.top + 32);
    SetControlBounds(c, &cb);
  }
  ASSERT_TRUE(info->ShowInfo(mw->GetBrowser(), 0, true));
  EXPECT_EQ(Text("ifil", 134), "640");
  info->ShowField(FourCC("ifil"), 134, Fid("XSize"), 0, false);
  EXPECT_EQ(spyLength, 41);
  info->ShowField(FourCC("ifil"), 132, Fid("Format"), 0, false);
  EXPECT_EQ(spyLength, PInfoWindow::kTextLen);

  // Three keywords: index 3 wraps to the first, -1 to the last; editing, 3 is the add slot.
  const int kwid = Fid("Keyword");
  EXPECT_TRUE(info->ShowField(kIset, 136, kwid, 3, false));
  EXPECT_EQ(Text("iset", 136), "k0");
  info->ShowField(kIset, 136, kwid, -1, false);
  EXPECT_EQ(Text("iset", 136), "k2");
  EXPECT_TRUE(info->ShowField(kIset, 136, kwid, 3, true));
  EXPECT_EQ(Text("iset", 136), "(Add Keyword for Search)");
  auto* edit = qobject_cast<QLineEdit*>(WidgetOf(W(), "iset", 136));
  EXPECT_EQ(edit->selectedText().toStdString(), "(Add Keyword for Search)");
  ControlRef focus = nullptr;
  GetKeyboardFocus(W(), &focus);
  EXPECT_EQ(focus, ControlOf(W(), "iset", 136));
  // Refreshed while it has the focus, the placeholder goes and nothing else changes.
  EXPECT_FALSE(info->ShowField(kIset, 136, kwid, 1, true));
  EXPECT_EQ(Text("iset", 136), "");
  // A single-valued field at index 5 shows its one value.
  info->ShowField(kIset, 133, Fid("Title"), 5, false);
  EXPECT_EQ(Text("iset", 133), "The title");

  // Two albums and one caption: the album stepper at album 1 shows it and no caption.
  EXPECT_EQ(Text("iset", 140), "A0");
  EXPECT_EQ(Text("iset", 141), "C0");
  Step(W(), "iset", 139, true);
  EXPECT_EQ(Index("iset", 139), 1);
  EXPECT_EQ(Text("iset", 140), "A1");
  EXPECT_EQ(Text("iset", 141), "");
  Step(W(), "iset", 139, true);  // wraps to album 0
  EXPECT_EQ(Index("iset", 139), 0);
  EXPECT_EQ(Text("iset", 141), "C0");

  // Eleven user fields: rows 1-9 show the first nine in field order, the last two none.
  for (int n = 1; n <= 9; ++n) {
    char name[8];
    snprintf(name, sizeof name, "U%02d", n);
    EXPECT_EQ(info->Other(n).fieldID, Fid(name));
    EXPECT_EQ(TextOf(W(), "ioth", 130 + n), name);
    EXPECT_TRUE(IsControlLatentlyVisible(ControlOf(W(), "ioth", 150 + n)));
    // Only the multi-valued field has a stepper.
    EXPECT_EQ(IsControlLatentlyVisible(ControlOf(W(), "ioth", 140 + n)), n == 1);
  }
  EXPECT_EQ(TextOf(W(), "ioth", 151), "k0");
  info->Tabs()->Select(4);
  Shot(W(), "info-user-fields");
  EXPECT_TRUE(IsControlVisible(ControlOf(W(), "ioth", 159)));
  EXPECT_FALSE(IsControlVisible(ControlOf(W(), "ioth", 142)));

  // A record of the photo schema has no user fields: every row hidden, also on the tab shown.
  DBRecord plain(&PDBFInfo);
  plain.SetField(PDBFfile, "plain.jpg");
  ASSERT_TRUE(info->ShowInfo(plain, false));
  for (int n = 1; n <= 9; ++n) {
    EXPECT_EQ(info->Other(n).fieldID, -1);
    for (int id : {130 + n, 140 + n, 150 + n})
      EXPECT_FALSE(IsControlVisible(ControlOf(W(), "ioth", id))) << id;
  }

  // A record without a file name closes the window.
  DBRecord none(&PDBFInfo);
  EXPECT_FALSE(info->ShowInfo(none, false));
  EXPECT_FALSE(IsWindowVisible(W()));
  EXPECT_EQ(info->GetBrowser(), nullptr);
  ctx->rdisp[1].ClearField(Fid("File"));
  EXPECT_FALSE(info->ShowInfo(mw->GetBrowser(), 1, true));
  EXPECT_FALSE(IsWindowVisible(W()));
}

}  // namespace
