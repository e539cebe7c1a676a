// The photo record schema: the 45 fields every photo record carries, the one global schema
// PDBFInfo, reading and writing photo fields by PDBFieldID under any record's own schema, and
// the query that finds the catalogue entries of one photo by its file identity.
#pragma once

#include "db/dbfield.h"
#include "db/dbquery.h"
#include "db/dbrecord.h"
#include "db/dbschema.h"

// Field numbers of the photo schema PDBFInfo. Records of other schemas (catalogues with
// user-defined fields, older files) are addressed through PDBgetField and PDBsetText, which
// translate the number by field name.
enum PDBFieldID {
  PDBFfile = 0,
  PDBFlocation,
  PDBFnbytes,
  PDBFhashval,
  PDBFformat,
  PDBFmodtime,
  PDBFcapdate,
  PDBFgmtdate,
  PDBFlatitude,
  PDBFlongitude,
  PDBFaltitude,
  PDBFbearing,
  PDBFsubject,
  PDBFtitle,
  PDBFowner,
  PDBFhistory,
  PDBFalbum,
  PDBFposition,
  PDBFcaption,
  PDBFkeyword,
  PDBFcomment,
  PDBFsource,
  PDBFmake,
  PDBFmodel,
  PDBFversion,
  PDBFquality,
  PDBFcrop,
  PDBForient,
  PDBFflip,
  PDBFredeye,
  PDBFspotexp,
  PDBFxsize,
  PDBFysize,
  PDBFxdensity,
  PDBFydensity,
  PDBFxangle,
  PDBFyangle,
  PDBFview,
  PDBFstonits,
  PDBFexptime,
  PDBFaperture,
  PDBFasa,
  PDBFflash,
  PDBFwhitebal,
  PDBFfocus,
  PDBFend  // the number of photo fields
};

// Field flag bits of the photo schema beyond the engine's own (DBFDmulti, DBFDhashkey).
enum : int {
  PDBFLbrief = 0x0100,     // shown in the brief list
  PDBFLinternal = 0x0200,  // hidden from the full list and the field menus
  PDBFLuser = 0x0400,      // entered by the user, not read from the file
  PDBFLrequired = 0x0800,  // records lacking it are selected for updating
  PDBFLuserdef = 0x2000,   // added through the field editor
};

// The photo schema. Building it defines the 45 fields in PDBFieldID order and the default
// sort order File, CapDate, Subject, Owner.
class PDBFieldInfo : public DBFieldInfo {
 public:
  PDBFieldInfo();
};

// The one photo schema, built before main and constant afterwards.
extern const PDBFieldInfo PDBFInfo;

// The field of r named like photo field fid; the engine's empty field when r's schema lacks it
// or r has no fields.
const DBField& PDBgetField(const DBRecord& r, PDBFieldID fid);

// Sets the field of *rp named like photo field fid from txt cut at every nl: a null or empty
// text clears it; otherwise the field is cleared and filled only when it is a multi-valued
// string field. Returns the number of values stored (0 for a single-valued or non-string
// field, a read-only record or a schema without the field, which is then left alone).
int PDBsetText(DBRecord* rp, PDBFieldID fid, const char* txt, char nl);

// Fills the bounds of *dq to find the entries of r's photo: File, HashVal and NBytes, and,
// unless unique, the single-valued user fields and Keyword, Comment, Crop, SpotExp, RedEye.
// The high bound shares the low bound's fields. False (query unusable) when dq is null, r has
// no schema, or r lacks a file name, length or content hash.
bool PCsetQuery(DBQuery* dq, const DBRecord& r, bool unique);
