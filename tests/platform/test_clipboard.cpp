#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>

#include "platform/pclipboard.h"

TEST(PlatformClipboard, TextOfAnyBytesRoundTripsAndEachChangeGetsAGeneration) {
  const uint64_t g0 = ClipboardGeneration();
  const std::string table =
      "File\tLocation\nS\xC3\xA3o Paulo.jpg\t/fotos/\xE6\x97\xA5\xE6\x9C\xAC\n\t";
  ASSERT_TRUE(ClipboardPutText(table));
  const uint64_t g1 = ClipboardGeneration();
  EXPECT_GT(g1, g0);
  std::string got;
  ASSERT_TRUE(ClipboardGetText(&got));
  EXPECT_EQ(got, table);
  ASSERT_TRUE(ClipboardGetText(&got));
  EXPECT_EQ(ClipboardGeneration(), g1) << "reading is not a change";

  // Content put past this layer, as another program would, is new content too.
  QGuiApplication::clipboard()->setText(QStringLiteral("37.774929 -122.419418"));
  const uint64_t g2 = ClipboardGeneration();
  EXPECT_GT(g2, g1);
  ASSERT_TRUE(ClipboardGetText(&got));
  EXPECT_EQ(got, "37.774929 -122.419418");

  // Putting the same text again is still a change. Bytes that are not UTF-8 read back as they
  // were; another program reads them as U+FFFD.
  const std::string bytes = "a\xFF\nb\xE9";
  ASSERT_TRUE(ClipboardPutText(bytes));
  ASSERT_TRUE(ClipboardPutText(bytes));
  EXPECT_GE(ClipboardGeneration(), g2 + 2);
  ASSERT_TRUE(ClipboardGetText(&got));
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("a\uFFFD\nb\uFFFD"));
  // Text another program puts in its place is read as its own.
  QGuiApplication::clipboard()->setText(QStringLiteral("plain"));
  ASSERT_TRUE(ClipboardGetText(&got));
  EXPECT_EQ(got, "plain");

  QGuiApplication::clipboard()->clear();
  EXPECT_FALSE(ClipboardGetText(&got));
  EXPECT_TRUE(got.empty());
}
