// The photo record schema, photo field access by name and the catalogue entry query.
#include "catalog/pdbase.h"

#include "catalog/pdbformat.h"
#include "support/dmessage.h"

namespace {

struct PhotoField {
  PDBFieldID id;
  const char* name;
  DBDataType type;
  int flags;
  const char* description;
  DBFormatFunc format;  // null: the engine's formatter for the type
};

const PhotoField kPhotoFields[PDBFend] = {
    {PDBFfile, "File", DBDTstring, 0x1900, "File Name", nullptr},
    {PDBFlocation, "Location", DBDTstring, 0x0801, "File Location", PDBformatFolder},
    {PDBFnbytes, "NBytes", DBDTint, 0x1800, "File Length (bytes)", nullptr},
    {PDBFhashval, "HashVal", DBDTint, 0x1A00, "File Hash Value", nullptr},
    {PDBFformat, "Format", DBDTstring, 0, "File Format", nullptr},
    {PDBFmodtime, "ModTime", DBDTint, 0x0200, "File Modified Time", nullptr},
    {PDBFcapdate, "CapDate", DBDTstring, 0x0100, "Capture Date and Time", PDBformatDate},
    {PDBFgmtdate, "GMTdate", DBDTstring, 0, "Precise GMT at Capture", PDBformatDate},
    {PDBFlatitude, "Latitude", DBDTfloat, 0x0400, "Degrees North Latitude", nullptr},
    {PDBFlongitude, "Longitude", DBDTfloat, 0x0400, "Degrees East Longitude", nullptr},
    {PDBFaltitude, "Altitude", DBDTfloat, 0x0400, "Meters above Sea Level", nullptr},
    {PDBFbearing, "Bearing", DBDTfloat, 0x0400, "Sight Bearing degrees East of North", nullptr},
    {PDBFsubject, "Subject", DBDTstring, 0x0D00, "General Subject", nullptr},
    {PDBFtitle, "Title", DBDTstring, 0x0500, "Title", nullptr},
    {PDBFowner, "Owner", DBDTstring, 0x0400, "Content Owner", nullptr},
    {PDBFhistory, "History", DBDTstring, 0x0001, "File History", nullptr},
    {PDBFalbum, "Album", DBDTstring, 0x0501, "Album Containing File", nullptr},
    {PDBFposition, "Position", DBDTint, 0x0601, "Position in Album", nullptr},
    {PDBFcaption, "Caption", DBDTstring, 0x0401, "Caption in Album", nullptr},
    {PDBFkeyword, "Keyword", DBDTstring, 0x0501, "Keyword for Search", nullptr},
    {PDBFcomment, "Comment", DBDTstring, 0x0501, "File Comment", nullptr},
    {PDBFsource, "Source", DBDTint, 0, "Image Source Class", PDBformatSource},
    {PDBFmake, "Make", DBDTstring, 0, "Source Manufacturer", nullptr},
    {PDBFmodel, "Model", DBDTstring, 0, "Source Model", nullptr},
    {PDBFversion, "Version", DBDTstring, 0, "Source Software Version", nullptr},
    {PDBFquality, "Quality", DBDTint, 0, "Compression Quality (0-100)", nullptr},
    {PDBFcrop, "Crop", DBDTint, 0x0601, "Cropping Rectangle", nullptr},
    {PDBForient, "Orient", DBDTint, 0x0600, "Rotation for Display (degrees CW)", nullptr},
    {PDBFflip, "Flip", DBDTint, 0x0600, "Flip Horiz. (1) or Vert. (2)", nullptr},
    {PDBFredeye, "RedEye", DBDTint, 0x0601, "Red-eye Removal Regions", nullptr},
    {PDBFspotexp, "SpotExp", DBDTint, 0x0601, "Spot-metered Exposure Regions", nullptr},
    {PDBFxsize, "XSize", DBDTint, 0x0800, "Image Width", nullptr},
    {PDBFysize, "YSize", DBDTint, 0x0800, "Image Height", nullptr},
    {PDBFxdensity, "XDensity", DBDTfloat, 0, "Horizontal Density (ppi)", nullptr},
    {PDBFydensity, "YDensity", DBDTfloat, 0, "Vertical Density (ppi)", nullptr},
    {PDBFxangle, "XAngle", DBDTfloat, 0, "Horizontal View Angle (degrees)", nullptr},
    {PDBFyangle, "YAngle", DBDTfloat, 0, "Vertical View Angle (degrees)", nullptr},
    {PDBFview, "View", DBDTstring, 0, "View Specification (Vortelux)", nullptr},
    {PDBFstonits, "StoNits", DBDTfloat, 0x0200, "Sample to Nits Conversion Factor", nullptr},
    {PDBFexptime, "ExpTime", DBDTfloat, 0, "Exposure Duration (seconds)", PDBformatExposure},
    {PDBFaperture, "Aperture", DBDTfloat, 0, "Camera F-stop", PDBformatAperture},
    {PDBFasa, "ASA", DBDTfloat, 0, "Sensitivity (ASA)", nullptr},
    {PDBFflash, "Flash", DBDTint, 0, "Flash Setting", PDBformatFlash},
    {PDBFwhitebal, "WhiteBal", DBDTint, 0, "White Balance (illuminant)", PDBformatWhiteBal},
    {PDBFfocus, "Focus", DBDTfloat, 0, "Focus Distance (meters)", nullptr},
};

// The identity fields, in the order a query takes them.
const PDBFieldID kIdentity[] = {PDBFfile, PDBFhashval, PDBFnbytes};
// Multi-valued fields that also tell catalogue entries of one file apart.
const PDBFieldID kEntryArrays[] = {PDBFkeyword, PDBFcomment, PDBFcrop, PDBFspotexp, PDBFredeye};

// The query's field of the given name from r's field id; false when it cannot be prepared
// (no such field in the query, r's field unset, a type the query's schema refuses).
bool CopyBound(DBRecord* lo, const DBRecord& r, int rid) {
  const char* name = r.GetFieldName(rid);
  const DBField* f = r.GetField(rid);
  const DBFieldInfo* qs = lo->GetFieldInfo();
  if (name == nullptr || f == nullptr || qs == nullptr) return false;
  int qid = qs->GetID(name);
  if (qid < 0) return false;
  return lo->SetField(qid, *f) != 0;
}

bool CopyBound(DBRecord* lo, const DBRecord& r, PDBFieldID fid) {
  const DBFieldInfo* rs = r.GetFieldInfo();
  return rs != nullptr && CopyBound(lo, r, rs->XlateID(&PDBFInfo, fid));
}

}  // namespace

PDBFieldInfo::PDBFieldInfo() {
  for (const PhotoField& f : kPhotoFields) {
    if (Field(f.name, f.type, f.description, f.flags, f.format) != f.id)
      DMESSAGE(DMCassert, "enumeration error in PDBFieldInfo");
  }
  sord.Clear();
  sord.AddSort(PDBFfile);
  sord.AddSort(PDBFcapdate);
  sord.AddSort(PDBFsubject);
  sord.AddSort(PDBFowner);
}

const PDBFieldInfo PDBFInfo;

const DBField& PDBgetField(const DBRecord& r, PDBFieldID fid) {
  const DBFieldInfo* s = r.GetFieldInfo();
  int id = s != nullptr ? s->XlateID(&PDBFInfo, fid) : -1;
  return r[id];  // out of range (-1) gives the shared empty field
}

int PDBsetText(DBRecord* rp, PDBFieldID fid, const char* txt, char nl) {
  if (rp == nullptr || rp->GetFieldInfo() == nullptr) return 0;
  int id = rp->GetFieldInfo()->XlateID(&PDBFInfo, fid);
  if (id < 0) return 0;
  return rp->SetText(id, txt, nl);
}

bool PCsetQuery(DBQuery* dq, const DBRecord& r, bool unique) {
  const DBFieldInfo* rs = r.GetFieldInfo();
  if (dq == nullptr || rs == nullptr) return false;
  // A fresh field array (a locked bound keeps its schema); the high bound shares it.
  dq->rlo.Init(rs);
  dq->rhi.Link(&dq->rlo);
  for (PDBFieldID fid : kIdentity)
    if (!CopyBound(&dq->rlo, r, fid)) return false;
  if (unique) return true;
  for (int id = r.GetNAlloc(); id-- > 0;) {
    const DBFDetails* d = r.GetFieldDetails(id);
    if (d != nullptr && (d->flags & PDBFLuser) && !(d->flags & DBFDmulti))
      CopyBound(&dq->rlo, r, id);
  }
  for (PDBFieldID fid : kEntryArrays) CopyBound(&dq->rlo, r, fid);
  return true;
}
