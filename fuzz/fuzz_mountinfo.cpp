// Mount tables from fuzzed bytes through the mountinfo reader, the volumes under the mount roots
// and the splitting of each mount point on its volume.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/pmounts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<std::string> roots = {"/run/media/ann", "/media/ann", "/media", "/mnt"};
  std::vector<std::string> points;
  ReadMountInfo(reinterpret_cast<const char*>(data), size, &points);
  const std::vector<std::string> volumes = VolumesOfMounts(points, roots);
  std::string volume, name, rest;
  for (const std::string& p : points)
    if (SplitVolumePath(p, roots, &volume, &name, &rest) &&
        p.compare(0, volume.size(), volume) != 0)
      __builtin_trap();  // a volume is always a prefix of the path it holds
  for (const std::string& v : volumes)
    if (!SplitVolumePath(v, roots, &volume, &name, &rest) || volume != v || !rest.empty())
      __builtin_trap();  // a volume splits as itself
  return 0;
}
