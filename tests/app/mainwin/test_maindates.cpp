// The capture-date commands through the date dialog: one record set, several shifted, two
// synchronised.
#include <QPointer>
#include <algorithm>
#include <QTimer>

#include "app/records/pdates.h"
#include "app/records/pforms.h"
#include "maintest.h"

namespace {

class DateCommands : public MainTest {
 protected:
  // Four catalogued records dated as given (NULL: none).
  void Catalogue(std::initializer_list<const char*> dates) {
    ASSERT_TRUE(mw->OpenCatalog(Path("d.qdb").c_str()));
    ShowFolder(static_cast<int>(dates.size()));
    int i = 0;
    for (const char* d : dates) {
      if (d) PDBsetString(&bc->rdisp[i], PDBFcapdate, d);
      ++i;
    }
    ASSERT_EQ(mw->AddRecords(), static_cast<int>(dates.size()));
    b->SelectNone();
  }
  std::string Date(int i) const {
    const char* s = PDBgetString(bc->rdisp.Get(i), PDBFcapdate);
    return s ? s : "-";
  }
  void Select(std::initializer_list<int> which) {
    b->SelectNone();
    for (int i : which) bc->Select(i, true);
  }
  static std::string Field(int id) { return TextOf(gDateWindow, "date", id); }
  static std::string Fields() {
    std::string s;
    for (int id = 129; id <= 134; ++id) s += (id > 129 ? " " : "") + Field(id);
    return s;
  }
  static void Type(std::initializer_list<const char*> texts) {
    int id = 129;
    for (const char* t : texts) PutControlText(ControlOf(gDateWindow, "date", id++), t);
  }
  // The date command with the dialog answered: fill runs once it shows, then OK (1) or Cancel
  // (2) is clicked. An alert, when one is expected, is read and dismissed.
  void Run(std::function<void()> fill, int button, bool alerts = false) {
    alert.clear();
    WhenShown(gDateWindow, fill, "bttn", button);
    QPointer<QTimer> watcher;
    if (alerts)
      watcher = WhenShown(
          gAlertWindow, [this] { alert = TextOf(gAlertWindow, "alrt", 128); }, "bttn", 1);
    dmessage_last_class = DMCnerr;
    SendCommand("date", kEventCommandProcess, GetWindowEventTarget(mw->GetWindow()));
    checkEvents(0.05);
    delete watcher;  // no alert came: the command has ended without one
  }
  std::string alert;
};

TEST_F(DateCommands, SetOneShiftSeveral) {
  Catalogue({"2004:01:31 10:00:00", "2004:02:28 23:30:00", "2004:02:30 00:00:00", nullptr});
  Select({0});
  std::string status, label, shown;
  Run(
      [&] {
        status = Field(128), label = Field(135), shown = Fields();
        Type({"2005", "6", "7", "8", "9", "10"});
      },
      1);
  EXPECT_EQ(label, "Set to:");
  EXPECT_NE(status.find("2004"), std::string::npos) << status;
  EXPECT_EQ(shown, "2004 01 31 10 00 00");
  EXPECT_EQ(Date(0), "2005:06:07 08:09:10");
  EXPECT_EQ(Status(), "Adjusted 1 record");
  EXPECT_EQ(Fields(), "+1 +5 -24 -2 +9 +10");  // what the dialog keeps for next time
  ASSERT_TRUE(mw->Undo());
  EXPECT_EQ(Date(0), "2004:01:31 10:00:00");

  // Several: the offsets last typed are offered; the illegal date is reported and left alone.
  Select({0, 1, 2, 3});
  Run(
      [&] {
        status = Field(128), label = Field(135), shown = Fields();
        Type({"0", "1", "0", "0", "45", "0"});
      },
      1, true);
  EXPECT_EQ(status, "4 records selected");
  EXPECT_EQ(label, "Adjust by:");
  EXPECT_EQ(shown, "+1 +5 -24 -2 +9 +10");
  EXPECT_EQ(Date(0), "2004:02:29 10:45:00");  // held within February
  EXPECT_EQ(Date(1), "2004:03:29 00:15:00");
  EXPECT_EQ(Date(2), "2004:02:30 00:00:00");
  EXPECT_EQ(Date(3), "-");
  EXPECT_EQ(alert, "Illegal date for image 'img2.jpg'");
  EXPECT_EQ(Status(), "Adjusted 2 records");

  // Cancelled, and offsets that are not whole numbers: nothing changes.
  Run([] { Type({"0", "0", "1", "0", "0", "0"}); }, 2);
  Run([] { Type({"0", "0", "1x", "0", "0", "0"}); }, 1, true);
  EXPECT_EQ(alert, "Illegal value in the Day field: '1x'");
  EXPECT_EQ(Date(0), "2004:02:29 10:45:00");
  EXPECT_EQ(Date(1), "2004:03:29 00:15:00");

  // One record: a day its month lacks is refused and the fields return to 0.
  Select({1});
  Run([] { Type({"2005", "2", "29", "0", "0", "0"}); }, 1, true);
  EXPECT_EQ(alert, "Illegal date value");
  EXPECT_EQ(Fields(), "0 0 0 0 0 0");
  EXPECT_EQ(Date(1), "2004:03:29 00:15:00");

  // A record without a legal date shows so, and takes the date typed.
  Select({2});
  Run([&] { status = Field(128), Type({"2001", "2", "3", "4", "5", "6"}); }, 1);
  EXPECT_EQ(status, "Illegal Date");
  EXPECT_EQ(Date(2), "2001:02:03 04:05:06");
}

TEST_F(DateCommands, EmptyFieldsShiftByNothing) {
  Catalogue({"2004:01:31 23:00:00", "2010:06:15 08:00:00", "1999:12:31 22:45:00"});
  Select({0, 1, 2});
  // As the dialog first opens, every field is empty: only the day, hour and minute are typed.
  std::string shown;
  Run(
      [&] {
        shown = Fields();
        PutControlText(ControlOf(gDateWindow, "date", 131), "1");
        PutControlText(ControlOf(gDateWindow, "date", 132), " 1");
        PutControlText(ControlOf(gDateWindow, "date", 133), "30 ");
        PutControlText(ControlOf(gDateWindow, "date", 134), "  ");
      },
      1, true);
  EXPECT_EQ(shown, "     ");
  EXPECT_EQ(alert, "");
  EXPECT_EQ(Date(0), "2004:02:02 00:30:00");
  EXPECT_EQ(Date(1), "2010:06:16 09:30:00");
  EXPECT_EQ(Date(2), "2000:01:02 00:15:00");
  EXPECT_EQ(Status(), "Adjusted 3 records");

  // Text that is no number is refused by the name of its field, and nothing moves.
  Run([] { Type({"", "", "1", "x", "", ""}); }, 1, true);
  EXPECT_EQ(alert, "Illegal value in the Hour field: 'x'");
  EXPECT_EQ(Date(0), "2004:02:02 00:30:00");
  EXPECT_EQ(EditItem(1), "Undo Adjust Time");
  ASSERT_TRUE(mw->Undo());
  EXPECT_EQ(Date(1), "2010:06:15 08:00:00");
}

// A shift that takes dates out of the legal range is refused for each such record, told in one
// alert naming every file; when it changes nothing, the status says so of catalogued records.
TEST_F(DateCommands, ShiftsOutOfRangeAreToldForEveryFile) {
  Catalogue(
      {"1985:01:01 00:00:00", "1990:06:15 08:00:00", "1999:12:31 22:45:00", "2010:01:01 00:00:00"});
  Select({0, 1, 2});
  Run([] { Type({"-20", "0", "0", "0", "0", "0"}); }, 1, true);
  EXPECT_EQ(alert, "Illegal date for 3 images: 'img0.jpg', 'img1.jpg', 'img2.jpg'");
  EXPECT_EQ(Status(), "No records changed");
  EXPECT_EQ(Date(0), "1985:01:01 00:00:00");
  EXPECT_EQ(Date(2), "1999:12:31 22:45:00");
  Select({1, 2, 3});
  Run([] { Type({"-20", "0", "0", "0", "0", "0"}); }, 1, true);
  EXPECT_EQ(alert, "Illegal date for 2 images: 'img1.jpg', 'img2.jpg'");
  EXPECT_EQ(Status(), "Adjusted 1 record");
  EXPECT_EQ(Date(3), "1990:01:01 00:00:00");
}

// A catalogued folder copied elsewhere and browsed there: its records name both folders, the
// catalogue's only the first. Undo and Redo of a shift bring back each picture once, with the
// date the step gives it, and the next command acts on the pictures shown.
TEST_F(DateCommands, UndoAndRedoInACopiedFolderShowEachPictureOnce) {
  Catalogue({"2004:01:31 23:00:00", "2010:06:15 08:00:00", "1999:12:31 22:45:00"});
  ShowFolder(3, "Trip", "/copy");
  ASSERT_EQ(bc->TotalCommon(), 3);
  auto shown = [this] {
    std::vector<std::string> v;
    for (int i = 0; i < bc->rdisp.GetSize(); ++i)
      v.push_back(std::string(PDBgetString(bc->rdisp.Get(i), PDBFfile)) + " " + Date(i));
    std::sort(v.begin(), v.end());
    return v;
  };
  const std::vector<std::string> before = shown();
  b->SelectAll();
  Run([] { Type({"0", "0", "0", "1", "0", "0"}); }, 1);
  const std::vector<std::string> after = shown();
  ASSERT_EQ(after, (std::vector<std::string>{"img0.jpg 2004:02:01 00:00:00",
                                             "img1.jpg 2010:06:15 09:00:00",
                                             "img2.jpg 1999:12:31 23:45:00"}));
  ASSERT_TRUE(mw->Undo());
  EXPECT_EQ(shown(), before);
  ASSERT_TRUE(mw->Redo());
  EXPECT_EQ(shown(), after);
  EXPECT_EQ(Status(), "Redid Adjust Time");
  // The next Select All takes the three pictures shown, each tied to its catalogue record.
  b->SelectAll();
  EXPECT_EQ(bc->TotalSelected(), 3);
  EXPECT_EQ(bc->TotalCommon(), 3);
}

TEST_F(DateCommands, SynchroniseTwo) {
  Catalogue({"2004:05:01 12:00:00", "2004:05:03 13:01:02", "2004:05:03 13:01:02"});
  Select({0, 1});
  // OK: the later record takes the earlier date; the dialog's fields hold the shift.
  WhenShown(gConfirmWindow, nullptr, "cfrm", 129);
  SendCommand("date", kEventCommandProcess, GetWindowEventTarget(mw->GetWindow()));
  EXPECT_EQ(Date(0), "2004:05:01 12:00:00");
  EXPECT_EQ(Date(1), "2004:05:01 12:00:00");
  EXPECT_EQ(Status(), "Synchronized 1 record");
  EXPECT_EQ(Fields(), "0 0 -2 -1 -1 -2");
  // "Later": the earlier record takes the later date.
  Select({0, 2});
  WhenShown(gConfirmWindow, nullptr, "cfrm", 131);
  SendCommand("date", kEventCommandProcess, GetWindowEventTarget(mw->GetWindow()));
  EXPECT_EQ(Date(0), "2004:05:03 13:01:02");
  EXPECT_EQ(EditItem(1), "Undo Synchronize");
  // Equal dates change nothing.
  syncDate(false);
  EXPECT_EQ(EditItem(1), "Undo Synchronize");
  EXPECT_EQ(Date(2), "2004:05:03 13:01:02");
}

}  // namespace
