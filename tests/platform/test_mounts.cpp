#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <utility>

#include "platform/pmounts.h"

namespace {

// A mountinfo line for a mount point as the kernel writes it (already escaped).
std::string Line(int id, const std::string& root, const std::string& point) {
  return std::to_string(id) + " 1 8:" + std::to_string(id) + " " + root + " " + point +
         " rw,relatime shared:" + std::to_string(id) + " - ext4 /dev/sd" + std::to_string(id) +
         " rw\n";
}

typedef std::vector<std::pair<UInt32, std::string>> Seen;

OSStatus RecordVolume(EventHandlerCallRef, EventRef ev, void* ud) {
  static_cast<Seen*>(ud)->emplace_back(GetEventKind(ev), GetVolumeEventPath(ev));
  return noErr;
}

}  // namespace

TEST(PlatformMounts, ReaderDecodesEscapesAndSkipsBrokenLines) {
  std::string table =
      Line(1, "/", "/") + Line(2, "/", "/mnt/My\\040Disk\\011x") +
      Line(3, "/photos/2005", "/mnt/bind\\134ed") +  // a bind mount
      "4 1 8:4 / /mnt/a rw - ext4 /dev/x\n" +        // no super options
      "5 1 8:5 / /mnt/bad\\08 rw - ext4 /dev/x rw\n" +
      "6 1 8:6 / /mnt/nul\\000 rw - ext4 /dev/x rw\n" + "7 1 8:7 / relative rw - ext4 /dev/x rw\n" +
      "8 1 8:8 / /mnt/nosep rw ext4 /dev/x rw\n" + "9 1 8 / /mnt/dev rw - ext4 /dev/x rw\n" +
      "10 1 8:10 /  /mnt/two\n" + "\n" + Line(11, "/", "/mnt/last");
  table.pop_back();  // the last line without its newline
  std::vector<std::string> points;
  EXPECT_EQ(ReadMountInfo(table.data(), table.size(), &points), 6);
  const std::vector<std::string> want = {"/", "/mnt/My Disk\tx", "/mnt/bind\\ed", "/mnt/a",
                                         "/mnt/last"};
  EXPECT_EQ(points, want);
}

TEST(PlatformMounts, ChangesBecomeVolumeEventsInOrder) {
  const std::string user = MountRoots()[0];  // /run/media/<user>, or /media without a name
  Seen seen;
  const EventTypeSpec kinds[] = {{kEventClassVolume, kEventVolumeMounted},
                                 {kEventClassVolume, kEventVolumeUnmounted}};
  EventHandlerRef h = nullptr;
  ASSERT_EQ(InstallEventHandler(GetApplicationEventTarget(), RecordVolume, 2, kinds, &seen, &h),
            noErr);
  const std::string base = Line(1, "/", "/") + Line(2, "/", "/proc") + Line(3, "/", "/home");
  TakeMountTable(base);
  RunPendingEvents();
  seen.clear();

  const std::string photos = Line(4, "/", user + "/Photos\\0402005");
  const std::string usb = Line(5, "/", "/mnt/usb");
  EXPECT_EQ(TakeMountTable(base + photos + usb), 2);
  // A bind mount inside a volume is no new volume; one at its own place under a root is.
  const std::string inner = Line(6, "/sub", "/mnt/usb/sub");
  const std::string bind = Line(7, "/home/ann/backup", "/mnt/backup");
  EXPECT_EQ(TakeMountTable(base + photos + usb + inner + bind), 1);
  EXPECT_EQ(TakeMountTable(base + usb + inner + bind), 1);
  EXPECT_EQ(TakeMountTable(base + usb + inner + bind), 0);
  EXPECT_EQ(TakeMountTable(base + bind), 1);
  EXPECT_EQ(MountedVolumes(), std::vector<std::string>{"/mnt/backup"});
  RunPendingEvents();
  const Seen want = {{kEventVolumeMounted, user + "/Photos 2005"},
                     {kEventVolumeMounted, "/mnt/usb"},
                     {kEventVolumeMounted, "/mnt/backup"},
                     {kEventVolumeUnmounted, user + "/Photos 2005"},
                     {kEventVolumeUnmounted, "/mnt/usb"}};
  EXPECT_EQ(seen, want);
  RemoveEventHandler(h);
}

TEST(PlatformMounts, VolumesAndPathsUnderTheRoots) {
  const std::vector<std::string> roots = {"/run/media/ann", "/media/ann", "/media", "/mnt"};
  EXPECT_EQ(VolumesOfMounts({"/", "/media/ann/Cam", "/media/bob/Key", "/mnt/x/y", "/mnt/x", "/mnt",
                             "/run/media/ann", "/home"},  // the last three on no volume
                            roots),
            (std::vector<std::string>{"/media/ann/Cam", "/media/bob", "/mnt/x"}));
  std::string volume, name, rest;
  ASSERT_TRUE(SplitVolumePath("/run/media/ann/Photos/2005/May/", roots, &volume, &name, &rest));
  EXPECT_EQ(volume, "/run/media/ann/Photos");
  EXPECT_EQ(name, "Photos");
  EXPECT_EQ(rest, "2005/May");
  ASSERT_TRUE(SplitVolumePath("/mnt/usb", roots, &volume, &name, &rest));
  EXPECT_EQ(rest, "");
  EXPECT_FALSE(SplitVolumePath("/mnt", roots, &volume, &name, &rest));
  EXPECT_FALSE(SplitVolumePath("/mntx/a", roots, &volume, &name, &rest));
  EXPECT_FALSE(SplitVolumePath("/home/ann/Pictures", roots, &volume, &name, &rest));
}

TEST(PlatformMounts, ThisMachinesTableReadsWithoutError) {
  std::stringstream text;
  text << std::ifstream("/proc/self/mountinfo").rdbuf();
  const std::string table = text.str();
  ASSERT_FALSE(table.empty());
  std::vector<std::string> points;
  EXPECT_EQ(ReadMountInfo(table.data(), table.size(), &points), 0);
  EXPECT_NE(std::find(points.begin(), points.end(), "/"), points.end());
  ASSERT_TRUE(StartVolumeWatch());
  EXPECT_EQ(MountedVolumes(), VolumesOfMounts(points, MountRoots()));
  StopVolumeWatch();
}
