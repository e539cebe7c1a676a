// Fuzz target of the record text-table reader: a table is read into a typed list, written
// again and read back, which must give the same records; single values and names lines are
// read on their own (a names line written again reads back to the same names), and the
// formatters run over what was read.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "db/dbase.h"
#include "support/dmessage.h"

namespace {

struct FuzzSchema : DBFieldInfo {
  FuzzSchema() {
    Field("name", DBDTstring);
    Field("size", DBDTint);
    Field("lat", DBDTfloat);
    Field("keywords", DBDTstring, nullptr, DBFDmulti);
    Field("levels", DBDTint, nullptr, DBFDmulti);
    Field("curve", DBDTfloat, nullptr, DBFDmulti);
    Field("any", DBDTunknown, nullptr, DBFDmulti);
    details[1].flags |= DBFDhashkey;
  }
};

uint32_t Quiet(unsigned, const char*, const char*, int) {
  return DMAlog | DMAstderr | DMAalert | DMAexit | DMAabort;
}

void FormatAll(const DBRecordList& list) {
  char buf[24];
  for (int i = 0; i < list.GetSize() && i < 64; i++)
    for (int id = 0; id < list.Get(i).GetNFields(); id++)
      for (int len : {1, 3, 7, 24}) list.Get(i).FormatField(id, buf, len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dmessage_call = Quiet;
  static const FuzzSchema schema;
  const std::string text(reinterpret_cast<const char*>(data), size);

  // A whole table into a list with its own schema.
  DBRecordList list(&schema);
  {
    std::istringstream is(text);
    char sep = 0;
    list.Read(&is, &sep);
  }
  FormatAll(list);

  // What was read writes and reads back to the same records.
  std::ostringstream os;
  list.Write(&os, '\t');
  DBRecordList back(&schema);
  {
    std::istringstream is(os.str());
    back.Read(&is, nullptr);
  }
  int j = 0;
  for (int i = 0; i < list.GetSize(); i++) {
    if (list.Get(i).GetNAssigned() == 0) continue;  // written as an empty line, skipped
    if (j >= back.GetSize() || !(list.Get(i) == back.Get(j))) __builtin_trap();
    j++;
  }
  if (j != back.GetSize()) __builtin_trap();

  // A table read into a schema taken from its own names line, then sorted.
  DBFieldInfo own;
  DBRecordList loose;
  {
    std::istringstream is(text);
    loose.Read(&is, nullptr, &own);
  }
  if (own.GetNFields() > 0) {
    // Whatever names were read, their names line reads back to them.
    std::ostringstream names;
    own.DBFieldID::Write(&names, '\t');
    DBFieldID again;
    std::istringstream is(names.str());
    char sep = 0;
    if (again.Read(&is, &sep) != own.GetNFields()) __builtin_trap();
    for (int id = 0; id < own.GetNFields(); id++)
      if (std::string(again.GetName(id)) != own.GetName(id)) __builtin_trap();
    loose.sord.AddSort(0);
    loose.sord.AddSort(own.GetNFields() - 1, true);
    loose.Sort();
    DBRecord common;
    loose.Intersection(&common);
  }

  // Single values one after another.
  {
    std::istringstream is(text);
    for (int k = 0; k < 16 && is.good(); k++) {
      DBField f;
      is >> f;
      is.clear(is.rdstate() & std::ios::eofbit);
      is.ignore(1);
    }
  }
  dmessage_call = nullptr;
  return 0;
}
