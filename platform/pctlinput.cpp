// What the user does to controls: hits with their part codes, control clicks, the parts under
// a point, tracking a click in a control, and scroll bars made in code.
#include <QAbstractButton>
#include <QAbstractSlider>
#include <QComboBox>
#include <QCoreApplication>
#include <QMouseEvent>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QStyleOptionSpinBox>
#include <QTabWidget>
#include <algorithm>

#include "platform/pcontrol.h"
#include "platform/ppriv.h"

namespace plat {

UInt32 PopupItemCommand(uintptr_t menu, int index);  // pmenu.cpp
void ListBarMoved(uintptr_t list);                   // plist.cpp

namespace {

ControlRec* Find(ControlRef c) {
  ControlRec* r = Controls().Find(c);
  return r != nullptr && r->widget != nullptr ? r : nullptr;
}

// Reports a part the user changed: a hit, or, while HandleControlClick tracks the control,
// only the part.
void UserChanged(uintptr_t id, ControlPartCode part, UInt32 command = 0) {
  ControlRec* r = Controls().Find(id);
  if (r == nullptr || r->settingValue) return;
  if (r->list) {
    ListBarMoved(r->list);
    return;
  }
  if (r->tracking) {
    r->trackedPart = part;
    return;
  }
  SendControlHit(r, part, command);
}

ControlPartCode PartOfAction(int action) {
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
      return kControlDownButtonPart;
    case QAbstractSlider::SliderSingleStepSub:
      return kControlUpButtonPart;
    case QAbstractSlider::SliderPageStepAdd:
      return kControlPageDownPart;
    case QAbstractSlider::SliderPageStepSub:
      return kControlPageUpPart;
    default:
      return kControlIndicatorPart;
  }
}

QStyleOptionSlider SliderOption(const QAbstractSlider* s) {
  QStyleOptionSlider opt;
  opt.initFrom(s);
  opt.subControls = QStyle::SC_All;
  opt.activeSubControls = QStyle::SC_None;
  opt.orientation = s->orientation();
  opt.minimum = s->minimum();
  opt.maximum = s->maximum();
  opt.sliderPosition = s->sliderPosition();
  opt.sliderValue = s->value();
  opt.singleStep = s->singleStep();
  opt.pageStep = s->pageStep();
  opt.upsideDown = s->invertedAppearance();
  if (s->orientation() == Qt::Horizontal) opt.state |= QStyle::State_Horizontal;
  if (auto* sl = qobject_cast<const QSlider*>(s)) {
    opt.tickPosition = sl->tickPosition();
    opt.tickInterval = sl->tickInterval();
    if (s->orientation() == Qt::Horizontal)
      opt.upsideDown = s->invertedAppearance() != (s->layoutDirection() == Qt::RightToLeft);
    else
      opt.upsideDown = !s->invertedAppearance();
  }
  return opt;
}

// The part of a scroll bar or slider under a point of its own.
ControlPartCode SliderPart(const QAbstractSlider* s, QPoint p) {
  QStyleOptionSlider opt = SliderOption(s);
  QStyle* st = s->style();
  if (qobject_cast<const QScrollBar*>(s)) {
    switch (st->hitTestComplexControl(QStyle::CC_ScrollBar, &opt, p, s)) {
      case QStyle::SC_ScrollBarSubLine:
        return kControlUpButtonPart;
      case QStyle::SC_ScrollBarAddLine:
        return kControlDownButtonPart;
      case QStyle::SC_ScrollBarSubPage:
        return kControlPageUpPart;
      case QStyle::SC_ScrollBarAddPage:
        return kControlPageDownPart;
      case QStyle::SC_ScrollBarSlider:
        return kControlIndicatorPart;
      default:
        return kControlNoPart;
    }
  }
  QRect handle = st->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, s);
  if (handle.contains(p)) return kControlIndicatorPart;
  // Beside the thumb: toward the minimum is "up".
  const bool before =
      s->orientation() == Qt::Horizontal ? p.x() < handle.left() : p.y() < handle.top();
  const bool toMin = before != opt.upsideDown;
  return toMin ? kControlPageUpPart : kControlPageDownPart;
}

}  // namespace

void WireControl(ControlRec* c) {
  const uintptr_t id = c->id;
  QWidget* widget = c->widget;
  if (auto* b = qobject_cast<QAbstractButton*>(widget)) {
    QObject::connect(b, &QAbstractButton::clicked, [id] {
      if (ControlRec* r = Controls().Find(id))
        UserChanged(id,
                    r->kind == kControlKindCheckBox ? kControlCheckBoxPart : kControlButtonPart);
    });
  } else if (auto* s = qobject_cast<QAbstractSpinBox*>(widget)) {
    // Little arrows take no focus and no typing; the window's events step them.
    s->setFocusPolicy(Qt::NoFocus);
    s->setReadOnly(true);
  } else if (auto* t = qobject_cast<QTabWidget*>(widget)) {
    QObject::connect(t, &QTabWidget::currentChanged, [id] { UserChanged(id, kControlTabPart); });
  } else if (auto* cb = qobject_cast<QComboBox*>(widget)) {
    QObject::connect(cb, QOverload<int>::of(&QComboBox::activated), [id](int index) {
      ControlRec* r = Controls().Find(id);
      if (r != nullptr) UserChanged(id, kControlMenuPart, PopupItemCommand(r->menu, index + 1));
    });
  } else if (auto* sl = qobject_cast<QAbstractSlider*>(widget)) {
    // A slider is a stop of the Tab chain, moved by the arrow keys; a scroll bar is not.
    sl->setFocusPolicy(qobject_cast<QSlider*>(sl) ? Qt::StrongFocus : Qt::NoFocus);
    // The change is made before the hit goes out, so that its handler reads the new value; a
    // thumb dragged without live tracking reports once, when it is released.
    QObject::connect(sl, &QAbstractSlider::actionTriggered, [id, sl](int action) {
      ControlRec* r = Controls().Find(id);
      if (r == nullptr || r->settingValue || action == QAbstractSlider::SliderNoAction) return;
      if (action == QAbstractSlider::SliderMove && sl->isSliderDown() && !sl->hasTracking()) return;
      r->settingValue = true;
      sl->setValue(sl->sliderPosition());
      r->settingValue = false;
      UserChanged(id, PartOfAction(action));
    });
  }
}

void SendControlHit(ControlRec* c, ControlPartCode part, UInt32 command) {
  // The hit goes to the control, its window and the application; when no one takes it, the
  // command goes the same way.
  const uintptr_t target = c->target;
  if (command == 0) command = c->command;
  EventRef ev = nullptr;
  CreateEvent(kEventClassControl, kEventControlHit, GetCurrentEventTime(), &ev);
  SetEventParameter(ev, kEventParamControlPart, typeControlPartCode, sizeof part, &part);
  ControlRef ref = ToHandle<ControlRef>(c->id);
  SetEventParameter(ev, kEventParamDirectObject, typeControlRef, sizeof ref, &ref);
  OSStatus r = SendEventToEventTarget(ev, ToHandle<EventTargetRef>(target));
  ReleaseEvent(ev);
  if (r != eventNotHandledErr || command == 0 || Targets().Find(target) == nullptr) return;
  HICommand cmd{kHICommandFromControl, command, nullptr, 0};
  CreateEvent(kEventClassCommand, kEventCommandProcess, GetCurrentEventTime(), &ev);
  SetEventParameter(ev, kEventParamDirectObject, typeHICommand, sizeof cmd, &cmd);
  SendEventToEventTarget(ev, ToHandle<EventTargetRef>(target));
  ReleaseEvent(ev);
}

bool SendControlClick(ControlRec* c, Point global, UInt32 modifiers) {
  EventRef ev = nullptr;
  CreateEvent(kEventClassControl, kEventControlClick, GetCurrentEventTime(), &ev);
  ControlRef ref = ToHandle<ControlRef>(c->id);
  SetEventParameter(ev, kEventParamDirectObject, typeControlRef, sizeof ref, &ref);
  SetEventParameter(ev, kEventParamMouseLocation, typeQDPoint, sizeof global, &global);
  SetEventParameter(ev, kEventParamKeyModifiers, typeUInt32, sizeof modifiers, &modifiers);
  OSStatus r = SendEventToEventTarget(ev, ToHandle<EventTargetRef>(c->target));
  ReleaseEvent(ev);
  return r == noErr;
}

}  // namespace plat

using namespace plat;

ControlPartCode TestControl(ControlRef c, Point pt) {
  ControlRec* r = Find(c);
  WindowRec* w = r ? Windows().Find(r->window) : nullptr;
  if (w == nullptr || !r->widget->isVisible()) return kControlNoPart;
  Rect b = LocalRect(w, r->widget);
  if (pt.h < b.left || pt.h >= b.right || pt.v < b.top || pt.v >= b.bottom) return kControlNoPart;
  const QPoint p(pt.h - b.left, pt.v - b.top);
  switch (r->kind) {
    case kControlKindLittleArrows: {
      auto* s = static_cast<QAbstractSpinBox*>(r->widget.data());
      QStyleOptionSpinBox opt;
      opt.initFrom(s);
      opt.subControls = QStyle::SC_All;
      opt.buttonSymbols = s->buttonSymbols();
      QStyle* st = s->style();
      if (st->subControlRect(QStyle::CC_SpinBox, &opt, QStyle::SC_SpinBoxUp, s).contains(p))
        return kControlUpButtonPart;
      if (st->subControlRect(QStyle::CC_SpinBox, &opt, QStyle::SC_SpinBoxDown, s).contains(p))
        return kControlDownButtonPart;
      return kControlNoPart;
    }
    case kControlKindScrollBar:
    case kControlKindSlider:
      return SliderPart(static_cast<QAbstractSlider*>(r->widget.data()), p);
    case kControlKindPushButton:
      return kControlButtonPart;
    case kControlKindCheckBox:
      return kControlCheckBoxPart;
    case kControlKindEditText:
      return kControlEditTextPart;
    case kControlKindTabs:
      return kControlTabPart;
    case kControlKindPopupButton:
      return kControlMenuPart;
    default:
      return kControlNoPart;
  }
}

ControlPartCode HandleControlClick(ControlRef c, Point pt, UInt32, ControlActionUPP actionProc) {
  ControlRec* r = Find(c);
  if (r == nullptr || actionProc != nullptr) return kControlNoPart;
  const ControlPartCode part = TestControl(c, pt);
  if (part == kControlNoPart || !r->widget->isEnabled()) return kControlNoPart;
  if (!g_nativeClick.active || g_nativeClick.delivered || g_nativeClick.event == nullptr)
    return part;
  // The control takes the press now, where it was made, and follows the mouse from there.
  const QMouseEvent* me = g_nativeClick.event;
  QWidget* widget = r->widget;
  QMouseEvent press(QEvent::MouseButtonPress, widget->mapFromGlobal(me->globalPosition()),
                    me->globalPosition(), me->button(), me->buttons(), me->modifiers(),
                    me->pointingDevice());
  const QMouseEvent* original = g_nativeClick.event;
  g_nativeClick.event = &press;
  g_nativeClick.delivered = true;
  const uintptr_t id = r->id;
  r->tracking = true;
  r->trackedPart = kControlNoPart;
  QCoreApplication::sendEvent(widget, &press);
  g_nativeClick.event = original;
  for (;;) {
    MouseTrackingResult res = 0;
    TrackMouseLocation(nullptr, nullptr, &res);
    if (res != kMouseTrackingMouseDragged) break;
  }
  r = Controls().Find(id);
  if (r == nullptr) return kControlNoPart;
  r->tracking = false;
  if (part == kControlIndicatorPart) return part;
  // Released over the part it pressed, or nothing.
  Point where{0, 0};
  GetGlobalMouse(&where);
  WindowRec* w = Windows().Find(r->window);
  if (w == nullptr) return kControlNoPart;
  QPoint local = w->content->mapFromGlobal(QPoint(where.h, where.v));
  const ControlPartCode released = TestControl(c, Point{short(local.y()), short(local.x())});
  return released == part ? part : ControlPartCode(kControlNoPart);
}

OSStatus CreateScrollBarControl(WindowRef win, const Rect* bounds, SInt32 value, SInt32 minimum,
                                SInt32 maximum, SInt32 viewSize, bool liveTracking,
                                ControlActionUPP actionProc, ControlRef* outControl) {
  if (outControl) *outControl = nullptr;
  WindowRec* w = Windows().Find(win);
  if (w == nullptr) return errInvalidWindowRef;
  if (bounds == nullptr || outControl == nullptr || actionProc != nullptr || maximum < minimum)
    return paramErr;
  const QRect r = ToQRect(*bounds);
  auto* sb = new QScrollBar(r.width() > r.height() ? Qt::Horizontal : Qt::Vertical, w->content);
  sb->setGeometry(r);
  sb->setRange(minimum, maximum);
  sb->setPageStep(std::max<SInt32>(1, viewSize));
  sb->setValue(value);
  sb->setTracking(liveTracking);
  sb->show();
  ControlRec* c = AddControl(w, sb, ControlID{0, 0});
  c->madeInCode = true;
  *outControl = ToHandle<ControlRef>(c->id);
  return noErr;
}
