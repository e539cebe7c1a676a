// Display images: a photo record's image prepared for the screen. PDisplayImage holds a
// private copy of the record, the geometry derived from it (crop, pixel aspect, orientation),
// the display colour space and a chain of frames. Each frame (PDisplayList) keeps its pixels
// as a swappable cache object: 8-bit frames as display-ready pixels, high dynamic range frames
// as 16-bit brightness plus chroma that is tone-mapped (or false-coloured) on every request.
// PImageRing adds the state of one view (zoom, centre, exposure, selection) and links the
// images of a window in a ring.
//
// Three pixel grids: file pixels (the frame as stored; crop, red-eye and spot rectangles),
// view pixels (after crop and pixel-aspect correction, before orientation; selections) and
// window pixels (after zoom, offset and orientation).
#pragma once

#include <string>

#include <cstdint>

#include "catalog/pdbase.h"
#include "catalog/porient.h"
#include "image/pireader.h"
#include "support/abitmap.h"
#include "support/diskcache.h"
#include "tonemap/falsecolor.h"
#include "tonemap/tonemap.h"

// How a frame request is counted: absolute, relative, or advancing (wrapping for loops).
enum ImgSeekMode : int32_t { IRSabs = 0, IRSrel = 1, IRSadv = 2 };

// Histogram channels.
enum PHistoChan : int32_t {
  PHCluminance = 0,
  PHCrgb = 1,
  PHCred = 2,
  PHCgreen = 3,
  PHCblue = 4,
  PHCrgb3 = 5
};

// Exposure mode bits of PImageRing::expMode and PEMDefault.
enum : int { PEMauto = 1, PEMlocal = 2, PEMhuman = 4 };

// The exposure mode given to newly opened images (the "DisplayExposureFlags" preference).
extern int PEMDefault;

class PDisplayImage;

// One frame of a display image.
class PDisplayList : public DiskCacheObject {
 public:
  PDisplayList(PDisplayImage* owner, int frameNo);
  ~PDisplayList() override;

  const char* ClassName() const override { return "PDisplayList"; }
  void HolderRelease() override;
  bool NewOriginal() override;
  void FreeOriginal() override;

  // Makes sure the frame's pixels are loaded (reloading a frame marked for it).
  bool CheckLoad();
  // Makes the memory resident and points the planes into it; the caller releases the object
  // afterwards with ReleaseObject(objCache) (ReleasePointers).
  bool GetPointers();
  void ReleasePointers();
  // Display pixels of view rectangle r (null: the whole view) at dst's size and colour space.
  // With mult, a high dynamic range frame maps from r's own histogram and stores the
  // multiplier it applied.
  bool GetSubimage(_ImgStruct* dst, const _ImgRect* r, double* mult);
  bool MapSubimage(_ImgStruct* dst, const _ImgRect* r, double* mult);
  // Rows y0 .. y0 + dst->yres of what GetSubimage makes of r at dst's width and fullH rows
  // (without a local exposure), into dst: a large rendering made a band at a time.
  bool GetRows(_ImgStruct* dst, const _ImgRect* r, int fullH, int y0);
  // The factor between input luminance and linear display value of the computed map.
  double GetMultiplier(const TMstruct* t) const;
  bool ResetLinear(double m);
  bool SetFixedLinear(double m);
  void CorrectAspect(int* xp, int* yp) const;
  bool LoadHDR(_ImgReader* ir);
  bool LoadHDRspecial(_ImgReader* ir);

  // Exposure, histograms and average luminance.
  bool LocalRect(_ImgRect* r, const long* v) const;
  void AdjustExposure();
  bool RedoHisto(const _ImgRect* r);
  bool GetHistogram(double* lim, unsigned int* hist, int nbins, PHistoChan chan, const _ImgRect* r);
  double AvgLuminance(const _ImgRect* r);

  // Red-eye removal: every rectangle of the owner's record (null or the owner's record), or
  // the rectangles another record has beyond the owner's; or one rectangle.
  void RemoveRedEye(const DBRecord* rec);
  void RemoveRedEye(const long* v);

  bool IsHDR() const { return tms != nullptr; }
  int FrameNumber() const { return frame; }
  // The frame could not be loaded: later uses fail at once, without reading the file (and
  // reporting its fault) again, until the frame is marked for reloading.
  bool LoadFailed() const { return loadFailed; }
  // What was reported when the frame failed ("" when nothing was).
  const std::string& FailureText() const { return failureText; }
  PDisplayList* Next() const { return next; }

  _ImgStruct l_img;
  _ImgStruct c_img;
  int oxres, oyres;
  float pixAspect;
  TMstruct* tms;
  uint8_t* invMap;
  bool lossy;
  PDisplayImage* parent;
  int frame;
  PDisplayList* next;
  bool loadFailed = false;
  std::string failureText;
  // File pixels to a frame pixel in each direction: a frame loaded for a use smaller than the
  // picture holds a reduced copy (PDisplayImage::SetReduction).
  int shrink = 1;
  // The last load was stopped by the user (PworkSlice): no failure, read again at next use.
  bool loadStopped = false;
  // The sample-to-nits factor the file states for this frame, 0 when it states none: read
  // with the frame, whichever way its pixels are read.
  double fileStoNits = 0.0;

 private:
  bool Load8bit(_ImgReader* ir);
  bool LoadReduced8bit(_ImgReader* ir, int k);
  // The tone mapping of a high dynamic range frame made ready: from the histogram of the frame
  // part fr (null: the whole frame, its histogram kept once made).
  bool PrepareMapping(const _ImgRect* fr);
  // Maps the frame's rectangle mr into target's pixels (1 or 3 bytes a pixel, mr's size).
  bool MapRect(_ImgStruct* target, const _ImgRect& mr);
  // The reduction a load of rd takes: the owner's, no more than the picture can give.
  int LoadReduction(const _ImgReader* rd) const;
  // Whether a full-size frame of rd at bpp bytes a pixel fits in this computer's memory; when
  // not, rd's message says so in words, for the caller to tell once.
  bool FullSizeFits(_ImgReader* rd, size_t bpp) const;
  // Sets rd's message to the words for a frame of w x h pixels whose memory could not be had.
  void NoteTooLarge(_ImgReader* rd, int64_t w, int64_t h, size_t bpp) const;
  void DropMemory();
  bool ViewToFrame(_ImgRect* fr, const _ImgRect* vr) const;
  // A view rectangle in the 8-bit plane's pixels, clipped to it; false when nothing is left.
  bool ViewToPlane(_ImgRect* pr, const _ImgRect* vr) const;
  // What turns the luminances of the frame as read into the picture's own: its factor (the
  // record's, else the file's, else 1) over the one the frame was read with.
  double StoNitsScale() const;
};

class PDisplayImage {
 public:
  PDisplayImage();
  explicit PDisplayImage(const DBRecord& r);
  virtual ~PDisplayImage();
  PDisplayImage(const PDisplayImage&) = delete;
  PDisplayImage& operator=(const PDisplayImage&) = delete;

  void Empty();
  bool SetImage(const DBRecord& r);
  bool SetImage(const char* path);
  void SetRecord(const DBRecord& r);
  bool UpdateRec(const DBRecord& r);
  const DBRecord& GetRec() const { return ircd; }
  bool CloseImage(bool flag);
  bool Ready() const { return oxres > 0 && oyres > 0; }
  void Reload();

  bool SetFrame(int n);
  bool SeekFrame(int n, ImgSeekMode mode);
  bool CheckLoad();
  int GetNFrames();
  ImgFrameType GetFrameType(double* rate);
  int CurrentFrame() const { return dlp != nullptr ? dlp->frame : -1; }

  bool SetDisplaySpace(const _ImgColorSpace* space, double dr, double lmax);
  void GetDisplaySpace(_ImgColorSpace* space, double* dr, double* lmax) const;
  void SetTMFlags(int f) { newTMflags = f; }
  int GetTMFlags() const { return newTMflags; }
  bool IsHDR();
  // The picture's own factor from samples to cd/m2, which its luminances are shown with: the
  // record's, else the one its file states, else 1 (TM_UNSTATED_STONITS, how every reading
  // takes a file that states none); 0 when the image is not high-dynamic-range. It does not
  // depend on how or at what size the frame was read.
  double StoNits();
  // Whether the current frame, as far as it was loaded, is of high dynamic range; never loads.
  bool LoadedHDR() const { return dlp != nullptr && dlp->tms != nullptr; }
  // Whether the picture's first frame could not be loaded (the file read as far as its pixels).
  bool FirstFrameFailed() const { return dlp != nullptr && dlp->frame == 0 && dlp->loadFailed; }
  // Why the current frame could not be loaded, when it could not ("" otherwise).
  const char* LoadFailure() const {
    return dlp != nullptr && dlp->loadFailed ? dlp->failureText.c_str() : "";
  }
  bool IsLossy();
  int GetOWidth() const;
  int GetOHeight() const;
  bool CropRect(_ImgRect* r) const;
  bool GetViewRect(_ImgRect* view, const _ImgRect* file);
  bool GetOrigRect(_ImgRect* file, const _ImgRect* view);
  void CorrectAspect(int* xp, int* yp) const;
  void FalseColorDone();

  bool GetHistogram(double* lim, unsigned int* hist, int nbins, PHistoChan chan, const _ImgRect* r);
  double AvgLuminance(const _ImgRect* r);
  bool GetSubimage(_ImgStruct* dst, const _ImgRect* r, double* mult);
  // Rows y0 .. y0 + dst->yres of GetSubimage(r) made at dst's width and fullH rows, into dst;
  // the bands of a rendering too large to be made in one step equal its rows made whole, but
  // for rounding.
  bool GetSubimageRows(_ImgStruct* dst, const _ImgRect* r, int fullH, int y0);

  // Later loads read the picture reduced by k in each direction (1: at full size), for uses
  // that show or write it at no more than about half its size over k; a frame already
  // loaded coarser than that is loaded again at its next use.
  void SetReduction(int k);
  int Reduction() const { return reduction; }

  // Reload marks, one per frame number in use.
  bool NeedsReload(int f) const;
  void MarkReload(int f);
  void ClearReload(int f);
  void MarkAllReload();

  DBFieldInfo finf;
  DBRecord ircd;
  int32_t oxres, oyres;
  float pixAspect;
  int nframes;
  ImgFrameType frameType;
  float frameRate;
  _ImgReader* ir;
  PDisplayList* dlhead;
  PDisplayList* dlp;
  _ImgColorSpace cs;
  double dynrange;
  double dlmax;
  int newTMflags;
  ABitMap need2reload;
  FCstruct* fcs;
  int fcManual;
  POrient ior;
  bool quiet;
  bool (*cloz)(PDisplayImage* di, bool flag);
  int reduction = 1;

  void CloseReader();
};

// A close callback that deletes the image's file; never vetoes.
bool PDeleteTempImage(PDisplayImage* di, bool flag);

// Marks in mask the connected red region around (x, y) of an 8-bit RGB image, at most depth
// steps from it; returns the number of pixels marked.
int floodRedEye(ABitMap2* mask, const _ImgStruct* im, int x, int y, int depth);

// Pixel-aspect correction from file to view values and back (a is height over width).
void PaspectToView(float a, int* xp, int* yp);
void PaspectToFile(float a, int* xp, int* yp);
// The sample-to-nits factor of a record; 0 when absent, not positive or not finite.
double PrecordStoNits(const DBRecord& r);

// An image of the image window: a display image with the state of one view, linked with the
// window's other images in a ring.
class PImageRing : public PDisplayImage {
 public:
  PImageRing(const char* path, PImageRing* ring);
  PImageRing(const DBRecord& r, PImageRing* ring);
  ~PImageRing() override;

  void JoinRing(PImageRing* r);
  PImageRing* Unlink();
  void Clean();
  PImageRing* GetNext() const { return next; }
  PImageRing* GetPrev() const { return prev; }

  bool SetImage(const char* path);
  bool SetImage(const DBRecord& r);
  void SetDefaults();
  bool UpdateRec(const DBRecord& r);
  bool Reload();

  bool SeekFrame(int n, ImgSeekMode mode);

  bool IsZoomToFit() const { return zoomDenom < 1 || zoomNum < 1; }
  void SetZoomRatio(int num, int den);
  void SetZoomToFit();
  double GetZoom(int* ratio) const;
  void GetOffset(int* hvoff) const;
  void SetOffset(int hoff, int voff);

  void SetExposureMode(int bits);
  void SetExposureMode(int bits, bool on);
  void SetExposure(double m);
  int GetExposure(double* m) const;

  void SelectRect(int x0, int y0, int x1, int y1);
  bool GetSelection(_ImgRect* r) const;
  void SelectAll();
  void ClearSelection();
  int SomeSelected() const;
  bool GetOrigSelection(_ImgRect* r);
  void SetOrigSelection(const _ImgRect* r);
  bool XYswapped() const { return ior.xyswap; }
  bool GetOrient(POrient* o) const;

  void FalseColorOn(double hi, double lo);
  void FalseColorOff();
  bool GetFCLimits(double* lim) const;

  bool GetHistogram(double* minmax, unsigned int* hist, int hlen, PHistoChan hc, bool useSel);
  double AvgLuminance(const _ImgRect* r);

  void CheckSettings();
  // Renders the view at dst's size into dst, or only its part sub; at, of sub's size, puts
  // that part's pixels elsewhere in dst (by default at sub itself). Pixels it had to give dst
  // go again when it fails.
  bool RenderImage(_ImgStruct* dst, const void* bg, const _ImgRect* sub,
                   const _ImgRect* at = nullptr);
  bool RenderSubimage(_ImgStruct* ims, const _ImgRect* sir, const void* pf,
                      const _ImgRect* at = nullptr) {
    return RenderImage(ims, pf, sir, at);
  }
  bool MapImage(_ImgStruct* dst, const void* bg, const _ImgRect* sub);
  // Takes the zoom and the reduction to load at for a view of w x h window pixels, as the
  // next render into that size will (so that a load ahead of it reads what it shows).
  void PrepareView(int w, int h);
  bool RenderIsNoop(bool ignoreHDR);
  bool MapIsNoop(bool ignoreHDR);

  bool IsChanged() const { return changed; }

  int froffs;
  ImgSeekMode frsmode;
  int zoomNum, zoomDenom;
  int curZNum, curZDenom;
  int xCent, yCent;
  int expMode;
  double expMult;
  _ImgRect srcrect;
  PImageRing* prev;
  PImageRing* next;
  bool changed;
  int rWidth, rHeight;

 private:
  bool RenderInto(_ImgStruct* dst, const void* bg, const _ImgRect* sub, const _ImgRect* at);
  void ChooseZoom(int w, int h);
  // Between the view's and the window's rectangle edges (not pixels).
  void ViewToWindow(int* wx, int* wy, int x, int y) const;
  void WindowToView(int* x, int* y, int wx, int wy) const;
  double TmScale() const;
};
