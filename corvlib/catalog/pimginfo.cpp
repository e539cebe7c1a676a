// Image information in photo records.
#include "catalog/pimginfo.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "catalog/pfieldset.h"

#include "catalog/porient.h"
#include "support/dmessage.h"

namespace {

// Format's first word: the text up to the first '.' of the suffix list.
void FormatName(char* buf, size_t len, const char* list) {
  size_t n = 0;
  if (list != nullptr)
    while (list[n] != '\0' && list[n] != '.' && n < 127 && n + 1 < len) n++;
  if (n > 0) memcpy(buf, list, n);
  buf[n] = '\0';
}

// Appends the lines of text to the values in hist (at most DB_MAXARRAY in all), skipping
// lines already there: reading a file again adds nothing.
void AppendLines(std::vector<std::string>* hist, const char* text) {
  const char* p = text;
  while (*p != '\0' && hist->size() < static_cast<size_t>(DB_MAXARRAY)) {
    const char* e = strchr(p, '\n');
    std::string line = e != nullptr ? std::string(p, e) : std::string(p);
    bool present = false;
    for (const std::string& h : *hist)
      if (h == line) present = true;
    if (!present) hist->push_back(line);
    if (e == nullptr) break;
    p = e + 1;
  }
}

void CopyText(char* dst, size_t len, const char* src) {
  if (src == nullptr) src = "";
  snprintf(dst, len, "%s", src);
}

}  // namespace

void PformatText(char* buf, size_t len, const _ImgReader* ir) {
  if (buf == nullptr || len < 1) return;
  char name[128];
  FormatName(name, sizeof(name), ir->ri != nullptr ? ir->ri->suffixList : nullptr);
  if (ir->encoding != nullptr) {
    snprintf(buf, len, "%s %s", name, ir->encoding);
    return;
  }
  char desc[64] = "";
  const int dt = ir->cs.dtype, pf = ir->cs.format;
  const bool valid = dt >= 0 && dt < IDTnumber && pf >= 0 && pf < IPFnumber;
  if (dt == IDTfloat)
    snprintf(desc, sizeof(desc), " real");
  else if (valid)
    snprintf(desc, sizeof(desc), " %d-bit", ImgDataSize[dt] * ImgPixelLen[pf] * 8);
  static const char* const kFormat[IPFnumber] = {
      " RGB", " CMY", " CMYK", " XYZ", " grayscale", "", " alpha", " depth", "", "", ""};
  snprintf(buf, len, "%s%s%s", name, desc, valid ? kFormat[pf] : "");
}

void recordImageInfo(DBRecord* r, _ImgReader* ir) {
  if (r == nullptr || ir == nullptr) return;
  PDBsetInt(r, PDBFxsize, ir->xres);
  PDBsetInt(r, PDBFysize, ir->yres);
  char fmt[256];
  PformatText(fmt, sizeof(fmt), ir);
  PDBsetString(r, PDBFformat, fmt);
  if (ir->ri == nullptr || ir->ri->GetInfo == nullptr) return;
  _ImgInfo* info = new _ImgInfo();
  if (ir->ri->GetInfo(ir, info) != IREnone) {
    delete info;
    return;
  }
  const uint32_t fl = info->flags;
  if (fl & IIForientation) {
    // Orient and Flip of EXIF orientations 2 to 8; others leave the record alone.
    static const int kOrient[9][2] = {{0, 0},   {0, 0},  {0, 1},  {180, 0}, {180, 1},
                                      {270, 2}, {90, 0}, {90, 2}, {270, 0}};
    const int o = info->orientation;
    if (o >= 2 && o <= 8) {
      PDBsetInt(r, PDBForient, kOrient[o][0]);
      PDBsetInt(r, PDBFflip, kOrient[o][1]);
    }
  }
  if (fl & IIFquality) PDBsetInt(r, PDBFquality, info->quality);
  if (fl & IIFcrop) {
    const _ImgRect& c = info->crop;
    if (c.xleft < c.xright && c.ytop < c.ybottom && c.xleft >= 0 && c.ytop >= 0 &&
        c.xright <= ir->xres && c.ybottom <= ir->yres) {
      const long v[4] = {c.xleft, c.ytop, c.xright, c.ybottom};
      PDBsetInts(r, PDBFcrop, v, 4);
    }
  }
  if (fl & IIFcapdate) PDBsetString(r, PDBFcapdate, info->capdate);
  if (fl & IIFgmtdate) PDBsetString(r, PDBFgmtdate, info->gmtdate);
  if (fl & IIFhdensity) {
    PDBsetFloat(r, PDBFxdensity, info->hdensity);
    PDBsetFloat(r, PDBFydensity, static_cast<double>(info->hdensity) * ir->pixAspect);
  } else if (ir->pixAspect < 0.98f || ir->pixAspect > 1.02f) {
    PDBsetFloat(r, PDBFxdensity, 72.0);
    PDBsetFloat(r, PDBFydensity, 72.0 * ir->pixAspect);
  }
  if (fl & IIFhvangle) {
    PDBsetFloat(r, PDBFxangle, info->hvangle);
    const float w = static_cast<float>(ir->xres) * ir->pixAspect;
    const double ya = (360.0 / M_PI) *
                      atan(ir->yres / static_cast<double>(w) * tan(info->hvangle * M_PI / 360.0));
    PDBsetFloat(r, PDBFyangle, ya);
  }
  if (fl & IIFsource) {
    PDBsetInt(r, PDBFsource, info->source.stype);
    info->source.make[sizeof(info->source.make) - 1] = '\0';
    info->source.model[sizeof(info->source.model) - 1] = '\0';
    info->source.vers[sizeof(info->source.vers) - 1] = '\0';
    PDBsetString(r, PDBFmake, info->source.make);
    PDBsetString(r, PDBFmodel, info->source.model);
    PDBsetString(r, PDBFversion, info->source.vers);
  }
  if (fl & IIFstonits) PDBsetFloat(r, PDBFstonits, info->stonits);
  if (fl & IIFfocus) PDBsetFloat(r, PDBFfocus, info->focus);
  if (fl & IIFlatlong) {
    PDBsetFloat(r, PDBFlatitude, info->latlong[0]);
    PDBsetFloat(r, PDBFlongitude, info->latlong[1]);
  }
  if (fl & IIFaltitude) PDBsetFloat(r, PDBFaltitude, info->altitude);
  if (fl & IIFbearing) PDBsetFloat(r, PDBFbearing, info->bearing);
  if (fl & IIFflash) PDBsetInt(r, PDBFflash, info->flash);
  if (fl & IIFexptime) PDBsetFloat(r, PDBFexptime, info->exptime);
  if (fl & IIFaperture) PDBsetFloat(r, PDBFaperture, info->aperture);
  if (fl & IIFasa) PDBsetFloat(r, PDBFasa, info->asa);
  if (fl & IIFwhitebal) PDBsetInt(r, PDBFwhitebal, info->whitebal);
  if (fl & IIFview) {
    info->view[sizeof(info->view) - 1] = '\0';
    PDBsetString(r, PDBFview, info->view);
  }
  if (fl & IIFowner) {
    info->owner[sizeof(info->owner) - 1] = '\0';
    PDBsetString(r, PDBFowner, info->owner);
  }
  if (fl & (IIFcomments | IIFparams)) {
    std::vector<std::string> hist;
    const DBField& h = PDBgetField(*r, PDBFhistory);
    if (h.GetDT() == DBDTstring)
      for (int i = 0; i < h.GetNV(); i++)
        hist.emplace_back(static_cast<const char*>(h.GetPointer(i)));
    const size_t before = hist.size();
    info->comments[sizeof(info->comments) - 1] = '\0';
    info->params[sizeof(info->params) - 1] = '\0';
    if (fl & IIFcomments) AppendLines(&hist, info->comments);
    if (fl & IIFparams) AppendLines(&hist, info->params);
    if (hist.size() != before) {
      std::vector<const char*> v;
      for (const std::string& s : hist) v.push_back(s.c_str());
      PDBsetStrings(r, PDBFhistory, v.data(), static_cast<int>(v.size()));
    }
  }
  delete info;
}

float PsetInfo(_ImgInfo* info, const DBRecord& r) {
  if (info == nullptr || r.l == nullptr) return 0.0f;
  info->flags = 0;
  info->params[0] = '\0';
  info->comments[0] = '\0';
  float f;
  long v;
  const char* s;
  if (PDBgetFloat(r, PDBFstonits, &f)) {
    info->stonits = f;
    info->flags |= IIFstonits;
  }
  const char* make = PDBgetString(r, PDBFmake);
  const char* model = PDBgetString(r, PDBFmodel);
  if (PDBgetInt(r, PDBFsource, &v) && make != nullptr && model != nullptr) {
    info->source.stype = static_cast<int32_t>(v);
    CopyText(info->source.make, sizeof(info->source.make), make);
    CopyText(info->source.model, sizeof(info->source.model), model);
    CopyText(info->source.vers, sizeof(info->source.vers), PDBgetString(r, PDBFversion));
    info->flags |= IIFsource;
  }
  if ((s = PDBgetString(r, PDBFcapdate)) != nullptr) {
    CopyText(info->capdate, sizeof(info->capdate), s);
    info->flags |= IIFcapdate;
  }
  if ((s = PDBgetString(r, PDBFgmtdate)) != nullptr) {
    CopyText(info->gmtdate, sizeof(info->gmtdate), s);
    info->flags |= IIFgmtdate;
  }
  float lat, lon;
  if (PDBgetFloat(r, PDBFlatitude, &lat) && PDBgetFloat(r, PDBFlongitude, &lon)) {
    info->latlong[0] = lat;
    info->latlong[1] = lon;
    info->flags |= IIFlatlong;
  }
  if (PDBgetFloat(r, PDBFaltitude, &f)) {
    info->altitude = f;
    info->flags |= IIFaltitude;
  }
  if (PDBgetFloat(r, PDBFbearing, &f)) {
    info->bearing = f;
    info->flags |= IIFbearing;
  }
  if (PDBgetFloat(r, PDBFxangle, &f)) {
    info->hvangle = f;
    info->flags |= IIFhvangle;
  }
  if ((s = PDBgetString(r, PDBFview)) != nullptr) {
    CopyText(info->view, sizeof(info->view), s);
    info->flags |= IIFview;
  }
  if (PDBgetInt(r, PDBFquality, &v)) {
    info->quality = static_cast<int32_t>(v);
    info->flags |= IIFquality;
  }
  const DBField& crop = PDBgetField(r, PDBFcrop);
  if (crop.GetDT() == DBDTint && crop.GetNV() >= 4) {
    info->crop.xleft = static_cast<int32_t>(crop.GetInt(0));
    info->crop.ytop = static_cast<int32_t>(crop.GetInt(1));
    info->crop.xright = static_cast<int32_t>(crop.GetInt(2));
    info->crop.ybottom = static_cast<int32_t>(crop.GetInt(3));
    info->flags |= IIFcrop;
  }
  const POrient orient(&r);
  const int eo = orient.ExifOrientation();
  if (eo != 1) {
    info->orientation = static_cast<ImgOrientation>(eo);
    info->flags |= IIForientation;
  }
  float aspect = 1.0f;
  float xd, yd;
  if (PDBgetFloat(r, PDBFxdensity, &xd)) {
    info->hdensity = xd;
    info->flags |= IIFhdensity;
    // A density of zero or less says nothing about the pixels' shape.
    if (xd > 0 && PDBgetFloat(r, PDBFydensity, &yd) && yd > 0) aspect = yd / xd;
  }
  if (PDBgetFloat(r, PDBFfocus, &f)) {
    info->focus = f;
    info->flags |= IIFfocus;
  }
  if (PDBgetInt(r, PDBFflash, &v)) {
    info->flash = static_cast<ImgFlashMode>(v);
    info->flags |= IIFflash;
  }
  if (PDBgetFloat(r, PDBFexptime, &f)) {
    info->exptime = f;
    info->flags |= IIFexptime;
  }
  if (PDBgetFloat(r, PDBFaperture, &f)) {
    info->aperture = f;
    info->flags |= IIFaperture;
  }
  if (PDBgetFloat(r, PDBFasa, &f)) {
    info->asa = f;
    info->flags |= IIFasa;
  }
  if (PDBgetInt(r, PDBFwhitebal, &v)) {
    info->whitebal = static_cast<ImgWhiteBal>(v);
    info->flags |= IIFwhitebal;
  }
  if ((s = PDBgetString(r, PDBFowner)) != nullptr) {
    CopyText(info->owner, sizeof(info->owner), s);
    info->flags |= IIFowner;
  }
  const DBField& hist = PDBgetField(r, PDBFhistory);
  if (hist.GetDT() == DBDTstring) {
    size_t used = 0;
    const size_t cap = sizeof(info->comments);
    for (int i = 0; i < hist.GetNV(); i++) {
      const char* line = static_cast<const char*>(hist.GetPointer(i));
      const size_t n = line != nullptr ? strlen(line) : 0;
      if (n == 0) continue;
      if (used + n + 1 >= cap) break;  // room for the newline and the NUL
      memcpy(info->comments + used, line, n);
      used += n;
      info->comments[used++] = '\n';
    }
    info->comments[used] = '\0';
    if (used > 0) info->flags |= IIFcomments;
  }
  return aspect;
}
