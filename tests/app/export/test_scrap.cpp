// Clipboard exchange: what enables Paste, and the file names and positions copied.
#include <QTimer>
#include <random>

#include "app/records/precfile.h"
#include "exptest.h"
#include "platform/pclipboard.h"

namespace {

class Scrap : public ExportTest {};

std::string Clip() {
  std::string s;
  ClipboardGetText(&s);
  return s;
}

TEST_F(Scrap, OnlyTheHeadOfTheClipboardDecidesAndEachContentIsReadOnce) {
  const std::string header = "File\tLocation\tComment\n";
  const std::string row = "\"a.jpg\"\t\"/x\"\t\"" + std::string(5000, 'c') + "\"\n";
  ClipboardPutText(header + "\"b.jpg\"\t\"/x\"\t\"short\"\n" + row);
  EXPECT_GT(Clip().size(), 4096u);
  EXPECT_TRUE(checkPasteBuffer());  // the head holds a record line
  ClipboardPutText(header + row);
  EXPECT_FALSE(checkPasteBuffer());  // its only record runs past 4,096 bytes
  ClipboardPutText("Nothing like a table");
  EXPECT_FALSE(checkPasteBuffer());

  // The program's own copy is known as no table without reading it; new content is read.
  bc.rdisp.NewRecord().SetField(PDBFfile, "a.jpg");
  bc.rdisp[0].SetField(PDBFlocation, "/x");
  bc.Select(0);
  ClipboardPutText(header + "\"b.jpg\"\t\"/x\"\t\"short\"\n");
  EXPECT_TRUE(checkPasteBuffer());
  copyFilenames();
  EXPECT_EQ(Clip(), "/x/a.jpg");
  EXPECT_FALSE(checkPasteBuffer());
  EXPECT_FALSE(checkPasteBuffer(ClipboardGeneration()));
  ClipboardPutText(header + "\"b.jpg\"\t\"/x\"\t\"short\"\n");
  EXPECT_TRUE(checkPasteBuffer());
}

TEST_F(Scrap, FileNamesAndPositionsAreLinesWithoutAFinalNewline) {
  const float pos[][2] = {{37.774929f, -122.419418f}, {-33.868820f, 151.209290f}, {1, 2}};
  for (int i = 0; i < 4; i++) {
    DBRecord& r = bc.rdisp.NewRecord();
    r.SetField(PDBFfile, ("p" + std::to_string(i) + ".jpg").c_str());
    r.SetField(PDBFlocation, "/photos/été");
    if (i < 3) {
      r.SetField(PDBFlatitude, pos[i][0]);
      r.SetField(PDBFlongitude, pos[i][1]);
    }
  }
  for (int i : {0, 1, 3}) bc.Select(i);
  copyFilenames();
  EXPECT_EQ(Clip(), "/photos/été/p0.jpg\n/photos/été/p1.jpg\n/photos/été/p3.jpg");

  // Record 3 has no position: the command stays off and copies nothing, not zeros.
  EXPECT_FALSE(checkGlobalPositions());
  ClipboardPutText("kept");
  copyGlobalPositions();
  EXPECT_EQ(Clip(), "kept");
  bc.Select(3, false);
  EXPECT_TRUE(checkGlobalPositions());
  copyGlobalPositions();
  EXPECT_EQ(Clip(), "37.774929 -122.419418\n-33.868820 151.209290");
  EXPECT_FALSE(checkPasteBuffer());
  bc.SelectNone();
  EXPECT_FALSE(checkGlobalPositions());
}

// Names of any bytes: Latin-1 letters, a lone 0xFF, a newline. Each copied line names its file
// exactly: the path itself, or a file URI of its bytes; the text is UTF-8 and no name splits.
TEST_F(Scrap, CopiedNamesAreTheFilesBytesOneLineEach) {
  const std::vector<std::string> names = {"caf\xE9.jpg", "\xFF", "two\nlines.jpg", "été 1.jpg"};
  for (const std::string& n : names) {
    DBRecord& r = bc.rdisp.NewRecord();
    r.SetField(PDBFfile, n.c_str());
    r.SetField(PDBFlocation, "/photos/r\xE9sum\xE9s");
  }
  bc.SelectAll();
  copyFilenames();
  const QString text = QString::fromStdString(Clip());
  EXPECT_FALSE(text.contains(QChar(0xFFFD)));
  const QStringList lines = text.split('\n');
  ASSERT_EQ(lines.size(), 4) << Clip();
  for (int i = 0; i < 4; ++i) {
    const QByteArray line = lines[i].toUtf8();
    const QByteArray path =
        line.startsWith("file://") ? QByteArray::fromPercentEncoding(line.mid(7)) : line;
    EXPECT_EQ(path.toStdString(), "/photos/r\xE9sum\xE9s/" + names[static_cast<size_t>(i)]);
  }
}

// Records copied and pasted keep every byte of their fields: names in Latin-1 bytes, a lone
// 0xFF and a newline, a caption with a stray byte and a tab. The pasted records name the files
// they named, found in place: no one is asked for a file.
TEST_F(Scrap, CopiedRecordsPasteWithEveryByteOfTheirFields) {
  int asked = 0;
  QTimer cancel;
  QObject::connect(&cancel, &QTimer::timeout, [&] {
    PFileDialog* d = PlatformFileDialog();
    if (d == nullptr || !d->isVisible()) return;
    ++asked;
    QMetaObject::invokeMethod(d, "reject", Qt::QueuedConnection);
  });
  cancel.start(5);
  std::vector<DBRecord> recs;
  for (const char* n : {"caf\xE9.jpg", "x\xFF.jpg", "two\nlines.jpg"}) {
    recs.push_back(RecordOf(MakeJpeg(Path(n), 8, 8)));
    bc.rdisp.NewRecord() = recs.back();
  }
  PDBsetString(&recs[0], PDBFcaption, "r\xE9sum\xE9\tnote");
  bc.rdisp[0] = recs[0];
  bc.SelectAll();
  clipRecords(kCmdCopy);
  EXPECT_TRUE(checkPasteBuffer());
  bc.ClearRecords();
  pasteRecords();
  EXPECT_EQ(asked, 0);
  ASSERT_EQ(bc.rdisp.GetSize(), 3);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(bc.rdisp.Get(i) == recs[static_cast<size_t>(i)])
        << PDBgetString(bc.rdisp.Get(i), PDBFfile);
}

// The position check walks the selection word by word and in batches: it must agree with a
// plain record by record reading over selections of any size and spread.
TEST_F(Scrap, PositionCheckAgreesWithARecordByRecordReading) {
  std::mt19937 rng(36);
  int agreedTrue = 0;
  for (int round = 0; round < 150; round++) {
    bc.ClearRecords();
    const int n = 1 + static_cast<int>(rng() % 300);
    const unsigned missing = rng() % 3 == 0 ? 0 : 1 + rng() % 200;  // 1 in `missing` lacks some
    for (int i = 0; i < n; i++) {
      DBRecord& r = bc.rdisp.NewRecord();
      r.SetField(PDBFfile, "f.jpg");
      const unsigned lack = missing != 0 && rng() % missing == 0 ? 1 + rng() % 3 : 0;
      if (!(lack & 1)) r.SetField(PDBFlatitude, i % 7 == 0 ? 0.0f : 45.5f);
      if (!(lack & 2)) r.SetField(PDBFlongitude, -7.25f);
    }
    const unsigned density = 1 + rng() % 64;
    for (int i = 0; i < n; i++)
      if (rng() % density == 0) bc.Select(i);
    bool want = false;
    for (int i = 0; i < n; i++) {
      if (!bc.IsSelected(i)) continue;
      const DBRecord& r = bc.rdisp.Get(i);
      want =
          PDBgetField(r, PDBFlatitude).GetNV() != 0 && PDBgetField(r, PDBFlongitude).GetNV() != 0;
      if (!want) break;
    }
    ASSERT_EQ(checkGlobalPositions(), want) << "round " << round << ", " << n << " records";
    agreedTrue += want;
  }
  EXPECT_GT(agreedTrue, 20);
}

}  // namespace
