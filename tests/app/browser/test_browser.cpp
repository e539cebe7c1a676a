// The grid: its geometry, cells and catalogue bands at every size and the table (grabbed to
// pictures), a pane too small for one cell, the image drawing functions against the library's
// own orienting, and the eight orientations of one photo drawn upright.
#include <sys/stat.h>

#include <QPainter>
#include <cmath>
#include <random>

#include "app/core/pfolder.h"
#include "app/core/pimgdraw.h"
#include "browsertest.h"
#include "catalog/pfileinfo.h"
#include "catalog/porient.h"
#include "image/picolor.h"

namespace {

constexpr UInt32 kSelected = 0xB0D8FF, kUnselected = 0xF0F0F0;
constexpr UInt32 kGreen = 0x008000, kRed = 0xA00000, kBlue = 0x000080;

// Left and top of cell (row, col)'s thumbnail square, in pane coordinates.
int CellLeft(int ts, int col) {
  return col * (ts + 24) + 24;
}
int CellTop(int ts, int row) {
  return row * (16 + ts + 24) + 24;
}

// The caption line of the first row's cell col, in the window's content.
QRect CaptionBox(const PBrowser* b, int ts, int col) {
  return QRect(b->extent.left + col * (ts + 24) + 24, b->extent.top + ts + 28, ts, 16);
}

// That caption as an unselected cell draws it, fitted as the browser fits it.
QImage CaptionAsDrawn(const QImage& like, const QFont& font, int ts, const char* text) {
  QImage want(ts, 16, like.format());
  want.fill(QColor(0xF0, 0xF0, 0xF0));
  {
    QPainter p(&want);
    p.setFont(font);
    p.setPen(Qt::black);
    PdrawFittedText(&p, QRectF(0, 0, ts, 16), text, ts / 5);
  }
  return want;
}

TEST_F(BrowserTest, GoldenGridBandsAndEverySize) {
  MakeRecords(60);
  ASSERT_EQ(b->GetWidth(), 1000);
  ASSERT_EQ(b->GetHeight(), 700);
  EXPECT_EQ(b->ntcols, 9);
  EXPECT_EQ(b->ntrows, 5);
  EXPECT_EQ(CellLeft(80, 2), 232);
  EXPECT_EQ(CellTop(80, 1), 144);
  ctx->Select(11, true);  // cell (1, 2)
  b->DrawThumbs();
  // Selected fill left of the square, the unselected fill of its neighbour, the band below
  // and right of the light cell, and dark caption text under the square.
  EXPECT_EQ(Pixel(232 - 6, 144 + 40), kSelected);
  EXPECT_EQ(Pixel(CellLeft(80, 1) - 6, 144 + 40), kUnselected);
  EXPECT_EQ(Pixel(232 + 80 + 10, 144 + 40), kBlue);  // a folder's record, not catalogued
  EXPECT_EQ(Pixel(232 + 40, 144 + 80 + 16 + 10), kBlue);
  int dark = 0;
  for (int x = 232; x < 232 + 80; ++x)
    for (int y = 144 + 84; y < 144 + 84 + 16; ++y) dark += (Pixel(x, y) & 0xFF) < 0x60;
  EXPECT_GT(dark, 10);  // "R11"
  // A record without title shows its file name; one with neither shows no caption.
  auto captionInk = [&](int cell) {
    const int x0 = CellLeft(80, cell % 9), y0 = CellTop(80, cell / 9) + 84;
    int ink = 0;
    for (int x = x0; x < x0 + 80; ++x)
      for (int y = y0; y < y0 + 16; ++y) ink += (Pixel(x, y) & 0xFF) < 0x60;
    return ink;
  };
  EXPECT_GT(captionInk(14), captionInk(13));  // "f14.jpg" is longer than "R13"
  ctx->rdisp[14].ClearField(PDBFfile);
  b->DrawThumbs();
  EXPECT_EQ(captionInk(14), 0);
  Shot("grid-80");

  // Catalogue records: green while writable, red when the catalogue is read-only.
  const std::string cat = home.path() + "/c.qdb";
  ASSERT_TRUE(ctx->OpenDB(cat.c_str()));
  MakeRecords(60);
  snprintf(ctx->rsrc, sizeof ctx->rsrc, "*DB");
  b->DrawThumbs();
  EXPECT_EQ(Pixel(232 + 80 + 10, 144 + 40), kGreen);
  ctx->CloseDB();
  ASSERT_TRUE(ctx->OpenDB(cat.c_str(), true));
  MakeRecords(60);
  snprintf(ctx->rsrc, sizeof ctx->rsrc, "*DB");
  b->DrawThumbs();
  EXPECT_EQ(Pixel(232 + 80 + 10, 144 + 40), kRed);
  Shot("grid-80-readonly");
  ctx->CloseDB();
  snprintf(ctx->rsrc, sizeof ctx->rsrc, "/photos");

  struct Size {
    const char* code;
    int ts, cols, rows;
  };
  for (const Size& s :
       {Size{"tpvw", 320, 2, 1}, Size{"tlrg", 160, 5, 3}, Size{"tsml", 40, 15, 8}}) {
    mw->SetThumbSize(FourCC({s.code[0], s.code[1], s.code[2], s.code[3], 0}), false);
    EXPECT_EQ(b->ThumbSize(), s.ts);
    EXPECT_EQ(b->ntcols, s.cols) << s.ts;
    EXPECT_EQ(b->ntrows, s.rows) << s.ts;
    EXPECT_EQ(b->ThumbCount(), std::min(60, s.cols * s.rows));
    EXPECT_EQ(Pixel(CellLeft(s.ts, 0) - 6, CellTop(s.ts, 0) + s.ts / 2), kUnselected);
    Shot(("grid-" + std::to_string(s.ts)).c_str());
  }
  mw->SetThumbSize(FourCC("tsml"), true);  // the checked size again: the table
  EXPECT_EQ(b->tnDenom, 0);
  EXPECT_NE(b->listh, nullptr);
  EXPECT_EQ(b->ThumbCount(), 0);
  Shot("table");
}

// Captions are cut between characters to at most ts / 5 characters and to the cell's width,
// ending with an ellipsis: a Japanese name (whole or cut, as the font's widths have it), twenty
// accented letters and a title in a script the machine may have no font for show as the fitted
// text drawn alone would, and the last ends in three dots, not in the boxes of a missing font;
// the status line does the same with a long message.
TEST_F(BrowserTest, CaptionsAndTheStatusLineAreCutBetweenCharacters) {
  MakeRecords(4);
  std::string e20, khmer;
  for (int i = 0; i < 20; ++i) e20 += "\u00e9";
  for (int i = 0; i < 10; ++i) khmer += "\u1781\u17d2\u1798\u17c2\u179a";
  const std::string texts[4] = {"\u65e5\u672c\u8a9e\u306e\u5199\u771f.JPG", e20, "IMG_7.JPG",
                                khmer};
  ctx->rdisp[0].ClearField(PDBFtitle);
  ctx->rdisp[0].SetField(PDBFfile, texts[0].c_str());
  for (int i = 1; i < 4; ++i) ctx->rdisp[i].SetField(PDBFtitle, texts[i].c_str());
  b->Redisplay();
  const int ts = b->ThumbSize();
  ASSERT_EQ(ts, 80);
  const QImage shot = Grab();
  const QFont font = PlatformContentWidget(mw->GetWindow())->font();
  const QFontMetricsF fm(font);
  for (int i = 0; i < 4; ++i) {
    const QString text = QString::fromStdString(texts[i]);
    const QString fit = PfitText(fm, texts[i].c_str(), ts / 5, ts);
    EXPECT_FALSE(fit.contains(QChar(0xFFFD)));
    // Whole when the cell holds it in the font it is drawn with (each of these characters is
    // one UTF-16 unit); else whole characters from the start and the ellipsis, within the cell.
    const bool fits = text.size() <= ts / 5 && fm.horizontalAdvance(text) <= ts;
    EXPECT_TRUE(i != 1 || !fits);  // twenty letters: more than ts / 5
    if (fits) {
      EXPECT_EQ(fit, text);
    } else {
      EXPECT_TRUE(fit.endsWith(QChar(0x2026))) << fit.toStdString();
      EXPECT_TRUE(text.startsWith(fit.chopped(1))) << fit.toStdString();
      EXPECT_LE(fm.horizontalAdvance(fit), ts) << fit.toStdString();
    }
    EXPECT_EQ(shot.copy(CaptionBox(b, ts, i)), CaptionAsDrawn(shot, font, ts, texts[i].c_str()))
        << i;
  }
  // The cut title ends in three dots: the last three runs of inked columns are each far lower
  // than a line of text (a missing font's box is as high as one).
  const QImage cell =
      shot.copy(QRect(b->extent.left + 3 * (ts + 24) + 24, b->extent.top + ts + 28, ts, 16));
  const auto inked = [&](int x, int* top, int* bottom) {
    bool any = false;
    for (int y = 0; y < cell.height(); ++y)
      if (qGray(cell.pixel(x, y)) < 0xA0)
        *top = std::min(*top, y), *bottom = std::max(*bottom, y), any = true;
    return any;
  };
  for (int x = cell.width() - 1, dot = 0; dot < 3; ++dot) {
    int top = cell.height(), bottom = -1;
    while (x >= 0 && !inked(x, &top, &bottom)) --x;
    while (x >= 0 && inked(x, &top, &bottom)) --x;
    EXPECT_TRUE(bottom >= 0 && bottom - top < cell.height() / 4) << "dot " << dot;
  }
  const std::string status = "Cannot open '" + texts[0] + "': " + e20 + e20 + e20;
  mw->ShowMessage(status.c_str(), false);
  auto* line = qobject_cast<QLabel*>(WidgetOf(mw->GetWindow(), "pict", 132));
  ASSERT_NE(line, nullptr);
  EXPECT_TRUE(line->text().endsWith(QChar(0x2026))) << line->text().toStdString();
  EXPECT_LE(QFontMetricsF(line->font()).horizontalAdvance(line->text()),
            line->contentsRect().width());
  EXPECT_EQ(TextOf(mw->GetWindow(), "pict", 132), status);
}

// Names of bytes that are no text are shown with those bytes as "\xHH", in the captions and in
// the table's cells, and a name holding the four characters \xE9 with its backslash doubled,
// so that two names never show alike; a UTF-8 name the table's column cuts loses its cut
// character, not shown as bytes, and one it cuts just after a space ends with the word before.
TEST_F(BrowserTest, NamesThatAreNoTextShowTheirBytes) {
  MakeRecords(6);
  std::string long8;
  for (int i = 0; i < 100; ++i) long8 += "\u00e9";
  const std::string spaced = "Boats in the harbour, dawn.jpg";
  ASSERT_EQ(spaced[static_cast<size_t>(b->cwidth) - 1], ' ');  // the column's last character
  const std::string files[6] = {"caf\xE9.jpg",  "caf\xFF.jpg", "two\nlines.jpg",
                                "caf\\xE9.jpg", long8,         spaced};
  for (int i = 0; i < 6; ++i) {
    ctx->rdisp[i].ClearField(PDBFtitle);
    ctx->rdisp[i].SetField(PDBFfile, files[i].c_str());
  }
  b->Redisplay();
  const int ts = b->ThumbSize();
  const QImage shot = Grab();
  const QFont font = PlatformContentWidget(mw->GetWindow())->font();
  const char* shown[4] = {"caf\\xE9.jpg", "caf\\xFF.jpg", "two\\x0Alines.jpg", "caf\\\\xE9.jpg"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(shot.copy(CaptionBox(b, ts, i)), CaptionAsDrawn(shot, font, ts, shown[i]))
        << shown[i];
  }
  mw->SetThumbSize(FourCC("tmed"), true);  // the table
  ASSERT_NE(b->listh, nullptr);
  const auto cell = [&](int row) {
    char buf[1024];
    short len = sizeof buf;
    if (!LGetCell(buf, &len, Cell(row, 0), b->listh)) return std::string("?");
    return std::string(buf, static_cast<size_t>(len));
  };
  for (int i = 0; i < 4; ++i) EXPECT_EQ(cell(i), shown[i]);
  const std::string cut = cell(4);
  EXPECT_FALSE(cut.empty());
  EXPECT_EQ(cut.find('\\'), std::string::npos) << cut;
  EXPECT_EQ(long8.compare(0, cut.size(), cut), 0) << cut;
  EXPECT_EQ(cell(5), spaced.substr(0, static_cast<size_t>(b->cwidth) - 1));
}

TEST_F(BrowserTest, AFewRecordsStartAtTheTopAndAShrunkDisplayToo) {
  MakeRecords(200);
  EXPECT_EQ(b->ScrollDown(3), 3);
  EXPECT_EQ(b->topleftIndex, 27);
  EXPECT_EQ(b->ScrollDown(-10), -3);  // clamped at the first row
  EXPECT_EQ(b->ScrollDown(0), 0);
  EXPECT_EQ(b->ScrollDown(1000), 23 - 5);  // to the last screen: 23 rows, 5 shown
  EXPECT_EQ(b->ScrollDown(1), 0);
  const int top = b->topleftIndex;
  ctx->rdisp.Resize(20);  // the display shrank below the top-left record
  b->Redisplay();
  EXPECT_GT(top, 20);
  EXPECT_EQ(b->topleftIndex, 0);
  EXPECT_EQ(b->ThumbCount(), 20);
}

TEST_F(BrowserTest, APaneTooSmallForOneCellHasNoCells) {
  mw->SetThumbSize(FourCC("tpvw"), false);
  MakeRecords(50);
  ASSERT_NE(b->thumbScroll, nullptr);
  b->ScrollDown(2);
  b->extent.right = static_cast<short>(b->extent.left + 39 + 320 + 23);  // one pixel too narrow
  b->Redraw();
  EXPECT_EQ(b->ntcols, 0);
  EXPECT_EQ(b->ThumbCount(), 0);
  EXPECT_EQ(b->thumbScroll, nullptr);
  EXPECT_EQ(b->topleftIndex, 0);
  EXPECT_EQ(b->ScrollDown(1), 0);
  EXPECT_EQ(b->HitRecord(Point{static_cast<short>(b->extent.top + 60),
                               static_cast<short>(b->extent.left + 60)}),
            -1);
  // A drop goes after the last record.
  EXPECT_EQ(b->InsertionPoint(Point{static_cast<short>(b->extent.top + 50),
                                    static_cast<short>(b->extent.left + 50)}),
            50);
  b->ShowSelection(true);  // nothing to scroll, nothing to divide by
}

TEST_F(BrowserTest, FillingCellsStopsWhenTheDisplayChangesMeanwhile) {
  mw->SetThumbSize(FourCC("tpvw"), false);  // events are pumped before every cell
  MakeRecords(40);
  // While the cells fill, the display shrinks to three records and is drawn anew.
  int fired = 0;
  QTimer::singleShot(0, [&] {
    ++fired;
    ctx->rdisp.Resize(3);
    b->Redisplay();
  });
  b->Redisplay();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(b->ThumbCount(), 2);  // 2 x 1 cells of 320 pixels
  for (int i = b->ThumbCount(); i < PBrowser::kMaxCells; ++i)
    EXPECT_EQ(b->thumb[i].img, nullptr) << i;
  // A scroll meanwhile ends the fill too; the new top's cells are filled by its own redraw.
  MakeRecords(40);
  QTimer::singleShot(0, [&] { b->ScrollDown(3); });
  b->Redisplay();
  EXPECT_EQ(b->topleftIndex, 6);
  for (int i = 0; i < b->ThumbCount(); ++i) EXPECT_NE(b->thumb[i].img, nullptr) << i;
}

TEST_F(BrowserTest, MoreThan512CellsAreCutToWholeRows) {
  MakeRecords(2000);
  SizeWindow(mw->GetWindow(), 300 + 2000, 2000, true);
  mw->SetThumbSize(FourCC("tsml"), false);
  mw->Redraw();
  ASSERT_GT(b->ntrows * b->ntcols, 512);
  EXPECT_EQ(b->ThumbCount() % b->ntcols, 0);
  EXPECT_LE(b->ThumbCount(), 512);
  EXPECT_GT(b->ThumbCount(), 512 - b->ntcols);
  EXPECT_EQ(b->ScrollDown(1), 1);
  EXPECT_EQ(b->topleftIndex, b->ntcols);
}

// A w x h sRGB image of random pixels.
_ImgStruct RandomImage(int w, int h, std::mt19937* rng) {
  _ImgStruct im{};
  im.xres = w;
  im.yres = h;
  im.csp = &ICS_sRGB;
  PnewImage(&im, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < 3 * w; ++x) im.img[y * im.rowsize + x] = static_cast<uint8_t>((*rng)());
  return im;
}

TEST(ImageDrawing, EveryOrientationDrawsAsTheLibraryOrientsPixelForPixel) {
  std::mt19937 rng(7);
  _ImgStruct src = RandomImage(7, 5, &rng);
  for (int c = 0; c < 8; ++c) {
    POrient o;
    o.SetOrigSize(7, 5);
    o.hflip = c & 1;
    o.vflip = c & 2;
    o.xyswap = c & 4;
    _ImgStruct want{};
    want.xres = o.GetWidth();
    want.yres = o.GetHeight();
    want.csp = &ICS_sRGB;
    ASSERT_TRUE(PnewImage(&want, 0));
    ASSERT_TRUE(o.OrientImage(&want, &src));
    QImage canvas(20, 20, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    {
      QPainter p(&canvas);
      QDrawImage(&p, &src, 3, 4, &o);
    }
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 20; ++x) {
        const bool inside = x >= 3 && y >= 4 && x < 3 + want.xres && y < 4 + want.yres;
        const QRgb got = canvas.pixel(x, y);
        if (!inside) {
          EXPECT_EQ(got & 0xFFFFFF, 0u) << "case " << c << " at " << x << "," << y;
          continue;
        }
        const uint8_t* px = want.img + (y - 4) * want.rowsize + 3 * (x - 3);
        ASSERT_EQ(got & 0xFFFFFF, (uint32_t(px[0]) << 16) | (px[1] << 8) | px[2])
            << "case " << c << " at " << x << "," << y;
      }
    PfreeImage(&want);
  }
  // Anything but 8-bit RGB is not drawn, and a drawn image's memory is held only while drawn.
  QImage canvas(8, 8, QImage::Format_RGB32);
  canvas.fill(Qt::black);
  _ImgStruct grey = src;
  grey.csp = &ICS_Y8;
  {
    QPainter p(&canvas);
    QDrawImage(&p, &grey, 0, 0, nullptr);
    QDrawImage(&p, &src, 0, 0, nullptr);
  }
  EXPECT_NE(canvas.pixel(0, 0) & 0xFFFFFF, 0u);
  EXPECT_EQ(src.mbase->RetainCount(), 1);
  PfreeImage(&src);
}

TEST_F(BrowserTest, TheEightOrientationsOfOnePhotoDrawAsOneUprightPicture) {
  const std::string dir = std::string(LUMERIN_TESTDATA) + "/jpeg";
  if (access((dir + "/landscape_1.jpg").c_str(), R_OK) != 0) GTEST_SKIP() << "no test pictures";
  const std::string tn = home.path() + "/tn";
  ASSERT_EQ(mkdir(tn.c_str(), 0700), 0);
  ASSERT_TRUE(PBrowser::tnMgr.SetCacheDirectory(tn.c_str()));
  mw->SetThumbSize(FourCC("tlrg"), false);
  ctx->Clear(nullptr);
  for (int i = 1; i <= 8; ++i)
    PgrokFile(&ctx->rdisp.NewRecord(), (dir + "/landscape_" + std::to_string(i) + ".jpg").c_str());
  b->Redisplay();
  ASSERT_EQ(b->ThumbCount(), 8);
  // Final thumbnails, as the idle improvement makes them: unoriented, drawn oriented.
  for (int i = 0; i < 8; ++i) {
    b->FreeThumb(i);
    b->thumb[i].xres = b->thumb[i].yres = 160;
    b->thumb[i].csp = &ICS_sRGB;
    ASSERT_TRUE(PBrowser::tnMgr.GetThumbnail(&b->thumb[i], ctx->rdisp[i]));
  }
  b->DrawThumbs();
  Shot("landscapes");
  const QImage shot = Grab();
  // Each cell's picture against the first, in blocks of 10 x 10 pixels (each file was
  // compressed on its own), less the middle, where each shows its number.
  auto blocks = [](const QImage& im) {
    std::vector<double> m;
    for (int by = 0; by < im.height() / 10; ++by)
      for (int bx = 0; bx < im.width() / 10; ++bx) {
        if (bx >= 4 && bx < 10) continue;
        double s[3] = {0, 0, 0};
        for (int y = 10 * by; y < 10 * by + 10; ++y)
          for (int x = 10 * bx; x < 10 * bx + 10; ++x) {
            const QRgb p = im.pixel(x, y);
            s[0] += qRed(p), s[1] += qGreen(p), s[2] += qBlue(p);
          }
        for (double v : s) m.push_back(v / 100);
      }
    // Less the picture's own mean: landscape_1 was saved brighter than the other seven.
    double mean[3] = {0, 0, 0};
    for (size_t k = 0; k < m.size(); ++k) mean[k % 3] += m[k] / (m.size() / 3);
    for (size_t k = 0; k < m.size(); ++k) m[k] -= mean[k % 3];
    return m;
  };
  auto cell = [&](int i) {
    const int left = b->extent.left + CellLeft(160, i % 5),
              top = b->extent.top + CellTop(160, i / 5);
    return shot.copy(left + 10, top + 40, 140, 80);
  };
  const std::vector<double> first = blocks(cell(0));
  for (int i = 1; i < 8; ++i) {
    const std::vector<double> other = blocks(cell(i));
    double sum = 0;
    for (size_t k = 0; k < first.size(); ++k) sum += std::abs(first[k] - other[k]);
    EXPECT_LT(sum / first.size(), 3.0) << "landscape_" << i + 1;
  }
  PBrowser::tnMgr.SetCacheDirectory(nullptr);
}

}  // namespace
