// Make HDR: exposure factors, the series checks, the options asked for, and a bracketed series
// made into a temporary image that is deleted unless saved.
#include <sys/stat.h>

#include <QDir>
#include <algorithm>
#include <random>

#include "app/hdrpano/makehdr.h"
#include "app/hdrpano/pforms.h"
#include "app/hdrpano/ptempimg.h"
#include "app/image/pforms.h"
#include "catalog/pcontext.h"
#include "hdr/phdrimg.h"
#include "savetest.h"
#include "support/membudget.h"
#include "testutil/message_log.h"

using namespace savetest;

namespace {

// While it lives, answers every question the confirm window asks with one button (129 OK, 130
// Cancel), keeping the texts in order.
class Questions {
 public:
  explicit Questions(int button) {
    QObject::connect(&timer_, &QTimer::timeout, [this, button] {
      if (!IsWindowVisible(gConfirmWindow)) return;
      texts.push_back(TextOf(gConfirmWindow, "cfrm", 128));
      if (auto* b = qobject_cast<QAbstractButton*>(WidgetOf(gConfirmWindow, "cfrm", button)))
        QTest::mouseClick(b, Qt::LeftButton);
    });
    timer_.start(5);
  }
  std::vector<std::string> texts;

 private:
  QTimer timer_;
};

class MakeHDR : public FolderTest {
 protected:
  MakeHDR() : FolderTest("pictures", true) {}
  MessageLog log;
  PContext& bc = gMain->bc;
  void SetUp() override {
    FolderTest::SetUp();
    if (HasFatalFailure()) return;
    bc.ClearRecords();
    gCamResponse.Init(&CDBFInfo, 0);
  }
  // Shows recs in the main window, every one selected.
  void Show(const std::vector<DBRecord>& recs) {
    bc.ClearRecords();
    for (const DBRecord& r : recs) bc.rdisp.NewRecord() = r;
    for (int i = 0; i < bc.rdisp.GetSize(); ++i) bc.Select(i);
  }
  std::string TempDir() const { return std::string(getenv("XDG_CACHE_HOME")) + "/lumerin/tmp"; }
  int TempFiles() const {
    return static_cast<int>(QDir(QString::fromStdString(TempDir())).entryList(QDir::Files).size());
  }
  // Three JPEG exposures of 640 x 480, two stops apart, of a camera the records name.
  std::vector<DBRecord> Bracket() {
    std::vector<DBRecord> recs;
    _ImgStruct scene = Picture(640, 480), e = Picture(640, 480);
    for (int i = 0; i < 3; ++i) {
      for (int y = 0; y < e.yres; ++y)
        for (int x = 0; x < 3 * e.xres; ++x)
          e.img[y * e.rowsize + x] = static_cast<uint8_t>(
              std::min(255, (scene.img[y * scene.rowsize + x] << (2 * i)) / 4));
      const std::string p = Path("e" + std::to_string(i) + ".jpg");
      EXPECT_TRUE(WriteJPEG(p, e, 90));
      recs.push_back(RecordOf(p));
      PDBsetFloat(&recs[i], PDBFexptime, 0.01f * (1 << (2 * i)));
      PDBsetFloat(&recs[i], PDBFaperture, 8.0f);
      PDBsetString(&recs[i], PDBFmake, "Test");
      PDBsetString(&recs[i], PDBFmodel, "Bracket");
    }
    PfreeImage(&scene);
    PfreeImage(&e);
    return recs;
  }
  // The generic response, saved for the camera of Bracket().
  void SaveResponse() {
    DBRecord r;
    PgenericResponse(&r);
    r.SetField(CDBFmake, "Test");
    r.SetField(CDBFmodel, "Bracket");
    gCamResponse.NewRecord() = r;
  }
  // The command through the main window, its options dialog answered with the options it
  // offers; alerts are shown.
  void Command() {
    dmessage_alert = PalertHook;
    log.alerts = true;
    WhenShown(gHDRWindow, nullptr, "bttn", 1);
    EXPECT_EQ(SendCommand("mhdr", kEventCommandProcess, GetWindowEventTarget(gMain->GetWindow())),
              noErr);
    log.alerts = false;
    dmessage_alert = nullptr;
  }
  // Closes the images made, their files deleted unsaved.
  void Discard() {
    Questions dontSave(131);
    EXPECT_TRUE(gImager->CloseImages(true));
    EXPECT_EQ(TempFiles(), 0);
  }
};

// The memory the process may take, as this computer would say, for one scope.
struct MemoryAvailable {
  explicit MemoryAvailable(uint64_t bytes) { PsetMemoryAvailable(bytes); }
  ~MemoryAvailable() { PsetMemoryAvailable(0); }
};

DBRecord Exposure(float t, float n) {
  DBRecord r(&PDBFInfo);
  PDBsetFloat(&r, PDBFexptime, t);
  PDBsetFloat(&r, PDBFaperture, n);
  return r;
}

TEST_F(MakeHDR, ExposureFactorsAndOrientations) {
  DBRecord r = Exposure(0.01f, 8.0f);  // no ASA: 100
  ASSERT_EQ(getStoNits(&r), 1);
  float v = 0;
  ASSERT_TRUE(PDBgetFloat(r, PDBFstonits, &v));
  EXPECT_FLOAT_EQ(v, 5568.0f);
  PDBsetFloat(&r, PDBFexptime, 1.0f);  // a factor already there is kept
  EXPECT_EQ(getStoNits(&r), 1);
  ASSERT_TRUE(PDBgetFloat(r, PDBFstonits, &v));
  EXPECT_FLOAT_EQ(v, 5568.0f);
  // A time or aperture of 0 or less is missing, not an infinite factor; an ASA of 0 is 100.
  for (float t : {0.0f, -0.5f}) {
    DBRecord z = Exposure(t, 8.0f);
    EXPECT_EQ(getStoNits(&z), 0);
    EXPECT_FALSE(PDBgetField(z, PDBFstonits).IsSet());
  }
  DBRecord zn = Exposure(0.01f, 0.0f);
  EXPECT_EQ(getStoNits(&zn), 0);
  DBRecord s = Exposure(0.01f, 8.0f);
  PDBsetFloat(&s, PDBFasa, 0.0f);
  ASSERT_EQ(getStoNits(&s), 1);
  ASSERT_TRUE(PDBgetFloat(s, PDBFstonits, &v));
  EXPECT_FLOAT_EQ(v, 5568.0f);

  DBRecord a(&PDBFInfo), b(&PDBFInfo);
  PDBsetInt(&a, PDBForient, -90);
  PDBsetInt(&b, PDBForient, 270);
  EXPECT_EQ(matchOrient(a, b), 1);
  PDBsetInt(&b, PDBForient, 630);
  EXPECT_EQ(matchOrient(a, b), 1);
  PDBsetInt(&b, PDBForient, 90);
  EXPECT_EQ(matchOrient(a, b), 0);
  PDBsetInt(&b, PDBForient, -90);
  PDBsetInt(&b, PDBFflip, 1);
  EXPECT_EQ(matchOrient(a, b), 0);
}

TEST_F(MakeHDR, SeriesChecksAndTheOptionsAskedFor) {
  _ImgStruct pic = Picture(64, 48), other = Picture(48, 64);
  std::vector<DBRecord> recs;
  for (int i = 0; i < 3; ++i) {
    const std::string p = Path("e" + std::to_string(i) + ".jpg");
    ASSERT_TRUE(WriteJPEG(p, i < 2 ? pic : other, 90));
    recs.push_back(RecordOf(p));
    recs[i].ClearField(PDBid(recs[i], PDBFcapdate));  // the file's date: no capture time
    PDBsetFloat(&recs[i], PDBFexptime, 0.01f * (1 << (2 * i)));
    PDBsetFloat(&recs[i], PDBFaperture, 8.0f);
    PDBsetString(&recs[i], PDBFmake, "Test");
    PDBsetString(&recs[i], PDBFmodel, "Bracket");
  }
  PfreeImage(&pic);
  PfreeImage(&other);
  DBRecord e0 = recs[0], e1 = recs[1];
  PDBsetString(&e0, PDBFcapdate, "2024:05:01 10:00:00");
  auto check = [&](const DBRecord& second) {
    Show({e0, second});
    const char* why = checkHDR(nullptr);
    return std::string(why ? why : "");
  };
  PDBsetString(&e1, PDBFcapdate, "2024:05:01 10:30:00");
  EXPECT_EQ(check(e1), "");
  PDBsetString(&e1, PDBFcapdate, "2024:05:01 10:30:01");
  EXPECT_EQ(check(e1), "Exposures taken more than 30 minutes apart");
  e1 = recs[1];  // no capture time: not compared
  EXPECT_EQ(check(e1), "");
  EXPECT_EQ(check(recs[2]), "Images do not match source or size");
  PDBsetInt(&e1, PDBFflip, 1);
  EXPECT_EQ(check(e1), "Images do not match orientation");
  e1 = recs[1];
  e1.ClearField(PDBid(e1, PDBFexptime));
  EXPECT_EQ(check(e1), "Unknown image exposure(s)");
  PDBsetString(&e1, PDBFformat, "EXR half RGB");
  PDBsetFloat(&e1, PDBFexptime, 0.04f);
  EXPECT_EQ(check(e1), "Image(s) already in HDR format");
  Show({});
  EXPECT_STREQ(checkHDR(nullptr), "No images selected");

  // The computed factors are kept with the records; the query names the series' camera.
  Show({recs[0], recs[1]});
  DBQuery q(&CDBFInfo, false);
  ASSERT_EQ(checkHDR(&q), nullptr);
  EXPECT_TRUE(PDBgetField(bc.rdisp[1], PDBFstonits).IsSet());
  EXPECT_STREQ(q.rlo[CDBFmake].GetString(0), "Test");
  EXPECT_STREQ(q.rlo[CDBFmodel].GetString(0), "Bracket");

  // One image without a saved response: nothing to choose, no dialog.
  Show({recs[0]});
  int ri = 7;
  EXPECT_EQ(getHDROptions(&ri), 0);
  EXPECT_EQ(ri, -1);
  EXPECT_FALSE(IsWindowVisible(gHDRWindow));

  // Two images of a known camera without a saved response: saving the solved response is
  // checked, skipping unchecked, the rest as the user left them; the camera is named.
  Show({recs[0], recs[1]});
  std::string camera;
  bool save = false, skip = true, use = true;
  WhenShown(
      gHDRWindow,
      [&] {
        camera = TextOf(gHDRWindow, "mhdr", 128);
        Shot(gHDRWindow, "hdr-options");
        save = GetControlValue(ControlOf(gHDRWindow, "optn", 132)) != 0;
        skip = GetControlValue(ControlOf(gHDRWindow, "optn", 137)) != 0;
        use = IsControlEnabled(ControlOf(gHDRWindow, "optn", 131));
      },
      "bttn", 1);
  const int opts = getHDROptions(&ri);
  EXPECT_EQ(camera, "Test Bracket");
  EXPECT_TRUE(save);
  EXPECT_FALSE(skip);
  EXPECT_FALSE(use);
  EXPECT_EQ(ri, -1);
  EXPECT_TRUE(opts & kHDRsaveResponse);
  EXPECT_FALSE(opts & (kHDRskip | kHDRuseResponse));

  // With a saved response for that camera it is found and offered, checked.
  DBRecord saved;
  PgenericResponse(&saved);
  saved.SetField(CDBFmake, "Test");
  saved.SetField(CDBFmodel, "Bracket");
  gCamResponse.NewRecord() = saved;
  WhenShown(gHDRWindow, nullptr, "bttn", 1);
  const int withSaved = getHDROptions(&ri);
  EXPECT_EQ(ri, 0);
  EXPECT_TRUE(withSaved & kHDRuseResponse);
  EXPECT_FALSE(withSaved & kHDRsaveResponse);
}

TEST_F(MakeHDR, ExposuresThatCannotBeAlignedMakeNoImage) {
  // Two exposures of unrelated random pictures: no offset places one on the other. With
  // alignment asked for, the command reports the alignment's failure (a data message, which
  // the program alerts) and writes nothing, rather than merge them at some offset.
  std::mt19937 rng(5);
  std::vector<DBRecord> recs;
  for (int i = 0; i < 2; ++i) {
    _ImgStruct pic = Picture(160, 120);
    for (int y = 0; y < pic.yres; ++y)
      for (int x = 0; x < 3 * pic.xres; ++x) pic.img[y * pic.rowsize + x] = rng() & 255;
    const std::string p = Path("n" + std::to_string(i) + ".jpg");
    ASSERT_TRUE(WriteJPEG(p, pic, 90));
    PfreeImage(&pic);
    recs.push_back(RecordOf(p));
    PDBsetFloat(&recs[i], PDBFstonits, 100.0f * (i + 1));
  }
  Show(recs);
  DBRecord generic;
  PgenericResponse(&generic);
  gCamResponse.NewRecord() = generic;
  DBRecord rec;
  EXPECT_EQ(PmergeTempHDR(&rec, kHDRalign | kHDRuseResponse, 0), 0);
  EXPECT_TRUE(log.Has(DMCdata, "Cannot compute image offset")) << log.All();
  EXPECT_TRUE(dmessage_class_flags[DMCdata] & DMAalert);
  EXPECT_EQ(TempFiles(), 0);
}

// A bracketed series of three 8-bit TIFFs made from an HDR picture, exposures tagged.
bool MakeSeries(const std::string& dir, std::vector<std::string>* paths) {
  const std::string src = std::string(LUMERIN_TESTDATA) + "/exr/Desk.exr";
  if (access(src.c_str(), R_OK) != 0 || !HaveTool("oiiotool") || !HaveTool("exiftool"))
    return false;
  const char* gain[] = {"0.25", "1", "4"};
  const char* time[] = {"1/100", "1/25", "4/25"};
  for (int i = 0; i < 3; ++i) {
    const std::string p = dir + "/desk" + std::to_string(i) + ".tif";
    int st = -1;
    RunTool("oiiotool",
            {QString::fromStdString(src), "--ch", "R,G,B", "--resize", "50%", "--mulc", gain[i],
             "--tocolorspace", "sRGB", "-d", "uint8", "-o", QString::fromStdString(p)},
            &st);
    if (st != 0) return false;
    RunTool(
        "exiftool",
        {"-q", "-overwrite_original", QString("-ExposureTime=") + time[i], "-FNumber=8", "-ISO=100",
         "-Make=Test", "-Model=Bracket",
         "-DateTimeOriginal=2024:05:01 10:00:0" + QString::number(i), QString::fromStdString(p)},
        &st);
    if (st != 0) return false;
    paths->push_back(p);
  }
  return true;
}

// Some 11 s: two merges, and each image shown makes the main window's status line linger.
TEST_F(MakeHDR, BracketedSeriesBecomesATemporaryImageSavedOrDeleted) {
  std::vector<std::string> paths;
  if (!MakeSeries(dir, &paths)) GTEST_SKIP() << "no test pictures or no oiiotool/exiftool";
  std::vector<DBRecord> recs;
  for (const std::string& p : paths) recs.push_back(RecordOf(p));
  Show(recs);

  // The options: no alignment, no ratios solved, ghosts removed; the response is solved and
  // saved for the camera.
  auto options = [&] {
    WhenShown(
        gHDRWindow,
        [] {
          for (int id = 131; id <= 137; ++id)
            if (ControlRef c = ControlOf(gHDRWindow, "optn", id))
              SetControlValue(c, id == 132 || id == 136 ? 1 : 0);
        },
        "bttn", 1);
  };
  options();
  DBRecord rec;
  ASSERT_EQ(recordTempHDR(&rec), 1);
  char path[1024];
  ASSERT_NE(PcurrentFile(path, sizeof path, rec), nullptr);
  const std::string temp = path;
  EXPECT_EQ(temp.rfind(TempDir() + "/", 0), 0u) << temp;
  struct stat st;
  ASSERT_EQ(stat(TempDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(HashMatches(rec, temp));
  int status = -1;
  const std::string info = RunTool("oiiotool", {"--info", QString::fromStdString(temp)}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(info.find("322 x  437"), std::string::npos) << info;
  // One history line for the creation and one per step taken.
  const DBField& h = PDBgetField(rec, PDBFhistory);
  ASSERT_GE(h.GetNV(), 2);
  EXPECT_EQ(std::string(h.GetString(0)),
            std::string(gName) + " created HDR image from 'desk0.tif' 'desk1.tif' 'desk2.tif'");
  EXPECT_STREQ(h.GetString(h.GetNV() - 1), "Removed ghosts");
  for (int i = 1; i < h.GetNV(); ++i) EXPECT_EQ(strchr(h.GetString(i), '\n'), nullptr);
  EXPECT_TRUE(PDBgetField(rec, PDBFstonits).IsSet());
  EXPECT_STREQ(PDBgetString(rec, PDBFcapdate), PDBgetString(recs[2], PDBFcapdate));
  EXPECT_FALSE(PDBgetField(rec, PDBFmodtime).IsSet());
  EXPECT_STREQ(PDBgetString(rec, PDBFmake), "Test");    // shared by the series
  EXPECT_FALSE(PDBgetField(rec, PDBFexptime).IsSet());  // not shared
  EXPECT_EQ(gCamResponse.GetSize(), 1);                 // the solved response, for the next series

  // Opened as a temporary image. A save that does not complete (its file dialog cancelled)
  // keeps the image open and its file; "Don't Save" deletes the file.
  ASSERT_TRUE(PshowTempImage(rec, "test"));
  Answer({129});
  WhenShown(gSaveWindow, nullptr, "bttn", 1);
  OnSaveDialog(
      [](PFileDialog* d) { QMetaObject::invokeMethod(d, "reject", Qt::QueuedConnection); });
  EXPECT_FALSE(gImager->CloseImage(true));
  EXPECT_EQ(access(temp.c_str(), F_OK), 0);
  EXPECT_EQ(gImager->ImageCount(), 1);
  // A close that cannot wait keeps the unsaved file and says where; shown again, "Don't Save"
  // deletes it.
  Answer({129});
  WhenShown(gSaveWindow, nullptr, "bttn", 1);
  OnSaveDialog(
      [](PFileDialog* d) { QMetaObject::invokeMethod(d, "reject", Qt::QueuedConnection); });
  EXPECT_TRUE(gImager->CloseImage(false));
  EXPECT_EQ(access(temp.c_str(), F_OK), 0);
  EXPECT_EQ(std::string(dmessage_record[DMCwarning]), "Unsaved image kept in '" + temp + "'");
  ASSERT_TRUE(PshowTempImage(rec, "test"));
  Answer({131});
  WhenShown(gConfirmWindow, [] { Shot(gConfirmWindow, "hdr-save-question"); });
  EXPECT_TRUE(gImager->CloseImage(true));
  EXPECT_NE(access(temp.c_str(), F_OK), 0);
  EXPECT_EQ(TempFiles(), 0);

  // The command again, through the main window, now with the saved response: closing it with
  // "Save" writes the chosen file and deletes the temporary one.
  Show(recs);
  options();
  EXPECT_EQ(SendCommand("mhdr", kEventCommandProcess, GetWindowEventTarget(gMain->GetWindow())),
            noErr);
  ASSERT_EQ(TempFiles(), 1) << log.All();
  const std::string chosen = Path("desk_hdr.tif");
  Answer({129});
  WhenShown(gSaveWindow, nullptr, "bttn", 1);
  OnSaveDialog([&](PFileDialog* d) { Accept(d, chosen); });
  EXPECT_TRUE(gImager->CloseImage(true));
  EXPECT_EQ(TempFiles(), 0);
  RunTool("oiiotool", {"--info", QString::fromStdString(chosen)}, &status);
  EXPECT_EQ(status, 0);
}

// An exposure cut short is named in the one alert the command raises, whether the solve of the
// camera's response meets it or, with a saved response, the merge: no question about another
// response follows, no image is made, and no Progress window stays up.
TEST_F(MakeHDR, ACutExposureIsNamedAndNoProgressWindowStays) {
  const std::vector<DBRecord> recs = Bracket();
  const std::string cut = Path("e1.jpg"), bytes = Read(cut);
  std::ofstream(cut, std::ios::binary | std::ios::trunc) << bytes.substr(0, bytes.size() * 6 / 10);
  for (bool saved : {false, true}) {
    SCOPED_TRACE(saved ? "saved response" : "response solved");
    gCamResponse.Init(&CDBFInfo, 0);
    if (saved) SaveResponse();
    Show(recs);
    AlertsAnswered alerts;
    Questions asked(129);  // a question would be answered yes, and the command go on
    Command();
    EXPECT_EQ(alerts.texts, std::vector<std::string>{"Cannot load input exposure '" + cut +
                                                     "': Premature end of JPEG file"});
    EXPECT_TRUE(asked.texts.empty()) << asked.texts.front();
    EXPECT_FALSE(IsWindowVisible(gProgressWindow)) << curMsg;
    EXPECT_EQ(TempFiles(), 0);
    EXPECT_EQ(gImager->ImageCount(), 0);
  }
}

// A merge this computer's memory cannot hold is refused in words, with what it would need,
// before any exposure is read: nothing loaded, no Progress window, no question, no file. With
// the memory there, the same series merges.
TEST_F(MakeHDR, AMergeTooLargeForMemoryIsRefusedBeforeAnyExposureIsRead) {
  Show(Bracket());
  SaveResponse();
  {
    MemoryAvailable little(uint64_t{8} << 20);
    AlertsAnswered alerts;
    Questions asked(130);
    log.Clear();
    Command();
    EXPECT_EQ(alerts.texts,
              std::vector<std::string>{"An HDR image of 640 \xC3\x97 480 pixels from 3 "
                                       "exposures needs 12 MB: too large for this "
                                       "computer's memory"});
    EXPECT_EQ(log.All().find("Loading image"), std::string::npos) << log.All();
    EXPECT_TRUE(asked.texts.empty()) << asked.texts.front();
    EXPECT_FALSE(IsWindowVisible(gProgressWindow)) << curMsg;
    EXPECT_EQ(TempFiles(), 0);
  }
  Command();
  EXPECT_EQ(TempFiles(), 1) << log.All();
  EXPECT_FALSE(IsWindowVisible(gProgressWindow)) << curMsg;
  Discard();
}

// Two exposures of noise have no response to solve: the command asks whether the generic one
// will do. Cancelled, nothing is made; accepted, the image is; either way the Progress window
// is gone.
TEST_F(MakeHDR, TheResponseQuestionAnsweredEitherWayLeavesNoProgressWindow) {
  std::mt19937 rng(9);
  std::vector<DBRecord> recs;
  for (int i = 0; i < 2; ++i) {
    _ImgStruct pic = Picture(160, 120);
    for (int y = 0; y < pic.yres; ++y)
      for (int x = 0; x < 3 * pic.xres; ++x) pic.img[y * pic.rowsize + x] = rng() & 255;
    const std::string p = Path("noise" + std::to_string(i) + ".jpg");
    ASSERT_TRUE(WriteJPEG(p, pic, 90));
    PfreeImage(&pic);
    recs.push_back(RecordOf(p));
    PDBsetFloat(&recs[i], PDBFstonits, 100.0f * (i + 1));
  }
  for (int button : {130, 129}) {
    SCOPED_TRACE(button == 129 ? "OK" : "Cancel");
    Show(recs);
    AlertsAnswered alerts;
    Questions asked(button);
    Command();
    EXPECT_EQ(asked.texts, std::vector<std::string>{"Use generic camera response instead?"});
    EXPECT_FALSE(IsWindowVisible(gProgressWindow)) << curMsg;
    EXPECT_EQ(TempFiles(), button == 129 ? 1 : 0) << log.All();
  }
  Discard();
}

}  // namespace
