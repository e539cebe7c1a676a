// Printing on real widgets and real PDF files: the text form over a page, caption options and
// lines, the session's resolution, image pages and index sheets, each checked with poppler's
// pdfinfo, pdftotext and pdftoppm.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QImage>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "app/print/pforms.h"
#include "app/print/pprint.h"
#include "app/print/ppriv.h"
#include "apptest.h"
#include "catalog/pfileinfo.h"
#include "formats/stdformats.h"
#include "testutil/file_bytes.h"
#include "testutil/message_log.h"
#include "testutil/other_user.h"
#include "testutil/rgb_jpeg.h"
#include "testutil/temp_dir.h"

// The test program's own rename(2), in place of the system's: for each rename of a file whose name
// ends in ".pdf" (a PDF file's temporary name), it notes whether this process held that file open
// at the time.
std::vector<bool>& PdfRenamesHeld() {
  static std::vector<bool> held;
  return held;
}

extern "C" int rename(const char* from, const char* to) noexcept {
  const std::string f = from;
  struct stat st;
  if (f.size() > 4 && f.compare(f.size() - 4, 4, ".pdf") == 0 && lstat(from, &st) == 0) {
    bool held = false;
    if (DIR* d = opendir("/proc/self/fd")) {
      for (const dirent* e; (e = readdir(d)) != nullptr;) {
        struct stat o;
        held = held || (e->d_name[0] != '.' && fstat(atoi(e->d_name), &o) == 0 &&
                        o.st_dev == st.st_dev && o.st_ino == st.st_ino);
      }
      closedir(d);
    }
    PdfRenamesHeld().push_back(held);
  }
  return static_cast<int>(syscall(SYS_renameat, AT_FDCWD, from, AT_FDCWD, to));
}

namespace {

// A form that also keeps every word drawn with its place.
struct Drawn {
  std::string word;
  float x, y;
};
class RecordingForm : public QTextForm {
 public:
  using QTextForm::QTextForm;
  ~RecordingForm() override { EndLine(false); }
  bool RenderWord(const char* w, float x, float y) override {
    words.push_back({w, x, y});
    return QTextForm::RenderWord(w, x, y);
  }
  // The words in reading order (lines are drawn from their right ends).
  std::string Text() const {
    std::vector<Drawn> w = words;
    std::stable_sort(w.begin(), w.end(), [](const Drawn& a, const Drawn& b) {
      return a.y != b.y ? a.y < b.y : a.x < b.x;
    });
    std::string s;
    for (const Drawn& d : w) s += (s.empty() ? "" : " ") + d.word;
    return s;
  }
  std::vector<Drawn> words;
};

// A white page of the size and resolution given.
QImage Page(int w, int h, int dpi) {
  QImage im(w, h, QImage::Format_RGB32);
  im.fill(Qt::white);
  im.setDotsPerMeterX(static_cast<int>(std::lround(dpi / 0.0254)));
  im.setDotsPerMeterY(static_cast<int>(std::lround(dpi / 0.0254)));
  return im;
}

bool Dark(QRgb c) {
  return qGray(c) < 128;
}
bool Red(QRgb c) {
  return qRed(c) > 180 && qGreen(c) < 90 && qBlue(c) < 90;
}
bool Ink(QRgb c) {
  return qGray(c) < 245;
}
bool Grey(QRgb c) {
  return qGray(c) > 170 && qGray(c) < 230 && std::abs(qRed(c) - qBlue(c)) < 20;
}

// The bounding box of the pixels that pass the test; empty when none.
QRect Box(const QImage& im, bool (*test)(QRgb)) {
  int l = im.width(), t = im.height(), r = -1, b = -1;
  for (int y = 0; y < im.height(); y++)
    for (int x = 0; x < im.width(); x++)
      if (test(im.pixel(x, y))) {
        l = std::min(l, x), r = std::max(r, x), t = std::min(t, y), b = std::max(b, y);
      }
  return r < 0 ? QRect() : QRect(QPoint(l, t), QPoint(r, b));
}

std::string Run(const char* program, const QStringList& args) {
  QProcess p;
  p.start(program, args);
  if (!p.waitForFinished(20000)) return "";
  return p.readAllStandardOutput().toStdString();
}

bool HavePoppler() {
  for (const char* tool : {"pdfinfo", "pdftotext", "pdftoppm"}) {
    QProcess p;
    p.start(tool, {"-v"});
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
      return false;
  }
  return true;
}

int Pages(const std::string& pdf) {
  const std::string info = Run("pdfinfo", {QString::fromStdString(pdf)});
  const size_t at = info.find("Pages:");
  return at == std::string::npos ? -1 : atoi(info.c_str() + at + 6);
}

std::string Text(const std::string& pdf) {
  return Run("pdftotext", {"-layout", QString::fromStdString(pdf), "-"});
}

// Page n of the PDF rendered at dpi.
QImage Render(const std::string& pdf, int n, int dpi) {
  const std::string out = pdf + ".render";
  Run("pdftoppm",
      {"-r", QString::number(dpi), "-f", QString::number(n), "-l", QString::number(n),
       "-singlefile", "-png", QString::fromStdString(pdf), QString::fromStdString(out)});
  QImage im(QString::fromStdString(out + ".png"));
  remove((out + ".png").c_str());
  // Kept in the build folder to be looked at.
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  QDir().mkpath(LUMERIN_SHOTS);
  im.save(QString(LUMERIN_SHOTS "/print-%1-%2.png").arg(test ? test->name() : "page").arg(n));
  return im.convertToFormat(QImage::Format_RGB32);
}

// Answers the print dialog when it shows: f may change it first; then the dialog takes its
// settings and accepts, is accepted as it stands (kept), or is cancelled; or f answers it.
enum Answer { kAccept, kKeep, kCancel, kAnswered };
void WhenPrintDialog(std::function<void(QPrintDialog*)> f, Answer a = kAccept) {
  auto* t = new QTimer;
  QObject::connect(t, &QTimer::timeout, [=] {
    auto* d = qobject_cast<QPrintDialog*>(PlatformPrintDialog());
    if (d == nullptr || !d->isVisible()) return;
    t->stop();
    t->deleteLater();
    if (f) f(d);
    if (a == kAccept)
      d->accept();
    else if (a == kKeep)
      d->done(QDialog::Accepted);
    else if (a == kCancel)
      d->reject();
  });
  t->start(5);
}

// Answers the print options dialog with the caption boxes given checked (OK), or cancels.
void WhenOptions(std::vector<int> boxes, bool ok = true) {
  WhenShown(
      gPrintWindow,
      [=] {
        for (int id : boxes) SetControlValue(ControlOf(gPrintWindow, "optn", id), 1);
      },
      "bttn", ok ? 1 : 2);
}

class Print : public ::testing::Test {
 protected:
  TempHome home;
  AppInterface app;
  testutil::TempDir dir{"print"};
  MessageLog log;

  void SetUp() override {
    ASSERT_EQ(app.status, 0);
    static const int readers = PloadStandardReaders();
    (void)readers;
    ASSERT_TRUE(checkPrintSession(nullptr));
    // Letter with one-inch margins, portrait, into a PDF file.
    Session()->Printer()->setPageLayout(QPageLayout(QPageSize(QPageSize::Letter),
                                                    QPageLayout::Portrait,
                                                    QMarginsF(72, 72, 72, 72), QPageLayout::Point));
    Session()->SetOutputFile(Pdf());
    // The boxes as the form has them: turned and fitted, nothing else.
    for (int i = 1; i < 14; i++) SetControlValue(ControlOf(gPrintWindow, "optn", 128 + i), i <= 2);
  }
  void TearDown() override {
    closePrintSession();
    PthumbManager().SetCacheDirectory(nullptr);
  }

  PPrintSession* Session() { return PprintSession(); }
  // The printable part: margins in inches.
  void Margins(double lr, double tb) {
    Session()->Printer()->setPageLayout(
        QPageLayout(QPageSize(QPageSize::Letter), QPageLayout::Portrait,
                    QMarginsF(lr * 72, tb * 72, lr * 72, tb * 72), QPageLayout::Point));
  }
  // The main window's status line.
  std::string Status() const { return StatusLine(); }
  // The messages the user would see or find in the log.
  int Reported() const {
    int n = 0;
    for (unsigned c = DMCassert; c < DMCtrace; c++) n += log.CountClass(c);
    return n;
  }
  std::string Pdf() const { return dir.Path("out.pdf"); }

  // A JPEG of w x h grey pixels with a red top-left corner, as a photo record.
  DBRecord Photo(const std::string& name, int w, int h) {
    std::vector<unsigned char> px(static_cast<size_t>(w) * h * 3, 200);
    for (int y = 0; y < h / 5; y++)
      for (int x = 0; x < w / 5; x++) {
        unsigned char* p = &px[(static_cast<size_t>(y) * w + x) * 3];
        p[0] = 230, p[1] = 20, p[2] = 20;
      }
    const std::string path = dir.Path(name);
    WriteRgbJpeg(path, w, h, px.data(), 90);
    DBRecord r;
    PgrokFile(&r, path.c_str());
    return r;
  }
  // Shows records in the main window, all selected when select.
  void Show(const std::vector<DBRecord>& recs, bool select) {
    PContext& bc = gMain->bc;
    bc.ClearRecords();
    for (const DBRecord& r : recs) bc.rdisp.NewRecord() = r;
    bc.SelectNone();
    if (select)
      for (size_t i = 0; i < recs.size(); i++) bc.Select(static_cast<int>(i), true);
  }
};

TEST_F(Print, TextFormOnAPage) {
  QImage im = Page(400, 300, 72);
  QPainter p(&im);
  {
    QTextForm tf(&p, nullptr);
    EXPECT_STREQ(tf.GetBaseFont(), "Times");
    EXPECT_FLOAT_EQ(tf.GetFontSize(), 12);
    EXPECT_EQ(tf.GetContext(), &p);
    // A name longer than 127 bytes is refused and the font kept.
    EXPECT_FALSE(tf.SetBaseFont(std::string(128, 'x').c_str()));
    EXPECT_STREQ(tf.GetBaseFont(), "Times");
    EXPECT_EQ(tf.ChangeFFlags(6), 2);  // bold; bits above 1 ignored
    EXPECT_EQ(tf.ChangeFFlags(0), 0);
    EXPECT_GT(tf.GetWordWidth("Wide words"), tf.GetWordWidth("Wide"));
    EXPECT_EQ(tf.GetWordWidth(""), 0);
    // A word at y = 100 has its baseline on row 100 of the page.
    ASSERT_TRUE(tf.SetFontSize(40));
    tf.RenderWord("HH", 20, 100);
  }
  QRect ink = Box(im, Dark);
  EXPECT_NEAR(ink.bottom(), 99, 1);
  EXPECT_GT(ink.height(), 20);
  // The pending line is drawn when the form goes.
  {
    QTextForm tf(&p);
    tf.SetFontSize(30);
    tf.SetRect(TFRect{200, 390, 150, 290});
    tf.PutText("Last", 0);
    EXPECT_EQ(Box(im, Dark), ink);
  }
  p.end();
  EXPECT_NE(Box(im, Dark), ink);
}

TEST_F(Print, CaptionLinesAndHeights) {
  PrintOptions o;
  EXPECT_EQ(o.NLines(), 0);
  EXPECT_EQ(o.CaptionHeight(), 0);
  o.captionFlags = PCFtitle | PCFsubject;
  EXPECT_EQ(o.NLines(), 6);
  DBRecord r = Photo("a.jpg", 30, 20);
  r.SetField(PDBFtitle, "Golden Gate");
  PDBsetText(&r, PDBFkeyword, "New York\nbridge", '\n');
  o.captionFlags = PCFtitle;
  EXPECT_EQ(o.NLines(r), 2);
  EXPECT_FLOAT_EQ(o.CaptionHeight(r), 2 * 0.24f);

  // At 72 units an inch a caption line is 17.28 high in a font of 13.824.
  ASSERT_TRUE(Session()->SetResolution(72));
  QImage im = Page(612, 792, 72);
  QPainter p(&im);
  r.SetField(PDBFlatitude, 0.0f);
  r.SetField(PDBFlongitude, -122.419418f);
  r.SetField(PDBFaltitude, 12.5f);
  r.SetField(PDBFbearing, 270.5f);
  o.captionFlags = PCFtitle | PCFkeywords | PCFposition;
  {
    RecordingForm tf(&p);
    tf.SetRect(TFRect{72, 540, 72, 720});
    EXPECT_TRUE(o.RenderCaption(r, &tf));
    EXPECT_FLOAT_EQ(tf.GetFontSize(), 13.824f);
    EXPECT_FLOAT_EQ(tf.GetLineHeight(), 17.28f);
    // The keyword with a blank stays one word; a latitude of 0 is south, without a sign.
    EXPECT_EQ(tf.Text(),
              "Golden Gate Keywords New York , bridge GPS 0.000000 deg. S latitude 122.419418 "
              "deg. W longitude 12.5 meters altitude Sight bearing 270.5 degrees East of North");
    bool whole = false;
    for (const Drawn& d : tf.words) whole |= d.word == "New York";
    EXPECT_TRUE(whole);
  }
  {
    // A first line that does not fit: drawn, and nothing after it.
    RecordingForm tf(&p);
    tf.SetRect(TFRect{72, 540, 72, 80});
    EXPECT_FALSE(o.RenderCaption(r, &tf));
    EXPECT_EQ(tf.Text(), "Golden Gate");
  }
}

TEST_F(Print, OptionsDialogTransfersAndCancels) {
  PrintOptions o;
  o.captionFlags = PCFtitle;
  o.heightIndex = 7;
  WhenShown(
      gPrintWindow,
      [] {
        // Only the tone-mapping boxes came from the options; the caption size goes to 2.
        EXPECT_EQ(GetControlValue(ControlOf(gPrintWindow, "optn", 132)), 1);
        SetControlValue(ControlOf(gPrintWindow, "prnt", 128), 2);
        SetControlValue(ControlOf(gPrintWindow, "optn", 131), 1);  // auto-crop
        SetControlValue(ControlOf(gPrintWindow, "optn", 138), 1);  // subject and the rest
        SetControlValue(ControlOf(gPrintWindow, "optn", 141), 0);  // but no user fields
      },
      "bttn", 1);
  ASSERT_TRUE(o.Dialog(0, 48));
  EXPECT_EQ(o.heightIndex, 2);
  EXPECT_TRUE(o.autoCrop);
  EXPECT_EQ(o.captionFlags, PCFsubject | PCFowner | PCFkeywords | PCFcomments);
  // Cancel leaves every option as it was; a disabled option is never written.
  const PrintOptions before = o;
  auto same = [&] {
    return o.bestOrientation == before.bestOrientation && o.fitToPage == before.fitToPage &&
           o.autoCrop == before.autoCrop && o.tmFlags == before.tmFlags &&
           o.heightIndex == before.heightIndex && o.captionFlags == before.captionFlags;
  };
  WhenShown(
      gPrintWindow, [] { SetControlValue(ControlOf(gPrintWindow, "optn", 135), 1); }, "bttn", 2);
  EXPECT_FALSE(o.Dialog(0, 0));
  EXPECT_TRUE(same());
  bool disabled = false;
  WhenShown(
      gPrintWindow, [&] { disabled = !IsControlEnabled(ControlOf(gPrintWindow, "optn", 129)); },
      "bttn", 1);
  ASSERT_TRUE(o.Dialog(2, 48));
  EXPECT_TRUE(disabled);
  EXPECT_EQ(o.bestOrientation, before.bestOrientation);
}

// What goes to standard error from now to Text(), Qt's messages included but the offscreen
// platform's notes on what it cannot do.
struct Stderr {
  QtMessageHandler qt =
      qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& msg) {
        if (!msg.startsWith("This plugin does not support"))
          fprintf(stderr, "%s\n", qPrintable(msg));
      });
  Stderr() { testing::internal::CaptureStderr(); }
  ~Stderr() { qInstallMessageHandler(qt); }
  std::string Text() { return testing::internal::GetCapturedStderr(); }
};

TEST_F(Print, PageSetupFromItsCommand) {
  // The application's 'page' command reaches the session's page setup; a cancel changes
  // nothing. With no printer but a PDF file, the paper and the orientation are chosen without a
  // word on standard error.
  auto answer = [](const char* radio, bool ok) {
    auto* t = new QTimer;
    QObject::connect(t, &QTimer::timeout, [=] {
      QDialog* d = PlatformPrintDialog();
      if (d == nullptr || !d->isVisible()) return;
      t->stop();
      t->deleteLater();
      if (auto* b = d->findChild<QAbstractButton*>(radio)) b->click();
      if (auto* paper = d->findChild<QComboBox*>("paper"))
        paper->setCurrentIndex(paper->findText(QPageSize::name(QPageSize::A4)));
      ok ? d->accept() : d->reject();
    });
    t->start(5);
  };
  Stderr err;
  answer("landscape", false);
  EXPECT_EQ(SendCommand("page"), noErr);
  EXPECT_EQ(gConfirmResponse, kResponseCancel);
  EXPECT_FALSE(Session()->IsLandscape());
  answer("landscape", true);
  EXPECT_TRUE(pageSetup(nullptr));
  EXPECT_TRUE(Session()->IsLandscape());
  EXPECT_EQ(Session()->Printer()->pageLayout().pageSize().id(), QPageSize::A4);
  EXPECT_EQ(err.Text(), "");

  // While a document prints, Page Setup is greyed and held back: nothing opens, and no alert
  // follows once the print has ended.
  Show({Photo("a.jpg", 40, 30), Photo("b.jpg", 40, 30)}, true);
  std::vector<std::string> alerts;
  QTimer alertClicker;
  QObject::connect(&alertClicker, &QTimer::timeout, [&] {
    if (!IsWindowVisible(gAlertWindow)) return;
    alerts.push_back(TextOf(gAlertWindow, "alrt", 128));
    QTest::mouseClick(qobject_cast<QAbstractButton*>(WidgetOf(gAlertWindow, "bttn", 1)),
                      Qt::LeftButton);
  });
  alertClicker.start(5);
  bool greyed = false;
  WhenOptions({});
  WhenPrintDialog(nullptr, kKeep);
  WhenShown(gProgressWindow, [&] {
    SendCommand("page", kEventCommandUpdateStatus);
    greyed = !MenuEnabled("page");
    SendCommand("page");
  });
  ASSERT_TRUE(printImages());
  EXPECT_TRUE(greyed);
  EXPECT_EQ(alerts, std::vector<std::string>{});
  SendCommand("page", kEventCommandUpdateStatus);
  EXPECT_TRUE(MenuEnabled("page"));
}

TEST_F(Print, ResolutionChoices) {
  Session()->SetResolutions({300, 600});
  EXPECT_EQ(setPrintResolution(450), 600);
  EXPECT_EQ(setPrintResolution(1200), 600);
  Session()->SetResolutions({600, 300});
  EXPECT_EQ(setPrintResolution(300), 600);
  Session()->SetResolutions({});
  EXPECT_EQ(setPrintResolution(300), 300);  // a PDF file's
  EXPECT_EQ(Session()->Resolution(), 300);
  EXPECT_EQ(setPrintResolution(std::nanf("")), 0);
}

TEST_F(Print, ImagesTurnedFittedAndCaptioned) {
  if (!HavePoppler()) GTEST_SKIP() << "poppler-utils are not installed";
  // Two landscape pictures keep the page portrait: each is turned a quarter anticlockwise, so
  // its red top-left corner lands at the bottom left.
  DBRecord a = Photo("a.jpg", 300, 200), b = Photo("b.jpg", 300, 200);
  a.SetField(PDBFcapdate, "2004:06:05 15:07:09");
  a.SetField(PDBFsubject, "Cable cars");
  a.SetField(PDBFlatitude, 37.774929f);
  a.SetField(PDBFlongitude, -122.419418f);
  a.SetField(PDBFtitle, "Caf\u00e9 \u00d1and\u00fa");  // text keeps its characters
  Show({a, b}, true);
  WhenOptions({135, 136, 138, 140});
  WhenPrintDialog(nullptr);
  ASSERT_TRUE(printImages()) << log.All();
  EXPECT_TRUE(log.Has(DMCinfo, "Spooled 2 records")) << log.All();
  ASSERT_EQ(Pages(Pdf()), 2);
  const QImage page = Render(Pdf(), 1, 36);
  const QRect red = Box(page, Red);
  ASSERT_FALSE(red.isEmpty());
  // The picture above the caption's lines.
  const QRect picture = Box(page.copy(0, 0, page.width(), red.bottom() + 1), Grey);
  EXPECT_GT(picture.height(), picture.width());
  EXPECT_NEAR(red.left(), picture.left(), 2);
  EXPECT_NEAR(red.bottom(), picture.bottom(), 2);
  EXPECT_GT(red.top(), picture.top() + picture.height() / 2);
  const std::string text = Text(Pdf());
  EXPECT_NE(text.find("Captured"), std::string::npos) << text;
  EXPECT_NE(text.find("Subject"), std::string::npos) << text;
  EXPECT_NE(text.find("Cable cars"), std::string::npos) << text;
  EXPECT_NE(text.find("Caf\u00e9 \u00d1and\u00fa"), std::string::npos) << text;
  EXPECT_NE(text.find("37.774929 deg. N latitude 122.419418 deg. W longitude"), std::string::npos)
      << text;
}

TEST_F(Print, ImagesAtTheirDensityOrCropped) {
  if (!HavePoppler()) GTEST_SKIP() << "poppler-utils are not installed";
  // 3000 x 2000 at 300 dpi does not fit 8 x 10 inches unturned but does turned: 6.67 inches
  // across and 10 down.
  Margins(0.25, 0.5);
  DBRecord r = Photo("d.jpg", 3000, 2000);
  r.SetField(PDBFxdensity, 300.0f);
  r.SetField(PDBFydensity, 300.0f);
  Show({r, r}, true);
  WhenShown(
      gPrintWindow, [] { SetControlValue(ControlOf(gPrintWindow, "optn", 130), 0); }, "bttn", 1);
  WhenPrintDialog(nullptr);
  ASSERT_TRUE(printImages()) << log.All();
  EXPECT_FALSE(log.Has(DMCwarning, "Reduced image to fit page"));
  QRect box = Box(Render(Pdf(), 1, 72), Ink);
  EXPECT_NEAR(box.width(), 480, 2);
  EXPECT_NEAR(box.height(), 720, 2);
  // At 200 dpi it fits neither way: reduced, and fitted to the page.
  r.SetField(PDBFxdensity, 200.0f);
  r.SetField(PDBFydensity, 200.0f);
  {
    PrintOptions o;
    o.fitToPage = false;
    PDisplayImage di(r);
    EXPECT_EQ(setPrintResolution(&di, &o), 300);
    PPrintSettings st;
    ASSERT_EQ(Session()->BeginDocument(st), 0);
    EXPECT_TRUE(imagePage(&di, &o));
    ASSERT_EQ(Session()->EndDocument(), 0);
  }
  EXPECT_TRUE(log.Has(DMCwarning, "Reduced image to fit page"));
  box = Box(Render(Pdf(), 1, 72), Ink);
  EXPECT_NEAR(box.width(), 480, 2);
  EXPECT_NEAR(box.height(), 720, 2);
  // A density of 0 is none: the picture is fitted.
  r.SetField(PDBFxdensity, 0.0f);
  {
    PrintOptions o;
    o.fitToPage = false;
    PDisplayImage di(r);
    EXPECT_EQ(setPrintResolution(&di, &o), 300);
    PPrintSettings st;
    ASSERT_EQ(Session()->BeginDocument(st), 0);
    EXPECT_TRUE(imagePage(&di, &o));
    ASSERT_EQ(Session()->EndDocument(), 0);
  }
  box = Box(Render(Pdf(), 1, 72), Ink);
  EXPECT_NEAR(box.height(), 720, 2);
  // Auto-crop: a 3:2 picture fills the 4:5 area, fitted again.
  r.ClearField(PDBFxdensity);
  Show({r, r}, true);
  WhenShown(
      gPrintWindow,
      [] {
        SetControlValue(ControlOf(gPrintWindow, "optn", 130), 1);
        SetControlValue(ControlOf(gPrintWindow, "optn", 131), 1);
      },
      "bttn", 1);
  WhenPrintDialog(nullptr, kKeep);
  ASSERT_TRUE(printImages()) << log.All();
  box = Box(Render(Pdf(), 2, 36), Ink);
  EXPECT_NEAR(box.left(), 9, 1);
  EXPECT_NEAR(box.top(), 18, 1);
  EXPECT_NEAR(box.width(), 288, 2);
  EXPECT_NEAR(box.height(), 360, 2);
}

TEST_F(Print, TheImageWindowsPicture) {
  if (!HavePoppler()) GTEST_SKIP() << "poppler-utils are not installed";
  // A landscape picture turns the page; the picture keeps its own display space and mapping.
  PDisplayImage di(Photo("w.jpg", 300, 200));
  di.SetTMFlags(6);
  bool turnDisabled = false;
  WhenShown(
      gPrintWindow, [&] { turnDisabled = !IsControlEnabled(ControlOf(gPrintWindow, "optn", 129)); },
      "bttn", 1);
  WhenPrintDialog(nullptr);
  ASSERT_TRUE(printDisplayImage(&di)) << log.All();
  EXPECT_TRUE(turnDisabled);
  EXPECT_TRUE(Session()->IsLandscape());
  EXPECT_EQ(di.GetTMFlags(), 6);
  EXPECT_EQ(Status(), "Spooled 1 image");
  ASSERT_EQ(Pages(Pdf()), 1);
  const QImage page = Render(Pdf(), 1, 36);
  EXPECT_GT(page.width(), page.height());
}

// A picture whose name holds a byte that is no text prints to the PDF file the print dialog
// proposes from it (on X its name with ".pdf"), accepted as it shows: the file written is of
// the very bytes, beside a neighbour holding U+FFFD that stays as it was; the printed caption
// names the file as names show.
TEST_F(Print, APdfFileAndACaptionOfANameOfAnyBytes) {
  if (!HavePoppler()) GTEST_SKIP() << "poppler-utils are not installed";
  const std::string neighbour = dir.Path("caf\xEF\xBF\xBD.pdf");
  WriteAll(neighbour, "the neighbour's own file");
  PDisplayImage di(Photo("caf\xE9.jpg", 300, 200));
  WhenShown(
      gPrintWindow, [] { SetControlValue(ControlOf(gPrintWindow, "optn", 134), 1); }, "bttn", 1);
  std::string job;
  WhenPrintDialog(
      [&](QPrintDialog* d) {
        job = d->printer()->docName().toStdString();
        // As the dialog proposes it on X: the job's name with ".pdf", in the folder.
        auto* file = d->findChild<QLineEdit*>("filename");
        ASSERT_NE(file, nullptr);
        file->setText(QString::fromStdString(dir.Path("caf\\xE9.pdf")));
        for (QDialogButtonBox* b : d->findChildren<QDialogButtonBox*>())
          if (QPushButton* ok = b->button(QDialogButtonBox::Ok))
            QTest::mouseClick(ok, Qt::LeftButton);
      },
      kAnswered);
  ASSERT_TRUE(printDisplayImage(&di)) << log.All();
  EXPECT_EQ(job, "caf\\xE9.jpg");
  const std::string pdf = dir.Path("caf\xE9.pdf");
  EXPECT_EQ(Session()->OutputFile(), pdf);
  // The tools are given a path of text: the file's copy under one.
  const std::string copy = dir.Path("copy.pdf");
  ASSERT_EQ(link(pdf.c_str(), copy.c_str()), 0) << strerror(errno);
  ASSERT_EQ(Pages(copy), 1);
  EXPECT_EQ(ReadAll(neighbour), "the neighbour's own file");
  EXPECT_NE(access(dir.Path("caf\\xE9.pdf").c_str(), F_OK), 0);
  const std::string text = Text(copy);
  EXPECT_NE(text.find("caf\\xE9.jpg"), std::string::npos) << text;

  // Printed to again, the file is asked about by its name before it is replaced; No keeps it.
  const std::string before = ReadAll(pdf);
  std::string question;
  WhenShown(
      gPrintWindow, [] {}, "bttn", 1);
  WhenPrintDialog(
      [&](QPrintDialog* d) {
        QTimer::singleShot(0, d, [&question, d] {
          for (QMessageBox* box : d->findChildren<QMessageBox*>())
            if (box->isVisible()) {
              question = box->text().toStdString();
              box->button(QMessageBox::No)->click();
            }
          d->reject();
        });
        for (QDialogButtonBox* b : d->findChildren<QDialogButtonBox*>())
          if (QPushButton* ok = b->button(QDialogButtonBox::Ok))
            QTest::mouseClick(ok, Qt::LeftButton);
      },
      kAnswered);
  EXPECT_FALSE(printDisplayImage(&di));
  EXPECT_EQ(question, "'caf\\xE9.pdf' already exists.\nDo you want to replace it?");
  EXPECT_TRUE(ReadAll(pdf) == before);
}

// A PDF file printed to a folder another user may write: that user, watching for its temporary
// file, renames it away and leaves a link to a file of the user's at its name before Qt opens
// it. Qt writes the file the program made, not the link's target; the job fails and says why,
// and the user's PDF file of that name stays as it was.
TEST_F(Print, ALinkSwappedInAtThePdfFilesTemporaryNameIsNotWrittenThrough) {
  const std::string shared = testutil::SharedFolder(dir.Dir());
  const std::string pdf = shared + "/out.pdf", victim = dir.Path("private.txt");
  WriteAll(victim, "the user's own");
  WriteAll(pdf, "kept");
  Session()->SetOutputFile(pdf);
  log.alerts = true;
  AlertsAnswered alerts;
  ASSERT_TRUE(PbeginDocument(PPrintSettings()));
  std::string temp;
  if (DIR* d = opendir(shared.c_str())) {
    for (dirent* e; (e = readdir(d)) != nullptr;)
      if (strncmp(e->d_name, ".out.pdf.", 9) == 0) temp = shared + "/" + e->d_name;
    closedir(d);
  }
  ASSERT_FALSE(temp.empty());
  const std::string moved = shared + "/moved";
  ASSERT_TRUE(testutil::Plant([&] {
    return rename(temp.c_str(), moved.c_str()) == 0 && symlink(victim.c_str(), temp.c_str()) == 0;
  }));
  int err = 0;
  QPainter* p = Session()->BeginPage(&err);
  ASSERT_NE(p, nullptr) << err;
  p->drawText(QPointF(300, 300), QStringLiteral("Printed"));
  EXPECT_EQ(Session()->EndPage(), 0);
  EXPECT_EQ(PendDocument("Spooling...", false), kPrintError);
  EXPECT_TRUE(ReadAll(victim) == "the user's own") << "written through the link";
  // Written where the program made it, now under the other user's name for it.
  EXPECT_TRUE(ReadAll(moved).compare(0, 5, "%PDF-") == 0);
  struct stat st;
  ASSERT_EQ(lstat(pdf.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadAll(pdf), "kept");
  testutil::WaitUntil([&] { return !alerts.texts.empty(); }, [] { checkEvents(0.01); });
  EXPECT_EQ(alerts.texts, std::vector<std::string>{"Cannot write the PDF file '" + pdf +
                                                   "': its temporary file '" + temp +
                                                   "' was replaced while it was written"});
  EXPECT_EQ(Session()->OutputFile(), pdf);
}

// The PDF file is held open until it has taken its name, as every writer holds its file, so
// that a file another user of the folder put at its temporary name meanwhile cannot pass for it.
TEST_F(Print, APdfFileIsHeldOpenUntilItTakesItsName) {
  const std::string pdf = dir.Path("held.pdf");
  Session()->SetOutputFile(pdf);
  PdfRenamesHeld().clear();
  ASSERT_TRUE(PbeginDocument(PPrintSettings()));
  int err = 0;
  QPainter* p = Session()->BeginPage(&err);
  ASSERT_NE(p, nullptr) << err;
  p->drawText(QPointF(300, 300), QStringLiteral("Printed"));
  EXPECT_EQ(Session()->EndPage(), 0);
  EXPECT_EQ(PendDocument("Spooling...", false), 0);
  EXPECT_EQ(PdfRenamesHeld(), std::vector<bool>{true});
  EXPECT_EQ(ReadAll(pdf).compare(0, 5, "%PDF-"), 0);
}

TEST_F(Print, PageRangesCancelsAndTheFileKept) {
  if (!HavePoppler()) GTEST_SKIP() << "poppler-utils are not installed";
  std::vector<DBRecord> five;
  for (int i = 0; i < 5; i++) five.push_back(Photo("p" + std::to_string(i) + ".jpg", 40, 30));
  Show(five, true);
  // Pages 3 to 10 of 5 print pages 3 to 5.
  WhenOptions({});
  WhenPrintDialog(
      [](QPrintDialog* d) {
        d->printer()->setPrintRange(QPrinter::PageRange);
        d->printer()->setFromTo(3, 10);
      },
      kKeep);
  ASSERT_TRUE(printImages());
  EXPECT_EQ(Pages(Pdf()), 3);
  EXPECT_TRUE(log.Has(DMCinfo, "Spooled 3 records")) << log.All();
  // A picture that cannot be printed is reported, and not counted as spooled.
  WriteAll(dir.Path("bad.jpg"), "not a picture");
  DBRecord bad;
  PgrokFile(&bad, dir.Path("bad.jpg").c_str());
  Show({five[0], bad}, true);
  WhenOptions({});
  WhenPrintDialog(nullptr, kKeep);
  std::string alert;
  WhenShown(
      gAlertWindow, [&] { alert = TextOf(gAlertWindow, "alrt", 128); }, "bttn", 1);
  ASSERT_TRUE(printImages());
  EXPECT_EQ(alert, "Cannot parse image file");
  EXPECT_TRUE(log.Has(DMCwarning, "Could not print 1 of 2 images")) << log.All();
  EXPECT_TRUE(log.Has(DMCinfo, "Spooled 1 record")) << log.All();
  EXPECT_EQ(Pages(Pdf()), 1);
  // A cancelled print dialog prints and reports nothing.
  Show(five, true);
  const std::string before = ReadAll(Pdf());
  log.Clear();
  WhenOptions({});
  WhenPrintDialog(nullptr, kCancel);
  EXPECT_FALSE(printImages());
  EXPECT_EQ(Reported(), 0) << log.All();
  // Stopped half-way, the job leaves the file it would have replaced as it was.
  WhenOptions({});
  WhenPrintDialog(nullptr, kKeep);
  WhenShown(gProgressWindow, nullptr, "bttn", 3);
  EXPECT_FALSE(printImages());
  EXPECT_TRUE(log.Has(DMCinfo, "Print job cancelled by user")) << log.All();
  EXPECT_EQ(ReadAll(Pdf()), before);
  EXPECT_EQ(dir.Path("out.pdf"), Session()->OutputFile());
}

// Keys typed into Qt's print dialog stay there: the menus' shortcuts do nothing while it is up
// (the main window's selection stays as it was). A print whose selection is empty by the time
// the dialog closes writes nothing and says that nothing was printed.
TEST_F(Print, ShortcutsStayInThePrintDialogAndAnEmptyPrintSaysSo) {
  std::vector<DBRecord> eleven;
  for (int i = 0; i < 11; i++) eleven.push_back(Photo("s" + std::to_string(i) + ".jpg", 40, 30));
  Show(eleven, true);
  gMain->Show(1);
  SelectWindow(gMain->GetWindow());
  const std::string before = "11 of 11 records selected";
  gMain->GetBrowser()->ShowSelection(false);
  ASSERT_EQ(Status(), before);
  std::string during;
  bool typed = false;
  // Our own options dialog has the keyboard: Open Image's shortcut opens nothing (a file dialog
  // that came would be cancelled and counted).
  int fileDialogs = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (PFileDialog* f = PlatformFileDialog(); f != nullptr && f->isVisible()) {
      ++fileDialogs;
      f->reject();
    }
  });
  watch.start(5);
  WhenShown(
      gPrintWindow,
      [&] {
        QWidget* frame = PlatformFrameWidget(gPrintWindow);
        QWidget* at = frame->focusWidget() ? frame->focusWidget() : frame;
        QTest::keyClick(at, Qt::Key_O, Qt::ControlModifier);
        QTest::keyClick(at, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
        checkEvents(0.05);
      },
      "bttn", 1);
  WhenPrintDialog(
      [&](QPrintDialog* d) {
        for (QLineEdit* e : d->findChildren<QLineEdit*>())
          if (e->text().toStdString() == Pdf()) {
            e->setFocus();
            QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
            typed = e->selectedText() == e->text();
            QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
            QTest::keyClick(e, Qt::Key_I, Qt::ControlModifier);
          }
        QTest::keyClick(d, Qt::Key_3, Qt::ControlModifier);
        during = Status();
        EXPECT_EQ(gMain->bc.TotalSelected(), 11);
        EXPECT_EQ(gMain->GetBrowser()->ThumbDenom(), 1);
      },
      kCancel);
  gMain->GetBrowser()->SetThumbDenom(1);
  EXPECT_FALSE(printImages());
  EXPECT_EQ(fileDialogs, 0);
  EXPECT_TRUE(typed);
  EXPECT_EQ(during, before);
  EXPECT_EQ(gMain->bc.TotalSelected(), 11);
  // The selection emptied while the dialog was up.
  const std::string kept = "kept";
  WriteAll(Pdf(), kept);
  WhenOptions({});
  WhenPrintDialog([](QPrintDialog*) { gMain->bc.SelectNone(); }, kKeep);
  EXPECT_TRUE(printImages());
  EXPECT_EQ(Status(), "Nothing printed");
  EXPECT_TRUE(log.Has(DMCwarning, "Nothing printed: no record is selected")) << log.All();
  EXPECT_FALSE(log.Has(DMCinfo, "Spooled 0 records")) << log.All();
  EXPECT_EQ(ReadAll(Pdf()), kept);
}

// A Stop counts until the document is finished. Clicked while the last page is made (a click
// given during a page comes in at the progress window's closing step, when events are next
// handled), or in that closing step itself, it prints nothing, for pages and index sheets alike.
TEST_F(Print, AStopOnTheLastPageOrInTheClosingStepPrintsNothing) {
  ASSERT_TRUE(PthumbManager().SetCacheDirectory(dir.Dir().c_str()));
  std::vector<DBRecord> recs;
  for (int i = 0; i < 25; i++) recs.push_back(Photo("l" + std::to_string(i) + ".jpg", 60, 30));
  const std::vector<DBRecord> three(recs.begin(), recs.begin() + 3);
  gMain->GetBrowser()->SetThumbDenom(2);  // 20 cells a page: the sheet has 2 pages
  auto stop = [] {
    auto* b = qobject_cast<QAbstractButton*>(WidgetOf(gProgressWindow, "bttn", 3));
    if (b == nullptr || !b->isVisible() || !b->isEnabled()) return false;
    QTest::mouseClick(b, Qt::LeftButton);
    return true;
  };
  const struct { bool index, closing; } cases[] = {{false, false}, {false, true}, {true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.index ? "index" : "pages") + (c.closing ? ", closing" : ", page"));
    Show(c.index ? recs : three, !c.index);
    WriteAll(Pdf(), "kept");
    log.Clear();
    bool clicked = false;
    // The last page is drawn when its picture is told printed.
    log.then = [&](const std::string& text) {
      if (!c.closing && !clicked && text == "Printed image 'l2.jpg'") clicked = stop();
    };
    QTimer closing;
    QObject::connect(&closing, &QTimer::timeout, [&] {
      ControlRef bar = ControlOf(gProgressWindow, "prgs", 129);
      if (c.closing && !clicked && bar != nullptr && GetControlValue(bar) == 100) clicked = stop();
    });
    closing.start(0);
    if (!c.index) WhenOptions({});
    WhenPrintDialog(nullptr, kKeep);
    EXPECT_FALSE(c.index ? printIndex() : printImages());
    closing.stop();
    log.then = nullptr;
    EXPECT_TRUE(clicked);
    EXPECT_EQ(Status(), "Printing cancelled");
    EXPECT_TRUE(log.Has(DMCinfo, "Print job cancelled by user")) << log.All();
    EXPECT_TRUE(ReadAll(Pdf()) == "kept") << "the PDF was written";
  }
}

TEST_F(Print, IndexSheets) {
  if (!HavePoppler()) GTEST_SKIP() << "poppler-utils are not installed";
  ASSERT_TRUE(PthumbManager().SetCacheDirectory(dir.Dir().c_str()));
  // 45 records, the first landscape and the second portrait; letter with 1-inch margins at
  // 160-pixel thumbnails holds 4 x 5 cells.
  std::vector<DBRecord> recs;
  for (int i = 0; i < 45; i++)
    recs.push_back(
        Photo("i" + std::to_string(100 + i) + ".jpg", i == 1 ? 30 : 60, i == 1 ? 60 : 30));
  recs[44].SetField(PDBFtitle, "\u00d1and\u00fa");
  // A label wider than its cell is cut between characters and ends with an ellipsis.
  std::string wide = "\u00d1";
  for (int i = 0; i < 60; i++) wide += "\u00e9";
  recs[2].SetField(PDBFtitle, wide.c_str());
  Show(recs, false);
  snprintf(gMain->bc.rsrc, sizeof gMain->bc.rsrc, "/pics");
  gMain->GetBrowser()->SetThumbDenom(0);
  EXPECT_FALSE(printIndex());
  EXPECT_TRUE(log.Has(DMCinput, "Cannot print list index (yet)"));
  gMain->GetBrowser()->SetThumbDenom(16);
  EXPECT_FALSE(printIndex());
  EXPECT_TRUE(log.Has(DMCassert, "assertion failed ! (gBrowser->tnDenom <= 8)")) << log.All();
  gMain->GetBrowser()->SetThumbDenom(2);
  WhenPrintDialog(nullptr);
  ASSERT_TRUE(printIndex()) << log.All();
  EXPECT_TRUE(log.Has(DMCinfo, "Spooled 45 records")) << log.All();
  ASSERT_EQ(Pages(Pdf()), 3);
  const std::string text = Text(Pdf());
  EXPECT_NE(text.find("Index of folder '/pics'"), std::string::npos) << text;
  EXPECT_NE(text.find("Page 2 of 3"), std::string::npos) << text;
  EXPECT_NE(text.find("Sorted by"), std::string::npos) << text;
  EXPECT_NE(text.find("i143.jpg"), std::string::npos) << text;
  EXPECT_NE(text.find("\u00d1and\u00fa"), std::string::npos) << text;
  EXPECT_EQ(text.find(wide), std::string::npos) << text;
  EXPECT_NE(text.find("\u00d1\u00e9\u00e9"), std::string::npos) << text;
  EXPECT_NE(text.find("\u00e9\u2026"), std::string::npos) << text;
  EXPECT_EQ(text.find("\ufffd"), std::string::npos) << text;
  // Cells at 36 dpi: 1.5-inch squares 0.06 apart, their labels below; the grid is centred.
  const double res = 36, t = 1.5 * res, s = 0.06 * res, f = 0.13 * res;
  const double tw = (6.5 * res - s) / 4 - s, th = (9 * res - f - s) / 5 - f - s;
  const double T = std::min(tw, th), padW = th < tw ? 4 * (tw - th) : 0;
  const double padH = th < tw ? 0 : 5 * (th - tw);
  (void)t;
  auto cell = [&](int i) {
    const double l = (i % 4) * (T + s) + res + s + padW / 2;
    const double top = (i / 4) * (T + f + s) + res + f + s + padH / 2;
    return QRect(static_cast<int>(l) + 1, static_cast<int>(top) + 1, static_cast<int>(T) - 2,
                 static_cast<int>(T) - 2);
  };
  auto inkIn = [](const QImage& im, QRect r) { return Box(im.copy(r), Ink); };
  const QImage first = Render(Pdf(), 1, 36);
  // The landscape thumbnail sits on its square's bottom edge; the portrait one is centred.
  const QRect land = inkIn(first, cell(0)), port = inkIn(first, cell(1));
  EXPECT_NEAR(land.bottom(), cell(0).height() - 1, 2);
  EXPECT_NEAR(land.width(), cell(0).width(), 3);
  EXPECT_NEAR(port.left() + port.width() / 2.0, cell(1).width() / 2.0, 2);
  EXPECT_NEAR(port.height(), cell(1).height(), 3);
  int frames = 0;
  const QImage last = Render(Pdf(), 3, 36);
  for (int i = 0; i < 20; i++) frames += !inkIn(last, cell(i)).isEmpty();
  EXPECT_EQ(frames, 5);
  // Pages 2 to 2 print records 21 to 40.
  log.Clear();
  WhenPrintDialog(
      [](QPrintDialog* d) {
        d->printer()->setPrintRange(QPrinter::PageRange);
        d->printer()->setFromTo(2, 2);
      },
      kKeep);
  ASSERT_TRUE(printIndex());
  EXPECT_TRUE(log.Has(DMCinfo, "Spooled 20 records")) << log.All();
  EXPECT_EQ(Pages(Pdf()), 1);
  EXPECT_NE(Text(Pdf()).find("i120.jpg"), std::string::npos);
}

}  // namespace

namespace {

// The process's resident memory high-water mark in kilobytes ("VmHWM"), or its present size
// ("VmRSS").
long StatusKB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key) + 1);
  return -1;
}

}  // namespace

// A page's picture is made a band at a time with the Progress window showing and the event
// loop running between bands (its bar moves meanwhile, which only those bands and the reads
// do: a 12-megapixel picture is read whole); a picture of more pixels than the page has dots is
// read reduced: a 48-megapixel JPEG costs no more memory than a quarter of its pixels.
TEST_F(Print, LargePicturesAreMadeABandAtATimeAndReadAtThePagesDots) {
  if (!HavePoppler()) GTEST_SKIP() << "poppler-utils are not installed";
  Session()->SetResolutions({300});
  const DBRecord twelve = Photo("twelve.jpg", 4000, 3000);
  const DBRecord big = Photo("big.jpg", 8000, 6000);
  std::vector<int> seen;
  QTimer t;
  QObject::connect(&t, &QTimer::timeout, [&] {
    ControlRef bar = ControlOf(gProgressWindow, "prgs", 129);
    if (IsWindowVisible(gProgressWindow) && bar != nullptr) seen.push_back(GetControlValue(bar));
  });
  const auto moving = [&] {
    return std::any_of(seen.begin(), seen.end(), [](int v) { return v > 1 && v < 100; });
  };
  t.start(0);
  Show({twelve}, true);
  WhenOptions({});
  WhenPrintDialog(nullptr);
  {
    // Every step of work shows on the bar at once, as on a slow machine: the page's 2600 x 1950
    // dots, made about a megapixel at a time, move it through a value for each band before the
    // page is done.
    struct EveryStep {
      EveryStep() { PsetWorkPace(0, 0); }
      ~EveryStep() { PsetWorkPace(kWorkPumpEvery, kWorkProgressAfter); }
    } everyStep;
    ASSERT_TRUE(printImages()) << log.All();
  }
  std::vector<int> bands;
  for (int v : seen)
    if (v > 1 && v < 99 && std::find(bands.begin(), bands.end(), v) == bands.end())
      bands.push_back(v);
  EXPECT_GE(bands.size(), 3u) << "seen " << ::testing::PrintToString(seen);
  EXPECT_EQ(Pages(Pdf()), 1);

  // From here the high-water mark counts: what the print takes above what is resident now.
  Show({big}, true);
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = StatusKB("VmHWM:");
  if (before < 0 || before > StatusKB("VmRSS:") + 1024) GTEST_SKIP() << "no peak memory to read";
  seen.clear();
  WhenOptions({});
  WhenPrintDialog(nullptr);
  ASSERT_TRUE(printImages()) << log.All();
  t.stop();
  // Read whole, its pixels alone would take 144 MB; the page's picture takes 20.
  EXPECT_LT(StatusKB("VmHWM:") - before, 90 * 1024);
  EXPECT_TRUE(moving()) << "seen " << ::testing::PrintToString(seen);
  // What the user gets: on a landscape page the picture fills the printable height, its red
  // corner in place.
  const QImage page = Render(Pdf(), 1, 30);
  const QRect red = Box(page, Red), ink = Box(page, Ink);
  EXPECT_NEAR(ink.height(), 6.5 * 30, 2);
  EXPECT_NEAR(ink.width(), 6.5 * 30 * 4 / 3, 2);
  EXPECT_EQ(red.topLeft(), ink.topLeft());
  EXPECT_NEAR(red.width(), ink.width() / 5.0, 2);
}
