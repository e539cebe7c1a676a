// The image window: a ring of open images (display images of records), the current one shown
// in the image pane under a one-row control panel. The panel, the window title and the
// browser's selection follow the current image. Redraws are deferred through one one-shot
// timer, so that a burst of panel changes costs one rendering.
//
// The ring is a circular list of PImageRing objects: iring is the current image (NULL when none
// is open), irFirst the origin of image numbers, irShown the image last brought on screen,
// irDrawn the image whose rendering the pane holds. Each is NULL or an image of the ring.
#pragma once

#include "app/core/pwindows.h"
#include "display/pdispimg.h"

class PImageDrawer;

class PImageWindow : public IImageWindow {
 public:
  PImageWindow(IBNibRef nib, IBrowser* br);
  ~PImageWindow() override;

  void Empty();
  using PWindowHandlerBase::CreateWindow;
  WindowPtr CreateWindow(IBNibRef nib) override;

  // The panel: applies its controls to the current image; false without one.
  bool Update();
  // The title/caption field and its two buttons.
  void UpdateImageButtons() const;
  void DoTitle(const char* ttl);
  // Whether DoTitle(NULL) would change something: the field shows the caption, or holds text
  // other than the shown image's title.
  bool TitleChanges() const;
  void DoCaption(const char* cap);
  int Show(int vis) override;
  OSStatus HandleActivate(EventRef event);
  OSStatus HandleClose(EventRef event);
  OSStatus HandleCommand(EventRef event);
  OSStatus HandleCommandUpdate(EventRef event);
  bool Ready() const;
  // Whether the current image's picture could not be loaded (told once, as it failed) and the
  // image leaves the window for it: a temporary image stays, to be offered for saving, and so
  // does a slide.
  bool Unloadable() const;
  PImageRing* GetCurrentIR() const override { return iring; }
  IBrowser* GetBrowser() const override { return browser; }
  bool HasSelection() const;

  // The ring.
  bool AddImage(PImageRing* ir);
  bool AddImage(const char* path) override;
  bool AddImage(const DBRecord& rec, bool reconcile) override;
  int OpenImages() override;
  PImageRing* MatchImage(const DBRecord& rec) const override;
  void Advance(const PImageRing* ir) override;
  void Advance(int n);
  bool Reconcile(PImageRing* ir);
  void Reconcile() override;
  bool CloseImage(bool cancancel) override;
  int CloseImages(bool cancancel) override;
  void Reload() override;
  void ReloadAll() override;
  bool SelectImage(bool force) override;
  void Reposition(int n) override;
  bool Reorient(OSType cmd) override;
  int ImageIndex(const PImageRing* ir) const override;
  int ImageCount() const override;
  int BrowserRecI() const;
  void SelectAll();
  void SelectNone();
  void ResyncToImage();

  // Zoom, redraw and presentation.
  static int ClosestZoomIndex(double zoomRat, int lean);
  bool SetZoom(short item);
  bool ZoomIncr(int amt);
  // The zoom item (1-12) amt steps away from the one shown; 0 without an image.
  int ZoomStep(int amt) const;
  void RedrawTimer(double nsec);
  static void redrawCallback(EventLoopTimerRef timer, void* userData);
  void Redraw() override;
  bool Present() override;
  bool ManualExposure(double emult);
  bool FalseColor(bool switchon) override;
  bool CheckSave();

  // The histogram and false-colour legend windows.
  int UpdateHistogram(int chan) override;
  int UpdateFCLegend(int how) override;

  // Slide shows: SlideShow asks for the options and starts one (or stops the running one);
  // BeginShow starts one with option bits and an interval in seconds. NextSlide prepares and
  // schedules the next slide (false when the show ended or waits); PreemptSlide holds a running
  // show back (false when none runs); StopShow ends it.
  void SlideShow() override;
  void BeginShow(int opts, double intvl);
  bool NextSlide();
  bool PreemptSlide();
  void DoneShow();
  void StopShow();
  // Whether the current image is a multi-frame sequence with a frame rate.
  bool Playable() const;
  void RunAnimation();

  // Operators (pimageoper.cpp): each acts on the current image's selection and stores its
  // result in the image's record; true when the record (or the panorama) changed.
  void UpdateOperator();
  // Which operators apply: crop, red-eye, spot-meter, panorama origin and destination,
  // calibration; undo: they take back what the record holds (no selection).
  void OperatorState(bool on[6], bool* undo) const;
  SInt32 SelectOperator();
  bool Crop();
  bool RedEye();
  bool SpotMeter();
  bool Calibrate();
  bool LinkPano(OSType cmd);

  // Saving (pimgsave.cpp): the save command asks for its options and writes the current image
  // with the window's edits through one of five producers, each given the new record; 1 when a
  // file was written. UpdateSaved brings the catalogue and the window in line with it.
  int SaveImage();
  int SaveRenderImage(DBRecord* rec);
  int SaveMapImage(DBRecord* rec);
  int SaveZoomOriginal(DBRecord* rec);
  int SaveCropOrientOriginal(DBRecord* rec);
  int SaveMapOriginal(DBRecord* rec);
  void UpdateSaved(const DBRecord& rec);
  // A temporary image: opened, offered for saving when it closes, shown.
  bool AddTempImage(const DBRecord& rec) override;

  // How many times the pane rendered an image whole (for tests and benchmarks).
  long renderCount = 0;
  // A save of the current image runs (its work pumping events): the window's own commands,
  // clicks, close and redraws wait for it.
  bool saving = false;

  ControlRef fileControl;
  ControlRef fileTextField;
  ControlRef titleButton;
  ControlRef captionButton;
  PControlDrawer* frameControlD;
  ControlRef opButton;
  MenuRef opMenu;
  ControlRef sizeControl;
  ControlRef titleEditField;
  ControlRef exposEditField;
  ControlRef exposControl;
  ControlRef exposAuto;
  ControlRef exposHuman;
  ControlRef exposLocal;
  ControlRef dataTextField;
  PChestDrawer* controlPanel;
  PImageDrawer* imd;
  IBrowser* browser;
  PImageRing* iring;
  PImageRing* irFirst;
  PImageRing* irDrawn;
  PImageRing* irShown;
  int showGoing;
  int showOpts;
  double showIntvl;
  int* showShuffle;
  bool showPreempt;
  int showShuffleLen = 0;
  double showDue = 0;  // when the prepared slide's timer falls due (platform clock); 0: none
  Rect origWindowBounds{0, 0, 0, 0};
  uint8_t origBackRGB[3] = {255, 255, 255};
  _ImgColorSpace dispCS;
  double ldDyn;
  double ldMax;
  uint8_t bgRGB[3];
  bool syncView;

 private:
  PContext* Context() const;
  void SetZoomItem(int item);
  // Whether a rendering of the view at w x h pixels (taking the zoom and reduction it will)
  // can have its frame: a full-size frame not loaded yet must fit in this computer's memory,
  // else that is told in words and false.
  bool FrameFits(int w, int h);
  // A fixed exposure multiplier outside [0.8, 1.25] goes into the floating-point pixels saved.
  void ExposureRule(DBRecord* rec, _ImgStruct* img) const;
  // Drops an image from the window's pointers before it is deleted.
  void Forget(PImageRing* ir);
  // Closes the current image when it is unloadable, and the window when no image is left;
  // false when the image stays.
  bool DropUnloadable();
  // Reads a large current picture before it is drawn, a slice at a time under progress; false
  // when it was not read: stopped, or another image became current. Opening, a Stop closes the
  // picture; zooming in, a Stop or a picture too large for memory at that zoom takes the view
  // back to fitting the window.
  bool LoadInSlices(bool opening);

  unsigned long ringSerial = 0;  // moves whenever the current image changes or one closes
  bool redrawing = false;
};

// The exposure stepper's value for a multiplier: 50 + 3 log2(m) rounded; 50 for a multiplier that
// is not a finite positive number.
int PimageStopsOf(double m);

// The zoom pop-up's items as ratios (item 7, fit, as 0/0).
extern const int kZoomTable[12][2];
