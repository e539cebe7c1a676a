// Find nearby: the boxes around a position (the date line and the poles included), and the
// command over a catalogue of real pictures given positions by an outside tool, asking for its
// radius through the real input window.
#include <QLineEdit>
#include <QProcess>
#include <QStandardPaths>
#include <set>

#include "app/core/pdialogs.h"
#include "app/records/pfindnearby.h"
#include "info/infotest.h"

namespace {

TEST(NearbyBoxes, HalfWidthsDateLineAndPoles) {
  float lo[2][2], hi[2][2];
  ASSERT_EQ(PnearbyBoxes(0, 10, 1.0, lo, hi), 1);
  EXPECT_NEAR(hi[0][0], 0.0089828, 1e-7);
  EXPECT_NEAR(lo[0][0], -0.0089828, 1e-7);
  EXPECT_NEAR(hi[0][1] - 10, 0.0089828, 1e-6);
  ASSERT_EQ(PnearbyBoxes(60, 10, 1.0, lo, hi), 1);
  EXPECT_NEAR(hi[0][1] - 10, 2 * 0.0089828, 1e-5);
  // Across the 180th meridian: two boxes, one on each side.
  ASSERT_EQ(PnearbyBoxes(0, 179.995f, 2.0, lo, hi), 2);
  EXPECT_EQ(hi[0][1], 180.0f);
  EXPECT_EQ(lo[1][1], -180.0f);
  EXPECT_NEAR(hi[1][1], -179.987, 1e-3);
  ASSERT_EQ(PnearbyBoxes(0, -179.995f, 2.0, lo, hi), 2);
  // Reaching a pole, or wider than the globe: every longitude, latitudes clamped.
  ASSERT_EQ(PnearbyBoxes(89.995f, 10, 2.0, lo, hi), 1);
  EXPECT_EQ(hi[0][0], 90.0f);
  EXPECT_EQ(lo[0][1], -180.0f);
  EXPECT_EQ(hi[0][1], 180.0f);
  ASSERT_EQ(PnearbyBoxes(0, 0, 30000.0, lo, hi), 1);
  EXPECT_EQ(lo[0][0], -90.0f);
  // Not a place, or not a radius: no box.
  EXPECT_EQ(PnearbyBoxes(NAN, 0, 1.0, lo, hi), 0);
  EXPECT_EQ(PnearbyBoxes(91, 0, 1.0, lo, hi), 0);
  EXPECT_EQ(PnearbyBoxes(0, 181, 1.0, lo, hi), 0);
  EXPECT_EQ(PnearbyBoxes(0, 0, INFINITY, lo, hi), 0);
}

class Nearby : public InfoTest {
 protected:
  // Answers the next radius question with text (nullptr: Cancel), after checking the offer.
  void Answer(const char* offered, const char* text) {
    WhenShown(
        gInputWindow,
        [=] {
          EXPECT_EQ(TextOf(gInputWindow, "inpt", 129), offered);
          if (text) qobject_cast<QLineEdit*>(WidgetOf(gInputWindow, "inpt", 129))->setText(text);
        },
        "bttn", text ? 1 : 2);
  }
  std::set<std::string> Shown(bool selected) const {
    std::set<std::string> s;
    for (int i = 0; i < ctx->rdisp.GetSize(); ++i)
      if (!selected || ctx->IsSelected(i))
        s.insert(PDBgetField(ctx->rdisp[i], PDBFfile).GetString(0));
    return s;
  }
  void SelectFiles(std::initializer_list<const char*> files) {
    ctx->SelectNone();
    for (const char* f : files) ctx->Select(IndexOf(f));
  }
};

using S = std::set<std::string>;

TEST_F(Nearby, AcrossTheDateLineAndOverThePole) {
  NEED_PICTURES();
  const QString tool = QStandardPaths::findExecutable("exiftool");
  if (tool.isEmpty()) GTEST_SKIP() << "no exiftool";
  struct Place {
    const char* file;
    const char* from;
    const char* lat;
    const char* latRef;
    const char* lon;
    const char* lonRef;
  };
  const Place places[] = {{"east.jpg", "DSCN0010.jpg", "0.5", "N", "179.995", "E"},
                          {"west.jpg", "Kodak_CX7530.jpg", "0.5", "N", "179.995", "W"},
                          {"north.jpg", "DSCN0010.jpg", "89.995", "N", "10", "E"},
                          {"beyond.jpg", "Kodak_CX7530.jpg", "89.995", "N", "170", "W"},
                          {"far.jpg", "DSCN0010.jpg", "0.5", "N", "170", "E"}};
  // One run of the tool (it starts slowly) writes every position, and clears none.jpg's.
  QStringList args;
  for (const Place& p : places) {
    Put(p.from, p.file);
    args << "-q"
         << "-overwrite_original" << QString("-GPSLatitude=") + p.lat
         << QString("-GPSLatitudeRef=") + p.latRef << QString("-GPSLongitude=") + p.lon
         << QString("-GPSLongitudeRef=") + p.lonRef << QString::fromStdString(dir + "/" + p.file)
         << "-execute";
  }
  Put("DSCN0010.jpg", "none.jpg");
  args << "-q"
       << "-overwrite_original"
       << "-gps:all=" << QString::fromStdString(dir + "/none.jpg");
  ASSERT_EQ(QProcess::execute(tool, args), 0);
  Load();
  ASSERT_EQ(ctx->rdisp.GetSize(), 6);
  ASSERT_TRUE(ctx->OpenDB((home.path() + "/nearby.qdb").c_str()));
  for (int i = 0; i < ctx->rdisp.GetSize(); ++i)
    if (!PDBgetField(ctx->rdisp[i], PDBFsubject).IsSet()) ctx->rdisp[i].SetField(PDBFsubject, "-");
  ctx->SelectAll();
  ASSERT_EQ(ctx->AddRecords(), 6);

  // The first radius offered is "0.1": too small for the neighbour across the date line.
  SelectFiles({"east.jpg"});
  Answer("0.1", "0.1");
  ASSERT_TRUE(findNearby());
  EXPECT_EQ(Shown(false), (S{"east.jpg"}));
  Answer("0.1", "2");
  ASSERT_TRUE(findNearby());
  EXPECT_EQ(Shown(false), (S{"east.jpg", "west.jpg"}));
  EXPECT_EQ(Shown(true), (S{"east.jpg"}));
  // Over the pole, and two boxes at once; the last radius is offered again.
  Load();
  ASSERT_EQ(ctx->rdisp.GetSize(), 6);
  SelectFiles({"north.jpg", "west.jpg"});
  Answer("2", "2");
  ASSERT_TRUE(findNearby());
  EXPECT_EQ(Shown(false), (S{"east.jpg", "west.jpg", "north.jpg", "beyond.jpg"}));
  EXPECT_EQ(Shown(true), (S{"north.jpg", "west.jpg"}));

  // Cancel, text that is not a positive number, no selected position: the display stays.
  const S before = Shown(false);
  Answer("2", nullptr);
  EXPECT_FALSE(findNearby());
  Answer("2", "-1");
  EXPECT_FALSE(findNearby());
  Answer("-1", "abc");
  EXPECT_FALSE(findNearby());
  EXPECT_EQ(Shown(false), before);
  EXPECT_STREQ(dmessage_record[DMCinput], "Radius must be a positive number of kilometers");
  dmessage_last_class = DMCnerr;  // seen: the status line need not blink it
  Load();
  SelectFiles({"none.jpg"});
  Answer("abc", "5");
  EXPECT_FALSE(findNearby());
  EXPECT_EQ(ctx->rdisp.GetSize(), 6);
  // An empty entry: "0.1" is offered next.
  Answer("5", "");
  EXPECT_FALSE(findNearby());
  Answer("0.1", nullptr);
  EXPECT_FALSE(findNearby());
}

}  // namespace
