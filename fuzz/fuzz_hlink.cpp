// Reads header variables from fuzzed text (ints, floats, strings and a nested opaque block
// read by its own list), writes them back and reads the written text again: every integer and
// string value written must come back as written, at every level of nesting.
#include <cstddef>
#include <cstdint>
#include <algorithm>
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

// The form in which the writer puts a string value: line breaks as blanks, and of a value
// with both quote characters the rarer one (the double quote on a tie) left out.
std::string Writable(std::string v) {
  std::replace(v.begin(), v.end(), '\n', ' ');
  std::replace(v.begin(), v.end(), '\r', ' ');
  const auto nd = std::count(v.begin(), v.end(), '"');
  const auto ns = std::count(v.begin(), v.end(), '\'');
  if (nd > 0 && ns > 0) v.erase(std::remove(v.begin(), v.end(), nd <= ns ? '"' : '\''), v.end());
  return v;
}

// Traps unless what was read back (b) holds every integer and string value written from a.
void CheckRoundTrip(const Block& a, const Block& b) {
  const DBHeaderLink* ai = a.vars->GetVar("Int");
  const DBHeaderLink* bi = b.vars->GetVar("Int");
  if (ai->NSet() > 0) {
    const int n = std::min(ai->NSet(), ai->MaxLen());
    if (bi->NSet() != ai->NSet() || std::memcmp(a.ints, b.ints, sizeof(int) * n) != 0)
      __builtin_trap();
  }
  const DBHeaderLink* as = a.vars->GetVar("Str");
  const DBHeaderLink* bs = b.vars->GetVar("Str");
  if (as->NSet() > 0) {
    if (bs->NSet() != as->NSet()) __builtin_trap();
    for (int i = 0; i < as->NSet(); i++) {
      const char* av = as->GetSVal(i);
      const char* bv = bs->GetSVal(i);
      if (av == nullptr || bv == nullptr || Writable(av) != bv) __builtin_trap();
    }
  }
  if (a.child != nullptr && a.vars->GetVar("Sub")->NSet() > 0) CheckRoundTrip(*a.child, *b.child);
}

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
  CheckRoundTrip(b, again);
  dmessage_call = nullptr;
  return 0;
}
