// Qt input on window contents turned into window events: a mouse press is a content click
// for the window's handlers (Qt's own tracking of the widget runs only when the standard
// handling asks for it), a release is a mouse-up, a move a mouse-moved or mouse-dragged event,
// a wheel turn a wheel event, a key press a raw key event. Little arrows never see Qt input: the
// window's events step them. Mouse trackers see the mouse first, and a menu shortcut updates
// its item before Qt decides whether it is enabled.
#include <QAbstractSpinBox>
#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QWheelEvent>

#include "platform/ppriv.h"
#include "platform/pwindow.h"

namespace plat {

NativeClick g_nativeClick;
void UpdateShortcutItems(const QKeyEvent* e);  // pmenu.cpp
bool IsMenuItemAction(const QObject* o);       // pmenu.cpp

namespace {

UInt32 Modifiers(Qt::KeyboardModifiers m) {
  UInt32 r = 0;
  if (m & Qt::ShiftModifier) r |= shiftKey;
  if (m & Qt::ControlModifier) r |= cmdKey;
  if (m & Qt::AltModifier) r |= optionKey;
  if (m & Qt::MetaModifier) r |= controlKey;
  return r;
}

Point GlobalPoint(QPointF p) {
  return Point{static_cast<short>(p.y()), static_cast<short>(p.x())};
}

// A new event of the class and kind carrying the mouse location and the modifiers.
EventRef MouseEvent(UInt32 cls, UInt32 kind, QPointF global, Qt::KeyboardModifiers m) {
  EventRef ev = nullptr;
  CreateEvent(cls, kind, GetCurrentEventTime(), &ev);
  Point pt = GlobalPoint(global);
  UInt32 mods = Modifiers(m);
  SetEventParameter(ev, kEventParamMouseLocation, typeQDPoint, sizeof pt, &pt);
  SetEventParameter(ev, kEventParamKeyModifiers, typeUInt32, sizeof mods, &mods);
  return ev;
}

EventMouseButton ButtonOf(Qt::MouseButton b) {
  switch (b) {
    case Qt::RightButton:
      return kEventMouseButtonSecondary;
    case Qt::MiddleButton:
      return kEventMouseButtonTertiary;
    default:
      return kEventMouseButtonPrimary;
  }
}

bool InsideSpinBox(QObject* o) {
  for (QObject* p = o; p != nullptr; p = p->parent())
    if (qobject_cast<QAbstractSpinBox*>(p)) return true;
  return false;
}

class InputFilter : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* o, QEvent* e) override {
    // While the program or Qt waits on a modal dialog, a menu's shortcut does nothing.
    if (e->type() == QEvent::Shortcut) return IsMenuItemAction(o) && InModalWait();
    if (e->type() == QEvent::FocusOut) return KeepSelectionForMenu(o, static_cast<QFocusEvent*>(e));
    switch (e->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseMove:
      case QEvent::Wheel:
      case QEvent::KeyPress:
      case QEvent::ShortcutOverride:
        break;
      default:
        return false;
    }
    if (!o->isWidgetType()) return false;
    QWidget* widget = static_cast<QWidget*>(o);
    // An event a widget ignores travels on to its parents: it is one input, seen once.
    const QInputEvent* ie = static_cast<const QInputEvent*>(e);
    if (ie == last_ && ie->timestamp() == lastStamp_ && e->type() == lastType_) return false;
    last_ = ie;
    lastStamp_ = ie->timestamp();
    lastType_ = e->type();
    if (e->type() == QEvent::ShortcutOverride) {
      UpdateShortcutItems(static_cast<QKeyEvent*>(e));
      return false;
    }
    if (e->type() == QEvent::KeyPress) {
      auto* ke = static_cast<QKeyEvent*>(e);
      if (ke->key() == Qt::Key_Escape && FeedMouseTracker(kMouseTrackingUserCancelled)) return true;
    } else if (e->type() != QEvent::Wheel) {
      auto* me = static_cast<QMouseEvent*>(e);
      MouseState& m = Mouse();
      m.global = me->globalPosition();
      m.known = true;
      m.buttons = me->buttons();
      m.modifiers = Modifiers(me->modifiers());
      if (e->type() == QEvent::MouseMove) CursorMoved();
    }
    if (g_nativeClick.active && g_nativeClick.event == e) return false;  // handed on by us

    switch (e->type()) {
      case QEvent::MouseMove:
        return Move(widget, static_cast<QMouseEvent*>(e));
      case QEvent::MouseButtonRelease:
        return Release(widget, static_cast<QMouseEvent*>(e));
      default:
        break;
    }
    WindowRec* w = WindowOfWidget(widget);
    if (w == nullptr) return false;
    // A window none of whose controls has the focus (one without any that take it) gets its
    // keys itself.
    if (e->type() == QEvent::KeyPress && widget == FrameOf(w))
      return Key(w, widget, static_cast<QKeyEvent*>(e));
    if (widget != w->content && !w->content->isAncestorOf(widget)) return false;
    switch (e->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
        return Press(w, widget, static_cast<QMouseEvent*>(e));
      case QEvent::Wheel:
        return Wheel(w, widget, static_cast<QWheelEvent*>(e));
      default:
        return Key(w, widget, static_cast<QKeyEvent*>(e));
    }
  }

 private:
  QWidget* swallowed_ = nullptr;  // the widget whose press Qt did not get
  const QInputEvent* last_ = nullptr;
  quint64 lastStamp_ = 0;
  QEvent::Type lastType_ = QEvent::None;

  // A text field keeps its selection while the menu bar holds the keyboard (Alt pressed), as it
  // does for a menu that pops up, so that the Edit menu's Cut and Copy find it; the window
  // remembers the field for them.
  static bool KeepSelectionForMenu(QObject* o, QFocusEvent* fe) {
    if (fe->reason() != Qt::MenuBarFocusReason || !o->isWidgetType()) return false;
    auto* widget = static_cast<QWidget*>(o);
    if (WindowRec* w = WindowOfWidget(widget)) w->menuBarTookFocusFrom = widget;
    auto* edit = qobject_cast<QLineEdit*>(widget);
    if (edit == nullptr) return false;
    QFocusEvent popup(QEvent::FocusOut, Qt::PopupFocusReason);
    QCoreApplication::sendEvent(edit, &popup);
    return true;
  }

  static WindowRec* ContentWindow(QWidget* widget) {
    WindowRec* w = WindowOfWidget(widget);
    if (w == nullptr || (widget != w->content && !w->content->isAncestorOf(widget))) return nullptr;
    return w;
  }

  bool Press(WindowRec* w, QWidget* widget, QMouseEvent* me) {
    Mouse().pendingMove = false;
    swallowed_ = nullptr;  // a release seen during the dispatch is not this press's
    EventRef ev = MouseEvent(kEventClassWindow, kEventWindowClickContentRgn, me->globalPosition(),
                             me->modifiers());
    UInt32 clicks = me->type() == QEvent::MouseButtonDblClick ? 2 : 1;
    EventMouseButton button = ButtonOf(me->button());
    SetEventParameter(ev, kEventParamClickCount, typeUInt32, sizeof clicks, &clicks);
    SetEventParameter(ev, kEventParamMouseButton, typeMouseButton, sizeof button, &button);
    NativeClick saved = g_nativeClick;
    g_nativeClick = NativeClick{true, false, false, widget, me};
    SendEventToEventTarget(ev, ToHandle<EventTargetRef>(w->target));
    const bool delivered = g_nativeClick.delivered;
    const bool deliver = g_nativeClick.deliver && !delivered && !InsideSpinBox(widget);
    g_nativeClick = saved;
    ReleaseEvent(ev);
    swallowed_ = deliver || delivered ? nullptr : widget;
    return !deliver;
  }

  bool Release(QWidget* widget, QMouseEvent* me) {
    const bool swallow = swallowed_ == widget || InsideSpinBox(widget);
    if (swallowed_ == widget) swallowed_ = nullptr;
    if (FeedMouseTracker(kMouseTrackingMouseUp)) return swallow;
    if (WindowRec* w = ContentWindow(widget)) {
      EventRef ev =
          MouseEvent(kEventClassMouse, kEventMouseUp, me->globalPosition(), me->modifiers());
      DeliverEvent(ev, w->target);
      ReleaseEvent(ev);
    }
    return swallow;
  }

  bool Move(QWidget* widget, QMouseEvent* me) {
    const bool held = me->buttons() != Qt::NoButton;
    if (held && FeedMouseTracker(kMouseTrackingMouseDragged)) return false;
    if (held) Mouse().pendingMove = true;
    if (WindowRec* w = ContentWindow(widget)) {
      EventRef ev = MouseEvent(kEventClassMouse, held ? kEventMouseDragged : kEventMouseMoved,
                               me->globalPosition(), me->modifiers());
      SendEventToEventTarget(ev, ToHandle<EventTargetRef>(w->target));
      ReleaseEvent(ev);
    }
    return held && swallowed_ == widget;
  }

  bool Wheel(WindowRec* w, QWidget* widget, QWheelEvent* we) {
    QPoint d = we->angleDelta();
    if (d.isNull()) return InsideSpinBox(widget);
    EventMouseWheelAxis axis = d.y() != 0 ? kEventMouseWheelAxisY : kEventMouseWheelAxisX;
    // One notch is 120; a positive delta turns the wheel up (or left).
    SInt32 delta = (axis == kEventMouseWheelAxisY ? d.y() : d.x()) / 120;
    if (delta == 0) delta = (axis == kEventMouseWheelAxisY ? d.y() : d.x()) > 0 ? 1 : -1;
    EventRef ev =
        MouseEvent(kEventClassMouse, kEventMouseWheelMoved, we->globalPosition(), we->modifiers());
    SetEventParameter(ev, kEventParamMouseWheelAxis, typeMouseWheelAxis, sizeof axis, &axis);
    SetEventParameter(ev, kEventParamMouseWheelDelta, typeLongInteger, sizeof delta, &delta);
    OSStatus r = SendEventToEventTarget(ev, ToHandle<EventTargetRef>(w->target));
    ReleaseEvent(ev);
    return r == noErr || InsideSpinBox(widget);
  }

  bool Key(WindowRec* w, QWidget* widget, QKeyEvent* ke) {
    EventRef ev = nullptr;
    CreateEvent(kEventClassKeyboard, kEventRawKeyDown, GetCurrentEventTime(), &ev);
    UInt32 code = static_cast<UInt32>(ke->key());
    UInt32 mods = Modifiers(ke->modifiers());
    QByteArray text = ke->text().toUtf8();
    SetEventParameter(ev, kEventParamKeyCode, typeUInt32, sizeof code, &code);
    SetEventParameter(ev, kEventParamKeyModifiers, typeUInt32, sizeof mods, &mods);
    SetEventParameter(ev, kEventParamKeyText, typeUTF8Text, static_cast<UInt32>(text.size()),
                      text.constData());
    OSStatus r = SendEventToEventTarget(ev, ToHandle<EventTargetRef>(w->target));
    ReleaseEvent(ev);
    return r == noErr || InsideSpinBox(widget);
  }
};

}  // namespace

void InstallInputFilter() {
  static InputFilter* f = nullptr;
  if (f != nullptr) return;
  f = new InputFilter(QCoreApplication::instance());
  QCoreApplication::instance()->installEventFilter(f);
}

}  // namespace plat
