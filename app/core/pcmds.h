// The application's command codes, each with its traits, in one table: the menus, the
// windows' buttons and the dialogs send these codes, and the busy guard and the application's
// menu enabling read the traits rather than lists of their own.
#pragma once

#include <cstddef>

#include "platform/ptypes.h"

// The menu commands.
constexpr OSType kCmdRecentCatalog1 = FourCC("cat1");
constexpr OSType kCmdRecentCatalog2 = FourCC("cat2");
constexpr OSType kCmdRecentCatalog3 = FourCC("cat3");
constexpr OSType kCmdRecentCatalog4 = FourCC("cat4");
constexpr OSType kCmdRecentCatalog5 = FourCC("cat5");
constexpr OSType kCmdOpenCatalog = FourCC("cata");
constexpr OSType kCmdNewCatalog = FourCC("catn");
constexpr OSType kCmdBrowseFolder = FourCC("dir ");
constexpr OSType kCmdOpenImage = FourCC("open");
constexpr OSType kCmdImportRecords = FourCC("irec");
constexpr OSType kCmdClose = FourCC("clos");
constexpr OSType kCmdSaveImage = FourCC("save");
constexpr OSType kCmdExportImages = FourCC("eimg");
constexpr OSType kCmdExportWebAlbum = FourCC("eweb");
constexpr OSType kCmdExportRecords = FourCC("erec");
constexpr OSType kCmdExportCatalog = FourCC("ecat");
constexpr OSType kCmdPageSetup = FourCC("page");
constexpr OSType kCmdPrint = FourCC("prnt");
constexpr OSType kCmdPrintIndex = FourCC("prni");
constexpr OSType kCmdQuit = FourCC("quit");
constexpr OSType kCmdUndo = FourCC("undo");
constexpr OSType kCmdRedo = FourCC("redo");
constexpr OSType kCmdCut = FourCC("cut ");
constexpr OSType kCmdCopy = FourCC("copy");
constexpr OSType kCmdPaste = FourCC("past");
constexpr OSType kCmdDeleteFiles = FourCC("dele");
constexpr OSType kCmdClear = FourCC("clea");
constexpr OSType kCmdClearWithImages = FourCC("clei");
constexpr OSType kCmdSelectAll = FourCC("sall");
constexpr OSType kCmdSelectNone = FourCC("snon");
constexpr OSType kCmdInvertSelection = FourCC("invs");
constexpr OSType kCmdCopyFileNames = FourCC("cpfn");
constexpr OSType kCmdCopyPositions = FourCC("cpgp");
constexpr OSType kCmdFind = FourCC("find");
constexpr OSType kCmdFindNearby = FourCC("fnby");
constexpr OSType kCmdPreferences = FourCC("pref");
constexpr OSType kCmdPreviewThumbnails = FourCC("tpvw");
constexpr OSType kCmdLargeThumbnails = FourCC("tlrg");
constexpr OSType kCmdMediumThumbnails = FourCC("tmed");
constexpr OSType kCmdSmallThumbnails = FourCC("tsml");
constexpr OSType kCmdZoomIn = FourCC("zin ");
constexpr OSType kCmdZoomOut = FourCC("zout");
constexpr OSType kCmdZoomToFit = FourCC("zfit");
constexpr OSType kCmdActualSize = FourCC("z100");
constexpr OSType kCmdZoom1_8 = FourCC("z013");
constexpr OSType kCmdZoom1_6 = FourCC("z017");
constexpr OSType kCmdZoom1_4 = FourCC("z025");
constexpr OSType kCmdZoom1_3 = FourCC("z033");
constexpr OSType kCmdZoom1_2 = FourCC("z050");
constexpr OSType kCmdZoom2_3 = FourCC("z067");
constexpr OSType kCmdZoom3_2 = FourCC("z150");
constexpr OSType kCmdZoom2_1 = FourCC("z200");
constexpr OSType kCmdZoom3_1 = FourCC("z300");
constexpr OSType kCmdZoom4_1 = FourCC("z400");
constexpr OSType kCmdListSettings = FourCC("vset");
constexpr OSType kCmdListFile = FourCC("vfil");
constexpr OSType kCmdListCapture = FourCC("vcap");
constexpr OSType kCmdListOther = FourCC("voth");
constexpr OSType kCmdListAll = FourCC("vall");
constexpr OSType kCmdSortCurrent = FourCC("sort");
constexpr OSType kCmdSortManual = FourCC("sman");
constexpr OSType kCmdSortByDate = FourCC("sdat");
constexpr OSType kCmdSortByFile = FourCC("sfil");
constexpr OSType kCmdSortBySubject = FourCC("ssub");
constexpr OSType kCmdSortByTitle = FourCC("stit");
constexpr OSType kCmdSortByOwner = FourCC("sown");
constexpr OSType kCmdSynchronizeViews = FourCC("synv");
constexpr OSType kCmdHistogram = FourCC("hist");
constexpr OSType kCmdFalseColor = FourCC("dofc");
constexpr OSType kCmdAddToCatalog = FourCC("add ");
constexpr OSType kCmdDuplicate = FourCC("dupl");
constexpr OSType kCmdInfo = FourCC("info");
constexpr OSType kCmdReload = FourCC("relo");
constexpr OSType kCmdRenameFiles = FourCC("renm");
constexpr OSType kCmdSetSubject = FourCC("subj");
constexpr OSType kCmdRecentSubject1 = FourCC("sub1");
constexpr OSType kCmdRecentSubject2 = FourCC("sub2");
constexpr OSType kCmdRecentSubject3 = FourCC("sub3");
constexpr OSType kCmdRecentSubject4 = FourCC("sub4");
constexpr OSType kCmdRecentSubject5 = FourCC("sub5");
constexpr OSType kCmdRecentSubject6 = FourCC("sub6");
constexpr OSType kCmdRecentSubject7 = FourCC("sub7");
constexpr OSType kCmdSetOwner = FourCC("ownr");
constexpr OSType kCmdRecentOwner1 = FourCC("own1");
constexpr OSType kCmdRecentOwner2 = FourCC("own2");
constexpr OSType kCmdRecentOwner3 = FourCC("own3");
constexpr OSType kCmdRecentOwner4 = FourCC("own4");
constexpr OSType kCmdRecentOwner5 = FourCC("own5");
constexpr OSType kCmdSetAlbum = FourCC("albm");
constexpr OSType kCmdRecentAlbum1 = FourCC("alb1");
constexpr OSType kCmdRecentAlbum2 = FourCC("alb2");
constexpr OSType kCmdRecentAlbum3 = FourCC("alb3");
constexpr OSType kCmdRecentAlbum4 = FourCC("alb4");
constexpr OSType kCmdRecentAlbum5 = FourCC("alb5");
constexpr OSType kCmdRecentAlbum6 = FourCC("alb6");
constexpr OSType kCmdRecentAlbum7 = FourCC("alb7");
constexpr OSType kCmdSetKeyword = FourCC("keyw");
constexpr OSType kCmdRecentKeyword1 = FourCC("key1");
constexpr OSType kCmdRecentKeyword2 = FourCC("key2");
constexpr OSType kCmdRecentKeyword3 = FourCC("key3");
constexpr OSType kCmdRecentKeyword4 = FourCC("key4");
constexpr OSType kCmdRecentKeyword5 = FourCC("key5");
constexpr OSType kCmdRecentKeyword6 = FourCC("key6");
constexpr OSType kCmdRecentKeyword7 = FourCC("key7");
constexpr OSType kCmdRecentKeyword8 = FourCC("key8");
constexpr OSType kCmdRecentKeyword9 = FourCC("key9");
constexpr OSType kCmdSetField = FourCC("othr");
constexpr OSType kCmdSetField1 = FourCC("oth1");
constexpr OSType kCmdSetField2 = FourCC("oth2");
constexpr OSType kCmdSetField3 = FourCC("oth3");
constexpr OSType kCmdSetField4 = FourCC("oth4");
constexpr OSType kCmdSetField5 = FourCC("oth5");
constexpr OSType kCmdSetField6 = FourCC("oth6");
constexpr OSType kCmdSetField7 = FourCC("oth7");
constexpr OSType kCmdSetField8 = FourCC("oth8");
constexpr OSType kCmdSetField9 = FourCC("oth9");
constexpr OSType kCmdSetTitle = FourCC("titl");
constexpr OSType kCmdSetCaption = FourCC("cptn");
constexpr OSType kCmdAddComment = FourCC("comm");
constexpr OSType kCmdRepeatSetting = FourCC("rept");
constexpr OSType kCmdAdjustDate = FourCC("date");
constexpr OSType kCmdSetDensity = FourCC("dens");
constexpr OSType kCmdMoveToPosition = FourCC("posn");
constexpr OSType kCmdRotateRight = FourCC("cw90");
constexpr OSType kCmdRotateLeft = FourCC("cc90");
constexpr OSType kCmdRotate180 = FourCC("c180");
constexpr OSType kCmdFlipHorizontally = FourCC("flhz");
constexpr OSType kCmdFlipVertically = FourCC("flvt");
constexpr OSType kCmdSlideShow = FourCC("show");
constexpr OSType kCmdMakeHDR = FourCC("mhdr");
constexpr OSType kCmdPanorama = FourCC("pano");
constexpr OSType kCmdCrop = FourCC("crop");
constexpr OSType kCmdRedEye = FourCC("reye");
constexpr OSType kCmdSpotMeter = FourCC("spot");
constexpr OSType kCmdCalibrate = FourCC("calb");
constexpr OSType kCmdPanoramaOrigin = FourCC("porg");
constexpr OSType kCmdPanoramaDestination = FourCC("pdst");
constexpr OSType kCmdApplyOperator = FourCC("oper");
constexpr OSType kCmdHelp = FourCC("phlp");
constexpr OSType kCmdShowLog = FourCC("elog");
constexpr OSType kCmdCheckUpdates = FourCC("ckud");
constexpr OSType kCmdAbout = FourCC("abtb");

// The windows' buttons and fields.
constexpr OSType kCmdAdvance = FourCC("fadv");
constexpr OSType kCmdFrame = FourCC("fram");
constexpr OSType kCmdExposureMultiplier = FourCC("expm");
constexpr OSType kCmdExposureAuto = FourCC("expa");
constexpr OSType kCmdExposureLocal = FourCC("expw");
constexpr OSType kCmdExposureHuman = FourCC("exph");
constexpr OSType kCmdShowSubject = FourCC("Subj");
constexpr OSType kCmdShowTitle = FourCC("Titl");
constexpr OSType kCmdShowOwner = FourCC("Ownr");
constexpr OSType kCmdShowKeyword = FourCC("Keyw");
constexpr OSType kCmdShowComment = FourCC("Comm");
constexpr OSType kCmdShowCaption = FourCC("Cptn");
constexpr OSType kCmdShowHistory = FourCC("Hist");
constexpr OSType kCmdShowField1 = FourCC("Oth1");
constexpr OSType kCmdShowField2 = FourCC("Oth2");
constexpr OSType kCmdShowField3 = FourCC("Oth3");
constexpr OSType kCmdShowField4 = FourCC("Oth4");
constexpr OSType kCmdShowField5 = FourCC("Oth5");
constexpr OSType kCmdShowField6 = FourCC("Oth6");
constexpr OSType kCmdShowField7 = FourCC("Oth7");
constexpr OSType kCmdShowField8 = FourCC("Oth8");
constexpr OSType kCmdShowField9 = FourCC("Oth9");
constexpr OSType kCmdFindUpdate = FourCC("fupd");
constexpr OSType kCmdFindList1 = FourCC("lst1");
constexpr OSType kCmdFindList2 = FourCC("lst2");
constexpr OSType kCmdSearchDisplay = FourCC("fdsp");
constexpr OSType kCmdSearchCatalog = FourCC("fcat");
constexpr OSType kCmdFalseColorAuto = FourCC("fcas");
constexpr OSType kCmdFalseColorSet = FourCC("fcud");
constexpr OSType kCmdHistoLuminance = FourCC("hlum");
constexpr OSType kCmdHistoRGB = FourCC("hrgb");
constexpr OSType kCmdHistoRed = FourCC("hred");
constexpr OSType kCmdHistoGreen = FourCC("hgrn");
constexpr OSType kCmdHistoBlue = FourCC("hblu");
constexpr OSType kCmdChooseField = FourCC("sfld");
constexpr OSType kCmdClearThumbnails = FourCC("ctnc");

// The answers of the dialogs.
constexpr OSType kResponseOK = FourCC("ok  ");
constexpr OSType kResponseCancel = FourCC("not!");
constexpr OSType kResponseCustom = FourCC("cstm");

// What a command needs and what it does.
enum PcommandTrait : unsigned {
  kNeedsSelection = 1u << 0,   // works on the selected records
  kNeedsCatalog = 1u << 1,     // works on the open catalogue
  kNeedsWindow = 1u << 2,      // a window's command: greyed when no window in front takes it
  kChangesRecords = 1u << 3,   // changes fields of records (or the catalogue)
  kWritesFiles = 1u << 4,      // writes, renames, deletes or makes files
  kReordersDisplay = 1u << 5,  // replaces or reorders the displayed records, or the catalogue
  kReplacesImage = 1u << 6,    // replaces the image window's images
  kBusyGuarded = 1u << 7,      // held back while work over the records pumps events
  kRunsWork = 1u << 8,         // long work over the records with its Stop: one runs at a time
  kPrintFormat = 1u << 9,      // changes the page format: held back while a document prints
};

// The traits of most setting commands: an edit of the selected records (from a window in front).
constexpr unsigned kSelectionEdit = kNeedsSelection | kChangesRecords | kBusyGuarded;
constexpr unsigned kWindowEdit = kSelectionEdit | kNeedsWindow;
// The traits of exports, printing and HDR or panorama making: files written by long work.
constexpr unsigned kFileWork = kWritesFiles | kRunsWork;

struct PcommandEntry {
  OSType code;
  unsigned traits;
};

inline constexpr PcommandEntry kCommandTable[] = {
    {kCmdRecentCatalog1, kReordersDisplay | kBusyGuarded},
    {kCmdRecentCatalog2, kReordersDisplay | kBusyGuarded},
    {kCmdRecentCatalog3, kReordersDisplay | kBusyGuarded},
    {kCmdRecentCatalog4, kReordersDisplay | kBusyGuarded},
    {kCmdRecentCatalog5, kReordersDisplay | kBusyGuarded},
    {kCmdOpenCatalog, kReordersDisplay | kBusyGuarded},
    {kCmdNewCatalog, kReordersDisplay | kBusyGuarded},
    {kCmdBrowseFolder, kReordersDisplay | kBusyGuarded},
    {kCmdOpenImage, kReplacesImage | kBusyGuarded},
    {kCmdImportRecords, kReordersDisplay | kBusyGuarded},
    {kCmdClose, kNeedsWindow | kReordersDisplay | kBusyGuarded},
    {kCmdSaveImage, kNeedsWindow | kWritesFiles},
    {kCmdExportImages, kNeedsWindow | kFileWork},
    {kCmdExportWebAlbum, kNeedsWindow | kFileWork},
    {kCmdExportRecords, kNeedsWindow | kFileWork},
    {kCmdExportCatalog, kNeedsCatalog | kNeedsWindow | kFileWork},
    {kCmdPageSetup, kPrintFormat},
    {kCmdPrint, kNeedsSelection | kFileWork},
    {kCmdPrintIndex, kFileWork},
    {kCmdQuit, 0},
    {kCmdUndo, kReordersDisplay | kBusyGuarded},
    {kCmdRedo, kReordersDisplay | kBusyGuarded},
    {kCmdCut, kNeedsSelection | kNeedsWindow | kReordersDisplay | kBusyGuarded},
    {kCmdCopy, kNeedsSelection | kNeedsWindow},
    {kCmdPaste, kNeedsWindow | kReordersDisplay | kBusyGuarded},
    {kCmdDeleteFiles,
     kNeedsSelection | kNeedsWindow | kWritesFiles | kReordersDisplay | kBusyGuarded},
    {kCmdClear, kNeedsSelection | kNeedsWindow | kReordersDisplay | kBusyGuarded},
    {kCmdClearWithImages, kNeedsSelection | kNeedsWindow | kReordersDisplay | kBusyGuarded},
    {kCmdSelectAll, kNeedsWindow},
    {kCmdSelectNone, 0},
    {kCmdInvertSelection, kNeedsWindow},
    {kCmdCopyFileNames, kNeedsSelection | kNeedsWindow},
    {kCmdCopyPositions, kNeedsWindow},
    {kCmdFind, kNeedsWindow | kReordersDisplay | kBusyGuarded},
    {kCmdFindNearby, kNeedsWindow | kReordersDisplay | kBusyGuarded},
    {kCmdPreferences, kWritesFiles},
    {kCmdPreviewThumbnails, kNeedsWindow},
    {kCmdLargeThumbnails, kNeedsWindow},
    {kCmdMediumThumbnails, kNeedsWindow},
    {kCmdSmallThumbnails, kNeedsWindow},
    {kCmdZoomIn, 0},
    {kCmdZoomOut, 0},
    {kCmdZoomToFit, 0},
    {kCmdActualSize, 0},
    {kCmdZoom1_8, 0},
    {kCmdZoom1_6, 0},
    {kCmdZoom1_4, 0},
    {kCmdZoom1_3, 0},
    {kCmdZoom1_2, 0},
    {kCmdZoom2_3, 0},
    {kCmdZoom3_2, 0},
    {kCmdZoom2_1, 0},
    {kCmdZoom3_1, 0},
    {kCmdZoom4_1, 0},
    {kCmdListSettings, kNeedsWindow},
    {kCmdListFile, kNeedsWindow},
    {kCmdListCapture, kNeedsWindow},
    {kCmdListOther, kNeedsWindow},
    {kCmdListAll, kNeedsWindow},
    {kCmdSortCurrent, kReordersDisplay | kBusyGuarded},
    {kCmdSortManual, kReordersDisplay | kBusyGuarded},
    {kCmdSortByDate, kReordersDisplay | kBusyGuarded},
    {kCmdSortByFile, kReordersDisplay | kBusyGuarded},
    {kCmdSortBySubject, kReordersDisplay | kBusyGuarded},
    {kCmdSortByTitle, kReordersDisplay | kBusyGuarded},
    {kCmdSortByOwner, kReordersDisplay | kBusyGuarded},
    {kCmdSynchronizeViews, kNeedsWindow},
    {kCmdHistogram, 0},
    {kCmdFalseColor, 0},
    {kCmdAddToCatalog, kNeedsSelection | kNeedsCatalog | kChangesRecords | kBusyGuarded},
    {kCmdDuplicate, kNeedsWindow | kReordersDisplay | kBusyGuarded},
    {kCmdInfo, kNeedsSelection},
    {kCmdReload, kNeedsWindow | kReordersDisplay | kBusyGuarded},
    {kCmdRenameFiles,
     kNeedsSelection | kNeedsWindow | kChangesRecords | kWritesFiles | kBusyGuarded},
    {kCmdSetSubject, kSelectionEdit},
    {kCmdRecentSubject1, kSelectionEdit},
    {kCmdRecentSubject2, kSelectionEdit},
    {kCmdRecentSubject3, kSelectionEdit},
    {kCmdRecentSubject4, kSelectionEdit},
    {kCmdRecentSubject5, kSelectionEdit},
    {kCmdRecentSubject6, kSelectionEdit},
    {kCmdRecentSubject7, kSelectionEdit},
    {kCmdSetOwner, kSelectionEdit},
    {kCmdRecentOwner1, kSelectionEdit},
    {kCmdRecentOwner2, kSelectionEdit},
    {kCmdRecentOwner3, kSelectionEdit},
    {kCmdRecentOwner4, kSelectionEdit},
    {kCmdRecentOwner5, kSelectionEdit},
    {kCmdSetAlbum, kSelectionEdit},
    {kCmdRecentAlbum1, kSelectionEdit},
    {kCmdRecentAlbum2, kSelectionEdit},
    {kCmdRecentAlbum3, kSelectionEdit},
    {kCmdRecentAlbum4, kSelectionEdit},
    {kCmdRecentAlbum5, kSelectionEdit},
    {kCmdRecentAlbum6, kSelectionEdit},
    {kCmdRecentAlbum7, kSelectionEdit},
    {kCmdSetKeyword, kSelectionEdit},
    {kCmdRecentKeyword1, kSelectionEdit},
    {kCmdRecentKeyword2, kSelectionEdit},
    {kCmdRecentKeyword3, kSelectionEdit},
    {kCmdRecentKeyword4, kSelectionEdit},
    {kCmdRecentKeyword5, kSelectionEdit},
    {kCmdRecentKeyword6, kSelectionEdit},
    {kCmdRecentKeyword7, kSelectionEdit},
    {kCmdRecentKeyword8, kSelectionEdit},
    {kCmdRecentKeyword9, kSelectionEdit},
    {kCmdSetField, kSelectionEdit},
    {kCmdSetField1, kSelectionEdit},
    {kCmdSetField2, kSelectionEdit},
    {kCmdSetField3, kSelectionEdit},
    {kCmdSetField4, kSelectionEdit},
    {kCmdSetField5, kSelectionEdit},
    {kCmdSetField6, kSelectionEdit},
    {kCmdSetField7, kSelectionEdit},
    {kCmdSetField8, kSelectionEdit},
    {kCmdSetField9, kSelectionEdit},
    {kCmdSetTitle, kWindowEdit},
    {kCmdSetCaption, kWindowEdit},
    {kCmdAddComment, kWindowEdit},
    {kCmdRepeatSetting, kWindowEdit},
    {kCmdAdjustDate, kWindowEdit},
    {kCmdSetDensity, kSelectionEdit},
    {kCmdMoveToPosition,
     kNeedsSelection | kNeedsWindow | kChangesRecords | kReordersDisplay | kBusyGuarded},
    {kCmdRotateRight, kWindowEdit},
    {kCmdRotateLeft, kWindowEdit},
    {kCmdRotate180, kWindowEdit},
    {kCmdFlipHorizontally, kWindowEdit},
    {kCmdFlipVertically, kWindowEdit},
    {kCmdSlideShow, kNeedsWindow | kReplacesImage | kBusyGuarded},
    {kCmdMakeHDR, kNeedsSelection | kNeedsWindow | kFileWork},
    {kCmdPanorama, kNeedsWindow | kFileWork},
    {kCmdCrop, kChangesRecords | kBusyGuarded},
    {kCmdRedEye, kChangesRecords | kBusyGuarded},
    {kCmdSpotMeter, kChangesRecords | kBusyGuarded},
    {kCmdCalibrate, kChangesRecords | kBusyGuarded},
    {kCmdPanoramaOrigin, kChangesRecords | kBusyGuarded},
    {kCmdPanoramaDestination, kChangesRecords | kBusyGuarded},
    {kCmdApplyOperator, 0},
    {kCmdHelp, 0},
    {kCmdShowLog, 0},
    {kCmdCheckUpdates, 0},
    {kCmdAbout, 0},
    {kCmdAdvance, 0},
    {kCmdFrame, 0},
    {kCmdExposureMultiplier, 0},
    {kCmdExposureAuto, 0},
    {kCmdExposureLocal, 0},
    {kCmdExposureHuman, 0},
    {kCmdShowSubject, 0},
    {kCmdShowTitle, 0},
    {kCmdShowOwner, 0},
    {kCmdShowKeyword, 0},
    {kCmdShowComment, 0},
    {kCmdShowCaption, 0},
    {kCmdShowHistory, 0},
    {kCmdShowField1, 0},
    {kCmdShowField2, 0},
    {kCmdShowField3, 0},
    {kCmdShowField4, 0},
    {kCmdShowField5, 0},
    {kCmdShowField6, 0},
    {kCmdShowField7, 0},
    {kCmdShowField8, 0},
    {kCmdShowField9, 0},
    {kCmdFindUpdate, 0},
    {kCmdFindList1, kWritesFiles},  // writes a list of the values the whole catalogue holds
    {kCmdFindList2, kWritesFiles},
    {kCmdSearchDisplay, kReordersDisplay | kBusyGuarded},
    {kCmdSearchCatalog, kNeedsCatalog | kReordersDisplay | kBusyGuarded},
    {kCmdFalseColorAuto, 0},
    {kCmdFalseColorSet, 0},
    {kCmdHistoLuminance, 0},
    {kCmdHistoRGB, 0},
    {kCmdHistoRed, 0},
    {kCmdHistoGreen, 0},
    {kCmdHistoBlue, 0},
    {kCmdChooseField, 0},
    {kCmdClearThumbnails, 0},
    {kResponseOK, 0},
    {kResponseCancel, 0},
    {kResponseCustom, 0},
};

// The traits of a code; 0 for a code outside the table.
constexpr unsigned PcommandTraits(OSType code) {
  for (const PcommandEntry& e : kCommandTable)
    if (e.code == code) return e.traits;
  return 0;
}

constexpr bool PcommandHas(OSType code, unsigned traits) {
  return (PcommandTraits(code) & traits) != 0;
}

// Signatures of the controls that code looks up by (signature, id).
constexpr OSType kSigPicture = FourCC("pict");
constexpr OSType kSigSelector = FourCC("slct");
constexpr OSType kSigInfo = FourCC("info");
constexpr OSType kSigInfoSettings = FourCC("iset");
constexpr OSType kSigInfoFile = FourCC("ifil");
constexpr OSType kSigInfoOrigin = FourCC("iorg");
constexpr OSType kSigInfoOther = FourCC("ioth");
constexpr OSType kSigImage = FourCC("imag");
constexpr OSType kSigConfirm = FourCC("cfrm");
constexpr OSType kSigAlert = FourCC("alrt");
constexpr OSType kSigInput = FourCC("inpt");
constexpr OSType kSigPosition = FourCC("posn");
constexpr OSType kSigOption = FourCC("optn");
constexpr OSType kSigProgress = FourCC("prgs");
constexpr OSType kSigPreferences = FourCC("pref");
constexpr OSType kSigFieldEdit = FourCC("efld");
constexpr OSType kSigFalseColor = FourCC("fclr");
