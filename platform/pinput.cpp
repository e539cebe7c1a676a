// Qt input on window contents turned into window events: a mouse press is a content click
// for the window's handlers (Qt's own tracking of the widget runs only when the standard
// handling asks for it), a release is queued as a mouse-up, a wheel turn is a wheel event, a
// key press a raw key event. Little arrows never see Qt input: the window's events step them.
#include <QAbstractSpinBox>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include "platform/ppriv.h"
#include "platform/pwindow.h"

namespace plat {

NativeClick g_nativeClick;

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

bool InsideSpinBox(QObject* o) {
  for (QObject* p = o; p != nullptr; p = p->parent())
    if (qobject_cast<QAbstractSpinBox*>(p)) return true;
  return false;
}

class InputFilter : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* o, QEvent* e) override {
    switch (e->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
      case QEvent::MouseButtonRelease:
      case QEvent::Wheel:
      case QEvent::KeyPress:
        break;
      default:
        return false;
    }
    if (!o->isWidgetType()) return false;
    QWidget* widget = static_cast<QWidget*>(o);
    WindowRec* w = WindowOfWidget(widget);
    if (w == nullptr || (widget != w->content && !w->content->isAncestorOf(widget))) return false;
    // An event a widget ignores travels on to its parents: it is one input, seen once.
    const QInputEvent* ie = static_cast<const QInputEvent*>(e);
    if (ie == last_ && ie->timestamp() == lastStamp_ && e->type() == lastType_) return false;
    last_ = ie;
    lastStamp_ = ie->timestamp();
    lastType_ = e->type();
    switch (e->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
        return Press(w, widget, static_cast<QMouseEvent*>(e));
      case QEvent::MouseButtonRelease:
        return Release(w, widget, static_cast<QMouseEvent*>(e));
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

  bool Press(WindowRec* w, QWidget* widget, QMouseEvent* me) {
    EventRef ev = MouseEvent(kEventClassWindow, kEventWindowClickContentRgn, me->globalPosition(),
                             me->modifiers());
    UInt32 clicks = me->type() == QEvent::MouseButtonDblClick ? 2 : 1;
    SetEventParameter(ev, kEventParamClickCount, typeUInt32, sizeof clicks, &clicks);
    NativeClick saved = g_nativeClick;
    g_nativeClick = NativeClick{true, false, widget};
    SendEventToEventTarget(ev, ToHandle<EventTargetRef>(w->target));
    bool deliver = g_nativeClick.deliver && !InsideSpinBox(widget);
    g_nativeClick = saved;
    ReleaseEvent(ev);
    swallowed_ = deliver ? nullptr : widget;
    return !deliver;
  }

  bool Release(WindowRec* w, QWidget* widget, QMouseEvent* me) {
    EventRef ev =
        MouseEvent(kEventClassMouse, kEventMouseUp, me->globalPosition(), me->modifiers());
    PostEventToQueue(GetMainEventQueue(), ev, ToHandle<EventTargetRef>(w->target));
    ReleaseEvent(ev);
    bool swallow = swallowed_ == widget || InsideSpinBox(widget);
    if (swallowed_ == widget) swallowed_ = nullptr;
    return swallow;
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
