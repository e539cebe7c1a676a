// The interface descriptions: every window and dialog of the nib holds the controls the program
// addresses, each of its kind, and every command code sits on a menu item or a control. Each
// window is grabbed to a picture in the build folder.
#include <QBuffer>
#include <QDir>
#include <QComboBox>
#include <QMenuBar>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <map>
#include <set>

#include "apptest.h"
#include "platform/pmenu.h"

namespace {

// Kinds: b push button, c check box, s static text, e edit text, a little arrows, t tabs;
// p pop-up, g progress bar, l slider, L list, u plain pane.
struct Ids {
  const char* window;
  const char* sig;
  const char* layout;  // "id kind, id-id kind, ..."
};

const Ids kIds[] = {
    {"MainWindow", "pict", "138 b, 132 s, 133 g, 135 p, 139 s, 136 c, 137 b, 140 s, 134 u"},
    {"MainWindow", "slct", "128 t"},
    {"InfoWindow", "info", "128 t, 129 s, 130 a, 131 b"},
    {"InfoWindow", "iset",
     "132-134 e, 136 e, 138 e, 140-141 e, 135 a, 137 a, 139 a, 142-144 b, 146 b, 148 b, 151 b, "
     "150 s"},
    {"InfoWindow", "ifil", "130-138 s, 139 a, 140-148 s"},
    {"InfoWindow", "iorg", "129-146 s, 149 s, 151 s, 153 s, 155-169 s"},
    {"InfoWindow", "ioth", "131-139 b, 141-149 a, 151-159 e"},
    {"SearchWindow", "find",
     "130 p, 131 s, 132 p, 133 e, 134 s, 135 e, 139 b, 140 p, 141 s, 142 p, 143 e, 144 s, "
     "145 e, 149-152 b, 160 p"},
    {"ImageWindow", "imag",
     "128 a, 129 s, 130 p, 131-132 e, 133 a, 134-136 c, 137-138 s, 139-140 b, 141 a, 142 b, "
     "143 u"},
    {"InputWindow", "inpt", "128 s, 129 e"},
    {"ConfirmWindow", "cfrm", "128 s, 129-131 b"},
    {"PositionWindow", "posn", "129 e, 130 s"},
    {"ProgressWindow", "prgs", "128 s, 129 g"},
    {"ProgressWindow", "bttn", "3 b"},
    {"SaveWindow", "save", "129 l"},
    {"SaveWindow", "optn", "131-134 c"},
    {"PrintWindow", "prnt", "128 l"},
    {"PrintWindow", "optn", "129-141 c"},
    {"HDRWindow", "mhdr", "128 s"},
    {"HDRWindow", "optn", "131-137 c"},
    {"PanoWindow", "pano", "132 s, 133 e, 134 l, 135 p, 136-137 b, 138-140 c"},
    {"DateWindow", "date", "128 s, 129-134 e, 135 s"},
    {"ImgExpWindow", "eimg", "129-130 l, 139 e"},
    {"ImgExpWindow", "optn", "132-133 c, 136-138 c"},
    {"WebWindow", "eweb", "129-131 l"},
    {"WebWindow", "optn", "132-142 c"},
    {"ShowWindow", "show", "129 l"},
    {"ShowWindow", "optn", "130-132 c"},
    {"FieldWindow", "efld", "128 p, 129-130 e, 131 p, 132-133 c"},
    {"HistoWindow", "hist", "130 p, 132-134 s, 136 s, 138 s, 140 s, 142 s"},
    {"FCWindow", "fclr", "132 e, 133-138 s, 139 e, 140 b, 141 c"},
    {"PrefWindow", "pref", "132-133 e, 134 s, 135 b, 136-137 e, 138-140 c, 143 e, 144 p"},
    {"AlertWindow", "alrt", "128 s"},
    {"AlertWindow", "bttn", "1 b, 4 b"},
};

// Every command code the program's tables name.
const char* const kCodes =
    "abtb cat1 cat2 cat3 cat4 cat5 cata catn ckud dir  elog irec open page phlp pref quit redo "
    "undo albm keyw othr ownr subj hist dofc c180 cc90 clea clei clos comm copy cpfn cpgp cptn "
    "cut  cw90 date dele dupl ecat eimg erec eweb find flhz flvt fnby invs mhdr pano past posn "
    "relo renm rept sall save show synv titl tlrg tmed tpvw tsml vall vcap vfil voth vset add  "
    "sort sman sdat sfil ssub stit sown zfit z100 zin  zout info snon dens prnt prni sub1 sub2 "
    "sub3 sub4 sub5 sub6 sub7 own1 own2 own3 own4 own5 alb1 alb2 alb3 alb4 alb5 alb6 alb7 key1 "
    "key2 key3 key4 key5 key6 key7 key8 key9 oth1 oth2 oth3 oth4 oth5 oth6 oth7 oth8 oth9 Subj "
    "Titl Ownr Keyw Comm Cptn Hist fadv Oth1 Oth2 Oth3 Oth4 Oth5 Oth6 Oth7 Oth8 Oth9 fupd fdsp "
    "fcat lst1 lst2 not! porg pdst crop reye spot calb oper expa exph expw fram expm z013 z017 "
    "z025 z033 z050 z067 z150 z200 z300 z400 ok   cstm";

bool KindMatches(ControlKind k, char want) {
  switch (want) {
    case 'b':
      return k == kControlKindPushButton;
    case 'c':
      return k == kControlKindCheckBox;
    case 's':
      return k == kControlKindStaticText;
    case 'e':
      return k == kControlKindEditText;
    case 'a':
      return k == kControlKindLittleArrows;
    case 't':
      return k == kControlKindTabs;
    default:  // pop-ups, progress bars, sliders, lists and panes: none of the kinds above
      return k != kControlKindUnknown && k != kControlKindPushButton && k != kControlKindCheckBox &&
             k != kControlKindStaticText && k != kControlKindEditText &&
             k != kControlKindLittleArrows && k != kControlKindTabs;
  }
}

std::map<std::string, WindowRef> Windows() {
  std::map<std::string, WindowRef> m{{"MainWindow", gMain->GetWindow()},
                                     {"InfoWindow", gInfo->GetWindow()},
                                     {"SearchWindow", gFind->GetWindow()},
                                     {"ImageWindow", gImager->GetWindow()}};
  for (const PDialogSlot& d : PdialogSlots()) m[d.nibName] = *d.window;
  return m;
}

TEST(Forms, EveryIdentifierWithItsKindAndEveryCommandCode) {
  TempHome home;
  AppInterface app;
  ASSERT_EQ(app.status, 0);
  std::map<std::string, WindowRef> windows = Windows();
  ASSERT_EQ(windows.size(), 22u);
  for (const auto& w : windows) EXPECT_FALSE(IsWindowVisible(w.second)) << w.first;
  int checked = 0;
  for (const Ids& ids : kIds) {
    WindowRef w = windows[ids.window];
    std::string layout = ids.layout;
    for (size_t at = 0; at < layout.size();) {
      size_t end = layout.find(',', at);
      std::string item = layout.substr(at, end == std::string::npos ? std::string::npos : end - at);
      at = end == std::string::npos ? layout.size() : end + 2;
      int lo = 0, hi = 0;
      char kind = 0;
      if (sscanf(item.c_str(), "%d-%d %c", &lo, &hi, &kind) != 3) {
        ASSERT_EQ(sscanf(item.c_str(), "%d %c", &lo, &kind), 2) << item;
        hi = lo;
      }
      for (int id = lo; id <= hi; ++id, ++checked) {
        ControlRef c = ControlOf(w, ids.sig, id);
        ASSERT_NE(c, nullptr) << ids.window << " " << ids.sig << " " << id;
        EXPECT_TRUE(KindMatches(GetControlKind(c), kind))
            << ids.window << " " << ids.sig << " " << id << " is not " << kind;
      }
    }
  }
  EXPECT_EQ(checked, 266);

  // Command codes: on a menu item, or on a control of some window.
  std::set<UInt32> onControls;
  for (const auto& w : windows)
    for (const char* sig : {"pict", "info", "iset", "ifil", "iorg", "ioth", "find", "imag", "cfrm",
                            "bttn", "pano", "fclr", "pref", "efld"})
      for (int id = 0; id < 200; ++id)
        if (ControlRef c = ControlOf(w.second, sig, id)) {
          UInt32 cmd = 0;
          if (GetControlCommandID(c, &cmd) == noErr && cmd) onControls.insert(cmd);
        }
  const std::string codes = kCodes;
  int n = 0;
  for (size_t i = 0; i + 4 <= codes.size(); i += 5, ++n) {
    const std::string c = codes.substr(i, 4);
    const UInt32 code = FourCC({c[0], c[1], c[2], c[3], 0});
    MenuRef m = nullptr;
    MenuItemIndex item = 0;
    EXPECT_TRUE(GetIndMenuItemWithCommandID(nullptr, code, 1, &m, &item) == noErr ||
                onControls.count(code))
        << "'" << c << "'";
  }
  EXPECT_EQ(n, 172);
  // The recent catalogues sit above 'cata'; undo and redo open the Edit menu.
  MenuRef m = nullptr;
  MenuItemIndex item = 0;
  ASSERT_EQ(GetIndMenuItemWithCommandID(nullptr, FourCC("cata"), 1, &m, &item), noErr);
  EXPECT_EQ(item, 7);
  for (int i = 1; i <= 5; ++i) {
    MenuRef r = nullptr;
    MenuItemIndex ri = 0;
    GetIndMenuItemWithCommandID(nullptr, FourCC("cat0") + static_cast<UInt32>(i), 1, &r, &ri);
    EXPECT_EQ(r, m);
    EXPECT_EQ(ri, i);
  }
  ASSERT_EQ(GetIndMenuItemWithCommandID(nullptr, FourCC("undo"), 1, &m, &item), noErr);
  EXPECT_EQ(item, 1);
  MenuRef redo = nullptr;
  ASSERT_EQ(GetIndMenuItemWithCommandID(nullptr, FourCC("redo"), 1, &redo, &item), noErr);
  EXPECT_EQ(item, 2);
  EXPECT_EQ(redo, m);
}

// A top-level widget's frame lies wholly within its screen's room for windows.
void ExpectOnScreen(const std::string& name, const QWidget* top) {
  const QRect room = top->screen()->availableGeometry(), outer = top->frameGeometry();
  EXPECT_TRUE(room.contains(outer)) << name << " at " << outer.x() << "," << outer.y() << " "
                                    << outer.width() << "x" << outer.height();
}

// The part of a window's content its frame shows, in the content's coordinates, and how far the
// content scrolls across and down.
struct View {
  QRect shown;
  QSize scroll{0, 0};
};
View ViewOf(QWidget* frame, QWidget* content) {
  int mh = 0;
  if (auto* bar = frame->findChild<QMenuBar*>(); bar != nullptr && bar->isVisible())
    mh = bar->height();
  QSize size(frame->width(), frame->height() - mh);
  View v;
  for (QScrollBar* b : frame->findChildren<QScrollBar*>(QString(), Qt::FindDirectChildrenOnly)) {
    if (!b->isVisible()) continue;
    const bool across = b->orientation() == Qt::Horizontal;
    (across ? size.rheight() : size.rwidth()) -= across ? b->height() : b->width();
    (across ? v.scroll.rwidth() : v.scroll.rheight()) = b->maximum();
  }
  v.shown = QRect(content->mapFrom(frame, QPoint(0, mh)), size);
  return v;
}

// Every window and dialog shown on its own: its frame within the screen, and every control of
// it shown, or reached by scrolling its content. The main window's sort pop-up, Reverse and Find,
// and the foot of its content, show without scrolling. Qt's file dialog too.
// (Run on a 640 x 480 screen as the test WindowsFit.SmallScreen.)
TEST(Forms, EveryWindowFitsItsScreen) {
  TempHome home;
  AppInterface app;
  ASSERT_EQ(app.status, 0);
  for (const auto& w : Windows()) {
    SCOPED_TRACE(w.first);
    if (w.first == "MainWindow")
      gMain->Show(1);
    else
      ShowWindow(w.second);
    QApplication::processEvents();
    QWidget* frame = PlatformFrameWidget(w.second);
    QWidget* content = PlatformContentWidget(w.second);
    ExpectOnScreen(w.first, frame);
    const View v = ViewOf(frame, content);
    const QRect reach = v.shown.adjusted(0, 0, v.scroll.width(), v.scroll.height());
    EXPECT_TRUE(reach.contains(content->rect()))
        << reach.x() << "," << reach.y() << " " << reach.width() << "x" << reach.height() << " of "
        << content->width() << "x" << content->height();
    for (QWidget* c : content->findChildren<QWidget*>()) {
      if (!c->isVisibleTo(content) ||
          (qobject_cast<QAbstractButton*>(c) == nullptr && qobject_cast<QComboBox*>(c) == nullptr))
        continue;
      const QRect r(c->mapTo(content, QPoint(0, 0)), c->size());
      EXPECT_TRUE(reach.contains(r)) << c->objectName().toStdString();
    }
    if (w.first == "MainWindow") {
      EXPECT_EQ(v.scroll, QSize(0, 0));
      for (int id : {135, 136, 137}) {
        QWidget* c = WidgetOf(w.second, "pict", id);
        EXPECT_TRUE(v.shown.contains(QRect(c->mapTo(content, QPoint(0, 0)), c->size()))) << id;
      }
      EXPECT_TRUE(v.shown.contains(content->rect()));  // the browser's foot too
    }
    HideWindow(w.second);
  }
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    if (PFileDialog* d = PlatformFileDialog(); d != nullptr && d->isVisible()) {
      ExpectOnScreen("file dialog", d);
      d->reject();
    }
  });
  answer.start(2);
  PFileDialogSetup ask;
  ask.title = "Save Web Page";
  std::vector<std::string> chosen;
  EXPECT_EQ(PlatformSaveFile(ask, &chosen, nullptr), kFileDialogCancelled);
}

TEST(Forms, EachWindowGrabbedToAPicture) {
  TempHome home;
  AppInterface app;
  ASSERT_EQ(app.status, 0);
  gMain->SetThumbSize(FourCC("tmed"), false);
  QDir().mkpath(LUMERIN_SHOTS);
  for (const auto& w : Windows()) {
    if (w.first == "MainWindow")
      gMain->Show(1);
    else
      ShowWindow(w.second);
    if (w.first == "AboutWindow") AboutCommandHandler(w.second);
    QApplication::processEvents();
    QPixmap shot = PlatformFrameWidget(w.second)->grab();
    EXPECT_FALSE(shot.isNull()) << w.first;
    QByteArray png;
    QBuffer out(&png);
    EXPECT_TRUE(shot.save(&out, "PNG")) << w.first;
    // Kept for a person to look at, where the build tree can be written.
    shot.save(QString(LUMERIN_SHOTS "/") + w.first.c_str() + ".png");
    HideWindow(w.second);
  }
}

}  // namespace
