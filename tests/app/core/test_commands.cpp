// The command table against the forms that send the codes and the guards that read its traits.
#include <set>
#include <string>

#include "app/core/pbusy.h"
#include "app/core/pcmds.h"
#include "apptest.h"

namespace {

UInt32 CodeOf(const QString& text) {
  QByteArray b = text.toLatin1().leftJustified(4, ' ');
  return FourCC({b[0], b[1], b[2], b[3], 0});
}

std::string Text(UInt32 c) {
  return {char(c >> 24), char(c >> 16), char(c >> 8), char(c)};
}

// Every code the menus, buttons and pop-ups of the made interface send.
std::set<UInt32> SentCodes() {
  std::set<UInt32> sent;
  auto take = [&sent](const QObject* o) {
    const QString one = o->property("command").toString();
    if (!one.isEmpty()) sent.insert(CodeOf(one));
    for (const QString& c : o->property("commands").toString().split(',', Qt::SkipEmptyParts))
      sent.insert(CodeOf(c));
  };
  for (const QWidget* w : QApplication::allWidgets()) {
    take(w);
    for (const QAction* a : w->actions()) take(a);
  }
  return sent;
}

TEST(CommandTable, CodesAreUniqueAndAreTheCodesTheFormsSend) {
  std::set<UInt32> table;
  for (const PcommandEntry& e : kCommandTable)
    EXPECT_TRUE(table.insert(e.code).second) << Text(e.code);
  TempHome home;
  AppInterface app;
  ASSERT_EQ(app.status, 0);
  const std::set<UInt32> sent = SentCodes();
  ASSERT_GT(sent.size(), 100u);
  for (UInt32 c : sent) EXPECT_TRUE(table.count(c)) << "no entry for '" << Text(c) << "'";
  for (UInt32 c : table) EXPECT_TRUE(sent.count(c)) << "no form sends '" << Text(c) << "'";
}

TEST(CommandTable, GuardsFollowWhatEachCommandChanges) {
  const unsigned changes = kChangesRecords | kWritesFiles | kReordersDisplay | kReplacesImage;
  int busy = 0;
  for (const PcommandEntry& e : kCommandTable) {
    // Anything that changes records, files, the display or the images waits out a question.
    EXPECT_EQ(PrefusedWhileAsking(e.code), (e.traits & changes) != 0) << Text(e.code);
    // Whatever changes the records, their order or the images waits out a load or a search,
    // from every window alike.
    if (e.traits & (kChangesRecords | kReordersDisplay | kReplacesImage)) {
      EXPECT_TRUE(PrefusedWhileBusy(e.code)) << Text(e.code);
    }
    if (!PrefusedWhileBusy(e.code)) continue;
    ++busy;
    // What work holds back changes the records under it or is work of its own (one runs at a
    // time), and waits out a question.
    EXPECT_TRUE(e.traits & (kChangesRecords | kReordersDisplay | kReplacesImage | kRunsWork))
        << Text(e.code);
    EXPECT_TRUE(PrefusedWhileAsking(e.code)) << Text(e.code);
  }
  EXPECT_GT(busy, 0);
  EXPECT_TRUE(PrefusedWhileBusy(kCmdBrowseFolder));
  for (UInt32 work : {kCmdExportImages, kCmdPrint, kCmdMakeHDR})
    EXPECT_TRUE(PrefusedWhileBusy(work)) << Text(work);
  EXPECT_FALSE(PrefusedWhileBusy(kCmdPreferences));  // its Cancel answers only itself
  EXPECT_FALSE(PrefusedWhileBusy(kCmdSelectAll));
  EXPECT_FALSE(PrefusedWhileAsking(kCmdSelectAll));
  // A code outside the table is never held back.
  const UInt32 unknown = FourCC("zzzz");
  EXPECT_EQ(PcommandTraits(unknown), 0u);
  EXPECT_FALSE(PrefusedWhileBusy(unknown) || PrefusedWhileAsking(unknown));
}

}  // namespace
