// Basic types, results and constants of the platform layer that windows, controls, events,
// menus and lists stand on. Geometry is 16-bit: a Rect is (top, left, bottom, right) with the
// right and bottom edges exclusive; a Point is (v, h) (the cells of lists count 32-bit rows, in
// plist.h). Every object is reached through a handle
// that the layer checks before use: a handle whose object is gone is refused, never followed.
#pragma once

#include <cstdint>

typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef int16_t SInt16;
typedef uint16_t UInt16;
typedef int32_t OSStatus;
typedef uint32_t OSType;
typedef uint32_t FourCharCode;
typedef unsigned char Boolean;
typedef double EventTime;  // seconds on the platform clock
typedef EventTime EventTimeout;

// Timeouts of waits: no waiting at all, or no limit.
constexpr EventTime kEventDurationNoWait = 0.0;
constexpr EventTime kEventDurationForever = -1.0;

struct Rect {
  short top, left, bottom, right;
};

struct Point {
  short v, h;
};

struct RGBColor {
  unsigned short red, green, blue;
};

// Builds a four-character code such as 'wind' from its text.
constexpr UInt32 FourCC(const char (&s)[5]) {
  return (UInt32(uint8_t(s[0])) << 24) | (UInt32(uint8_t(s[1])) << 16) |
         (UInt32(uint8_t(s[2])) << 8) | UInt32(uint8_t(s[3]));
}

// Handles. Their values are identities the layer looks up; they are never dereferenced.
typedef struct OpaqueWindowPtr* WindowPtr;
typedef WindowPtr WindowRef;
typedef struct OpaqueControlRef* ControlRef;
typedef struct OpaqueGrafPtr* GrafPtr;
typedef struct OpaqueGDHandle* GDHandle;
typedef struct OpaqueEventRef* EventRef;
typedef struct OpaqueEventTargetRef* EventTargetRef;
typedef struct OpaqueEventHandlerRef* EventHandlerRef;
typedef struct OpaqueEventHandlerCallRef* EventHandlerCallRef;
typedef struct OpaqueEventLoopTimerRef* EventLoopTimerRef;
typedef struct OpaqueEventQueueRef* EventQueueRef;
typedef struct OpaqueMenuRef* MenuRef;
typedef struct OpaqueListHandle* ListHandle;
typedef struct OpaqueIBNibRef* IBNibRef;

typedef UInt32 MenuCommand;
typedef unsigned short MenuItemIndex;
typedef SInt16 ControlPartCode;

// Results.
enum : OSStatus {
  noErr = 0,
  paramErr = -50,
  memFullErr = -108,
  eventNotHandledErr = -9874,
  eventParameterNotFoundErr = -9870,
  eventLoopTimedOutErr = -9875,
  eventLoopQuitErr = -9876,  // the application is quitting: every wait ends
  userCanceledErr = -128,
  eventInternalErr = -9868,
  errUnknownControl = -30584,
  errDataNotSupported = -30583,
  errInvalidWindowRef = -5600,
  menuItemNotFoundErr = -5620,
  nibFileNotFoundErr = -10,
  resNotFound = -192
};

// Event classes and kinds.
enum : UInt32 {
  kEventClassMouse = FourCC("mous"),
  kEventClassKeyboard = FourCC("keyb"),
  kEventClassWindow = FourCC("wind"),
  kEventClassControl = FourCC("cntl"),
  kEventClassCommand = FourCC("cmds"),
  kEventClassApplication = FourCC("appl")
};

enum : UInt32 {
  kEventMouseDown = 1,
  kEventMouseUp = 2,
  kEventMouseMoved = 5,    // no button held; sent to the window under the mouse
  kEventMouseDragged = 6,  // a button held; sent to the window that took the press
  kEventMouseWheelMoved = 10,
  kEventRawKeyDown = 1,
  kEventWindowActivated = 5,
  kEventWindowDeactivated = 6,
  kEventWindowShown = 24,
  kEventWindowHidden = 25,
  kEventWindowResizeCompleted = 29,
  kEventWindowClickContentRgn = 37,
  kEventWindowClose = 72,
  kEventWindowZoomed = 76,
  kEventWindowGetMinimumSize = 81,
  kEventWindowFocusAcquired = 200,
  kEventWindowFocusRelinquish = 201,
  kEventControlHit = 1,
  kEventControlDraw = 4,
  kEventControlClick = 13,  // a click on a control, before the control tracks it
  kEventCommandProcess = 1,
  kEventCommandUpdateStatus = 2
};

// Event parameter names and types.
enum : UInt32 {
  kEventParamDirectObject = FourCC("----"),
  kEventParamMouseLocation = FourCC("mloc"),
  kEventParamKeyModifiers = FourCC("kmod"),
  kEventParamClickCount = FourCC("ccnt"),
  kEventParamMouseWheelAxis = FourCC("mwax"),
  kEventParamMouseWheelDelta = FourCC("mwdl"),
  kEventParamDimensions = FourCC("dims"),
  kEventParamControlPart = FourCC("cprt"),
  kEventParamWindowRef = FourCC("wind"),
  kEventParamControlRef = FourCC("ctrl"),
  kEventParamKeyCode = FourCC("kcod"),
  kEventParamKeyText = FourCC("ktxt"),
  kEventParamMouseButton = FourCC("mbtn"),  // typeMouseButton: 1 primary, 2 secondary, 3 middle

  typeQDPoint = FourCC("QDpt"),
  typeUInt32 = FourCC("magn"),
  typeSInt32 = FourCC("long"),
  typeLongInteger = FourCC("long"),
  typeMouseWheelAxis = FourCC("mwax"),
  typeHICommand = FourCC("hcmd"),
  typeControlRef = FourCC("ctrl"),
  typeWindowRef = FourCC("wind"),
  typeControlPartCode = FourCC("cprt"),
  typeUTF8Text = FourCC("utf8"),
  typeMouseButton = FourCC("mbtn"),
  typeWildCard = FourCC("****")
};

typedef UInt32 EventParamName;
typedef UInt32 EventParamType;
typedef unsigned short EventMouseButton;
enum : EventMouseButton {
  kEventMouseButtonPrimary = 1,
  kEventMouseButtonSecondary = 2,
  kEventMouseButtonTertiary = 3
};
typedef unsigned short EventMouseWheelAxis;
enum : EventMouseWheelAxis { kEventMouseWheelAxisX = 0, kEventMouseWheelAxisY = 1 };

// Keyboard modifier bits of kEventParamKeyModifiers.
enum : UInt32 { cmdKey = 1 << 8, shiftKey = 1 << 9, optionKey = 1 << 11, controlKey = 1 << 12 };

struct EventTypeSpec {
  UInt32 eventClass;
  UInt32 eventKind;
};

// The command of a menu item or a control, as a command event carries it.
struct HICommand {
  UInt32 attributes;
  UInt32 commandID;
  MenuRef menuRef;
  MenuItemIndex menuItemIndex;
};
enum : UInt32 { kHICommandFromMenu = 1, kHICommandFromControl = 2 };

// A control of a window is named by its signature and id, as its interface description gives
// them (an objectName such as "pict:3").
struct ControlID {
  OSType signature;
  SInt32 id;
};

// Control part codes. A scroll bar or slider reports its arrows (up/left, down/right), the
// page areas beside its thumb and the thumb (indicator); a pop-up button its menu.
enum : ControlPartCode {
  kControlNoPart = 0,
  kControlMenuPart = 2,
  kControlEditTextPart = 5,
  kControlButtonPart = 10,
  kControlCheckBoxPart = 11,
  kControlUpButtonPart = 20,
  kControlDownButtonPart = 21,
  kControlPageUpPart = 22,
  kControlPageDownPart = 23,
  kControlTabPart = 24,
  kControlIndicatorPart = 129
};

// Control data tags.
enum : UInt32 {
  kControlEntireControl = 0,
  kControlEditTextCFStringTag = FourCC("cfst"),
  kControlEditTextSelectionTag = FourCC("sele"),
  kControlEditTextLockedTag = FourCC("lock")  // a Boolean: the text shows but takes no typing
};

struct ControlEditTextSelectionRec {
  SInt16 selStart, selEnd;
};

enum WindowRegionCode { kWindowStructureRgn = 32, kWindowContentRgn = 33 };
