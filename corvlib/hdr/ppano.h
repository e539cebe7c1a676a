// Panoramas: member records linked pairwise at matching feature points ("PanoLink" triples),
// anchor checks and alignment, the search of the link tree, and rendering of the members
// into one canvas with two-band blending of each overlap.
#pragma once

#include "db/dbrecord.h"
#include "db/dbrlist.h"
#include "db/dbschema.h"
#include "image/pimage.h"
#include "support/abitmap.h"

// Most link triples one member holds, and their values.
constexpr int PPANO_MAXLINKS = 6;
constexpr int PPANO_MAXVALUES = 3 * PPANO_MAXLINKS;

class PPanorama {
 public:
  PPanorama();
  ~PPanorama();
  PPanorama(const PPanorama&) = delete;
  PPanorama& operator=(const PPanorama&) = delete;

  // Empties the panorama.
  void ClearPano();
  // Index of the member showing the same image file as r, or -1.
  int FindImage(const DBRecord& r) const;
  // Index of r's member, added when new; -1 on failure.
  int InsertImage(const DBRecord& r);
  // Whether rect (pixels of r's stored image) may be the origin anchor.
  bool CheckOrig(const DBRecord& r, const _ImgRect& rect) const;
  bool LinkOrig(const DBRecord& r, const _ImgRect& rect);
  // Whether rect of r may be the destination anchor of the pending origin.
  bool CheckDest(const DBRecord& r, const _ImgRect& rect) const;
  // Aligns the destination anchor with the origin and stores the link in both members.
  bool LinkDest(const DBRecord& r, const _ImgRect& rect);
  // The shared feature point in the origin (result[0..1]) and destination (result[2..3]).
  bool AlignAnchor(int result[4], const DBRecord& dest, const _ImgRect& destRect);
  // Whether member to is reached from member from; offset (may be null) receives the
  // position of to's origin in from's coordinates.
  bool Linked(int from, int to, ABitMap* visited, int offset[2]) const;
  // The link values of a member (at most PPANO_MAXVALUES); their count.
  int GetLinks(int member, long* values) const;

  // The density-corrected size of a member.
  bool GetImageSize(int size[2], int member) const;
  // Null when the panorama can be built, else the reason. Each output may be null.
  const char* CheckPano(_ImgColorSpace* csp, int size[2], int origin[2]) const;
  // The sample-to-nits factor of member 0, -1 when unknown.
  float GetStoNits() const;
  // Renders the panorama into canvas (size and colour space set; pixels optional); mask
  // (may be null) receives the covered pixels.
  bool RenderPano(_ImgStruct* canvas, ABitMap2* mask);
  // Renders the members linked from member, whose image the canvas view placed shows.
  bool RenderLinked(_ImgStruct* canvas, float scale, int member, const _ImgStruct* placed,
                    ABitMap* visited, ABitMap2* mask);

  _ImgColorSpace cspc;
  DBFieldInfo fieldInfo;
  _ImgRect anchRect;
  int anchor;
  int linkID;
  DBRecordList irl;
  int (*reportProgress)(const char* message, int percent);

 private:
  bool Progress(const char* message, int percent) const {
    return reportProgress == nullptr || reportProgress(message, percent) != 0;
  }
  // Writes the triple (x, y, partner) into member m's links, replacing the one naming partner.
  bool SetLink(int m, int x, int y, int partner);
};

// The position of the strongest saddle-shaped feature of a float luminance image.
void findPromonotory(int pos[2], const _ImgStruct* img);
