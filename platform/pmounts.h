// Mounted volumes. A volume is a disk the system mounted under one of the mount roots, named by
// the first path component below that root: /run/media/ann/Photos is the volume "Photos" of the
// root /run/media/ann, and a mount at /mnt/usb/part2 belongs to the volume /mnt/usb. Every caller
// (the folder tree, the search for a moved file) takes the roots from MountRoots().
//
// The mount table is the kernel's /proc/self/mountinfo. While the watch runs, each change to it
// is posted to the application target as one event per volume that came, class 'vol ' kind 1,
// then one per volume that went, kind 2; each carries the volume's path as its direct object.
//
// Names are bytes: paths keep them as the kernel gives them; only display turns them into
// UTF-8 text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/pevent.h"

enum : UInt32 {
  kEventClassVolume = FourCC("vol "),
  kEventVolumeMounted = 1,
  kEventVolumeUnmounted = 2,
  typeFilePath = FourCC("fpth")  // the bytes of a path, without a terminating NUL
};

// The mount roots, in the order they are tried: /run/media/$USER, /media/$USER, /media, /mnt,
// with $USER the name of the account the program runs as (the first two are left out when it
// has none).
const std::vector<std::string>& MountRoots();

// Reads a mount table in the kernel's mountinfo form (one mount a line: ids, device, root,
// mount point, options, optional fields, "-", file system type, source, super options) and
// appends each line's mount point to *mountPoints, its octal escapes (\040 for a blank) decoded.
// A line that does not have that form is skipped. Returns the number of lines skipped: 0 for a
// sound table.
int ReadMountInfo(const char* text, size_t length, std::vector<std::string>* mountPoints);

// The volumes among a list of mount points: for each mount point below a root (the first root
// that holds it), the root's path and the first component below it, each volume once, in the
// order they are first met.
std::vector<std::string> VolumesOfMounts(const std::vector<std::string>& mountPoints,
                                         const std::vector<std::string>& roots);

// Splits a path that lies on a volume into the volume's path (/run/media/ann/Photos), its name
// (Photos) and the rest of the path below it (2005/May, no leading '/'; empty for the volume
// itself). False, with the outputs untouched, when the path lies under no root.
bool SplitVolumePath(const std::string& path, const std::vector<std::string>& roots,
                     std::string* volume, std::string* name, std::string* rest);
bool SplitVolumePath(const std::string& path, std::string* volume, std::string* name,
                     std::string* rest);

// The watch. StartVolumeWatch reads the table (quietly: its volumes are known, not new) and,
// with a Qt application, watches the open file for changes (the kernel flags it on every mount
// and unmount); false when the table cannot be read. Starting twice does nothing more.
bool StartVolumeWatch();
void StopVolumeWatch();

// The volumes mounted now, as the last reading found them (read once when nothing has read the
// table yet).
std::vector<std::string> MountedVolumes();

// Takes a new mount table in the mountinfo form, as the watch reads it or a test gives it:
// compares its volumes with the last ones, posts the events for each volume that came and each
// that went, and keeps the new list. Returns the number of events posted.
int TakeMountTable(const std::string& mountinfo);

// The volume path a volume event carries; empty when it has none.
std::string GetVolumeEventPath(EventRef event);
