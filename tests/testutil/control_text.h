// The whole text a control shows, however long: a message naming a path in a deep temporary
// folder runs past any fixed buffer. Empty when the control has no text.
#pragma once

#include <string>
#include <vector>

#include "platform/pcontrol.h"
#include "toolkit/pctltext.h"

inline std::string WholeControlText(ControlRef c) {
  UInt32 size = 0;
  if (c == nullptr ||
      GetControlDataSize(c, kControlEntireControl, kControlEditTextCFStringTag, &size) != noErr)
    return "";
  std::vector<char> buf(size + 2);
  return GetControlText(c, buf.data(), static_cast<int>(buf.size()), true) ? buf.data() : "";
}
