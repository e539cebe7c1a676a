// Reads header variables from fuzzed text (ints, floats, strings and a nested opaque block
// read by its own list), writes them back and reads the written text again.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "db/dbase.h"
#include "support/dmessage.h"

namespace {

uint32_t Quiet(unsigned, const char*, const char*, int) {
  return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
}

// A sub-block with variables of its own, nested up to a few levels.
struct Block {
  explicit Block(int d) : depth(d) {
    vars = new DBHeaderLink("Int", ints, 3, nullptr);
    vars = new DBHeaderLink("Flt", flts, 2, vars);
    vars = new DBHeaderLink("Str", strs, sizeof(strs), vars);
    if (depth < 3) {
      child = new Block(depth + 1);
      vars = new DBHeaderLink("Sub", child, Write, Read, 200, vars);
    }
  }
  ~Block() {
    delete vars;
    delete child;
  }
  static int Write(void* o, std::ostream* os, int level) {
    return static_cast<Block*>(o)->vars->WriteVars(os, level);
  }
  static int Read(void* o, std::istream* is) { return static_cast<Block*>(o)->vars->ScanVars(is); }

  int depth;
  int ints[3] = {0};
  float flts[2] = {0};
  char strs[48] = {0};
  Block* child = nullptr;
  DBHeaderLink* vars = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dmessage_call = Quiet;
  std::string text(reinterpret_cast<const char*>(data), size);
  Block b(0);
  std::istringstream in(text);
  b.vars->ScanVars(&in);
  b.vars->GetNSet();
  b.vars->GetMaxLength();
  DBHeaderLink* s = b.vars->FindVar("Str");
  if (s != nullptr) {
    s->InsertSVal("recent", 0);
    s->FindSVal("recent");
    s->DeleteSVal(s->NSet() - 1);
  }
  std::ostringstream out;
  b.vars->WriteVars(&out, 0);
  Block again(0);
  std::istringstream back(out.str());
  again.vars->ScanVars(&back);
  // Integers always survive a write and a read.
  if (b.vars->FindVar("Int")->NSet() > 0 && again.vars->FindVar("Int")->NSet() > 0 &&
      std::memcmp(b.ints, again.ints, sizeof(b.ints)) != 0)
    __builtin_trap();
  dmessage_call = nullptr;
  return 0;
}
