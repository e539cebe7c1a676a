// Controls: the named widgets of a window's form, their kinds, values, text and events.
#include "platform/pcontrol.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStringDecoder>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <algorithm>
#include <cstring>

#include "platform/ppriv.h"
#include "platform/pwindow.h"

namespace plat {

Table<ControlRec>& Controls() {
  static auto* t = new Table<ControlRec>;
  return *t;
}

bool ValidUTF8(const char* s, size_t n) {
  QStringDecoder dec(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString out = dec(QByteArrayView(s, static_cast<qsizetype>(n)));
  return !dec.hasError();
}

namespace {

// "ssss:N": a four-character signature, a colon and a decimal id. A compiled form names the
// widget "ssss_N" (its names must be identifiers), which reads the same.
bool ParseName(const QString& name, ControlID* id) {
  QByteArray b = name.toLatin1();
  if (b.size() < 6 || (b[4] != ':' && b[4] != '_')) return false;
  bool ok = false;
  long v = QByteArray(b.constData() + 5).toLong(&ok);
  if (!ok) return false;
  id->signature = FourCC({b[0], b[1], b[2], b[3], 0});
  id->id = static_cast<SInt32>(v);
  return true;
}

ControlKind KindOf(QWidget* w) {
  if (qobject_cast<QCheckBox*>(w)) return kControlKindCheckBox;
  if (qobject_cast<QAbstractButton*>(w)) return kControlKindPushButton;
  if (qobject_cast<QLabel*>(w)) return kControlKindStaticText;
  if (qobject_cast<QLineEdit*>(w)) return kControlKindEditText;
  if (qobject_cast<QAbstractSpinBox*>(w)) return kControlKindLittleArrows;
  if (qobject_cast<QTabWidget*>(w)) return kControlKindTabs;
  return kControlKindUserPane;
}

ControlRec* Find(ControlRef c) {
  ControlRec* r = Controls().Find(c);
  return r != nullptr && r->widget != nullptr ? r : nullptr;
}

// Standard handling of control events: drawing repaints the widget.
OSStatus StandardControlHandler(EventRef event, uintptr_t owner) {
  ControlRec* c = Controls().Find(owner);
  if (c == nullptr || c->widget == nullptr || GetEventClass(event) != kEventClassControl ||
      GetEventKind(event) != kEventControlDraw)
    return eventNotHandledErr;
  c->widget->update();
  return noErr;
}

ControlRec* AddControl(WindowRec* w, QWidget* widget, const ControlID& cid) {
  ControlRec* c = new ControlRec;
  c->id = Controls().Add(c);
  c->window = w->id;
  c->target = NewTarget(w->target, StandardControlHandler, c->id);
  c->widget = widget;
  c->kind = KindOf(widget);
  c->cid = cid;
  QByteArray cmd = widget->property("command").toString().toLatin1();
  if (cmd.size() == 4) c->command = FourCC({cmd[0], cmd[1], cmd[2], cmd[3], 0});
  w->controls.push_back(c->id);
  const uintptr_t id = c->id;
  if (auto* b = qobject_cast<QAbstractButton*>(widget)) {
    QObject::connect(b, &QAbstractButton::clicked, [id] {
      if (ControlRec* r = Controls().Find(id))
        SendControlHit(r,
                       r->kind == kControlKindCheckBox ? kControlCheckBoxPart : kControlButtonPart);
    });
  } else if (auto* s = qobject_cast<QAbstractSpinBox*>(widget)) {
    // Little arrows take no focus and no typing; the window's events step them.
    s->setFocusPolicy(Qt::NoFocus);
    s->setReadOnly(true);
  } else if (auto* t = qobject_cast<QTabWidget*>(widget)) {
    QObject::connect(t, &QTabWidget::currentChanged, [id] {
      ControlRec* r = Controls().Find(id);
      if (r != nullptr && !r->settingValue) SendControlHit(r, kControlTabPart);
    });
  }
  return c;
}

}  // namespace

void SendControlHit(ControlRec* c, ControlPartCode part) {
  // The hit goes to the control, its window and the application; when no one takes it, the
  // control's command goes the same way.
  const uintptr_t target = c->target;
  const UInt32 command = c->command;
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

void DisposeControl(uintptr_t id) {
  ControlRec* c = Controls().Find(id);
  if (c == nullptr) return;
  DeleteTarget(c->target);
  Controls().Remove(id);
  delete c;
}

}  // namespace plat

using namespace plat;

// Makes controls of the named widgets of a new window's content; the pages of a tab control
// become its user panes, named or not.
void RegisterControls(WindowRec* w) {
  for (QWidget* widget : w->content->findChildren<QWidget*>()) {
    ControlID cid{0, 0};
    if (!ParseName(widget->objectName(), &cid)) continue;
    ControlRec* c = AddControl(w, widget, cid);
    if (auto* t = qobject_cast<QTabWidget*>(widget)) {
      for (int i = 0; i < t->count(); ++i) {
        ControlID pid{0, 0};
        QWidget* page = t->widget(i);
        // A page named itself is registered when the walk reaches it, after its tab control.
        if (ParseName(page->objectName(), &pid))
          c->subs.push_back(0);
        else
          c->subs.push_back(AddControl(w, page, pid)->id);
      }
    }
  }
  // Pages named themselves come after their tab control in the walk: fill them in.
  for (uintptr_t id : w->controls) {
    ControlRec* c = Controls().Find(id);
    auto* t = qobject_cast<QTabWidget*>(c->widget);
    if (t == nullptr) continue;
    for (int i = 0; i < t->count() && i < static_cast<int>(c->subs.size()); ++i)
      if (c->subs[i] == 0)
        for (uintptr_t other : w->controls)
          if (Controls().Find(other)->widget == t->widget(i)) c->subs[i] = other;
  }
}

OSStatus GetControlByID(WindowRef win, const ControlID* id, ControlRef* outControl) {
  if (outControl) *outControl = nullptr;
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || id == nullptr || outControl == nullptr) return paramErr;
  for (uintptr_t c : w->controls) {
    ControlRec* r = Controls().Find(c);
    if (r && r->cid.signature == id->signature && r->cid.id == id->id && r->cid.signature != 0) {
      *outControl = ToHandle<ControlRef>(c);
      return noErr;
    }
  }
  return errUnknownControl;
}

bool IsValidControlHandle(ControlRef c) {
  return Find(c) != nullptr;
}

ControlKind GetControlKind(ControlRef c) {
  ControlRec* r = Find(c);
  return r ? r->kind : kControlKindUnknown;
}

WindowRef GetControlOwner(ControlRef c) {
  ControlRec* r = Find(c);
  return r ? ToHandle<WindowRef>(r->window) : nullptr;
}

EventTargetRef GetControlEventTarget(ControlRef c) {
  ControlRec* r = Find(c);
  return r ? ToHandle<EventTargetRef>(r->target) : nullptr;
}

QWidget* PlatformControlWidget(ControlRef c) {
  ControlRec* r = Find(c);
  return r ? r->widget.data() : nullptr;
}

Rect* GetControlBounds(ControlRef c, Rect* bounds) {
  if (bounds == nullptr) return nullptr;
  *bounds = Rect{0, 0, 0, 0};
  ControlRec* r = Find(c);
  if (WindowRec* w = r ? Windows().Find(r->window) : nullptr) *bounds = LocalRect(w, r->widget);
  return bounds;
}

void SetControlBounds(ControlRef c, const Rect* b) {
  ControlRec* r = Find(c);
  WindowRec* w = r ? Windows().Find(r->window) : nullptr;
  if (w == nullptr || b == nullptr) return;
  QWidget* parent = r->widget->parentWidget();
  QPoint tl(b->left, b->top);
  if (parent != w->content) tl = parent->mapFrom(w->content, tl);
  r->widget->setGeometry(tl.x(), tl.y(), std::max(0, b->right - b->left),
                         std::max(0, b->bottom - b->top));
}

OSStatus SetControlVisibility(ControlRef c, bool visible, bool draw) {
  ControlRec* r = Find(c);
  if (r == nullptr) return errUnknownControl;
  r->widget->setVisible(visible);
  if (draw && visible) r->widget->update();
  return noErr;
}

bool IsControlVisible(ControlRef c) {
  ControlRec* r = Find(c);
  return r != nullptr && r->widget->isVisible();
}

bool IsControlLatentlyVisible(ControlRef c) {
  ControlRec* r = Find(c);
  return r != nullptr && !r->widget->isHidden();
}

OSStatus EnableControl(ControlRef c) {
  ControlRec* r = Find(c);
  if (r == nullptr) return errUnknownControl;
  r->widget->setEnabled(true);
  return noErr;
}

OSStatus DisableControl(ControlRef c) {
  ControlRec* r = Find(c);
  if (r == nullptr) return errUnknownControl;
  r->widget->setEnabled(false);
  return noErr;
}

bool IsControlEnabled(ControlRef c) {
  ControlRec* r = Find(c);
  return r != nullptr && r->widget->isEnabled();
}

void Draw1Control(ControlRef c) {
  ControlRec* r = Find(c);
  if (r != nullptr && r->widget->isVisible())
    SendEvent(kEventClassControl, kEventControlDraw, r->target);
}

SInt32 GetControlValue(ControlRef c) {
  ControlRec* r = Find(c);
  if (r == nullptr) return 0;
  if (auto* b = qobject_cast<QAbstractButton*>(r->widget)) return b->isChecked() ? 1 : 0;
  if (auto* s = qobject_cast<QSpinBox*>(r->widget)) return s->value();
  if (auto* t = qobject_cast<QTabWidget*>(r->widget)) return t->currentIndex() + 1;
  return 0;
}

void SetControlValue(ControlRef c, SInt32 value) {
  ControlRec* r = Find(c);
  if (r == nullptr) return;
  r->settingValue = true;
  if (auto* b = qobject_cast<QAbstractButton*>(r->widget)) {
    if (b->isCheckable()) b->setChecked(value != 0);
  } else if (auto* s = qobject_cast<QSpinBox*>(r->widget)) {
    s->setValue(value);
  } else if (auto* t = qobject_cast<QTabWidget*>(r->widget)) {
    if (t->count() > 0) t->setCurrentIndex(std::clamp<SInt32>(value, 1, t->count()) - 1);
  }
  r->settingValue = false;
}

SInt32 GetControlMinimum(ControlRef c) {
  ControlRec* r = Find(c);
  if (r == nullptr) return 0;
  if (auto* s = qobject_cast<QSpinBox*>(r->widget)) return s->minimum();
  if (qobject_cast<QTabWidget*>(r->widget)) return 1;
  return 0;
}

SInt32 GetControlMaximum(ControlRef c) {
  ControlRec* r = Find(c);
  if (r == nullptr) return 0;
  if (auto* b = qobject_cast<QAbstractButton*>(r->widget)) return b->isCheckable() ? 1 : 0;
  if (auto* s = qobject_cast<QSpinBox*>(r->widget)) return s->maximum();
  if (auto* t = qobject_cast<QTabWidget*>(r->widget)) return t->count();
  return 0;
}

void SetControlMinimum(ControlRef c, SInt32 value) {
  ControlRec* r = Find(c);
  if (auto* s = r ? qobject_cast<QSpinBox*>(r->widget) : nullptr) {
    r->settingValue = true;
    s->setMinimum(value);
    r->settingValue = false;
  }
}

void SetControlMaximum(ControlRef c, SInt32 value) {
  ControlRec* r = Find(c);
  if (auto* s = r ? qobject_cast<QSpinBox*>(r->widget) : nullptr) {
    r->settingValue = true;
    s->setMaximum(value);
    r->settingValue = false;
  }
}

OSStatus GetControlCommandID(ControlRef c, UInt32* command) {
  ControlRec* r = Find(c);
  if (r == nullptr || command == nullptr) return errUnknownControl;
  *command = r->command;
  return noErr;
}

OSStatus SetControlCommandID(ControlRef c, UInt32 command) {
  ControlRec* r = Find(c);
  if (r == nullptr) return errUnknownControl;
  r->command = command;
  return noErr;
}

ControlPartCode TestControl(ControlRef c, Point pt) {
  ControlRec* r = Find(c);
  WindowRec* w = r ? Windows().Find(r->window) : nullptr;
  if (w == nullptr || !r->widget->isVisible()) return kControlNoPart;
  Rect b = LocalRect(w, r->widget);
  if (pt.h < b.left || pt.h >= b.right || pt.v < b.top || pt.v >= b.bottom) return kControlNoPart;
  switch (r->kind) {
    case kControlKindLittleArrows: {
      auto* s = static_cast<QAbstractSpinBox*>(r->widget.data());
      QStyleOptionSpinBox opt;
      opt.initFrom(s);
      opt.subControls = QStyle::SC_All;
      opt.buttonSymbols = s->buttonSymbols();
      QPoint p(pt.h - b.left, pt.v - b.top);
      QStyle* st = s->style();
      if (st->subControlRect(QStyle::CC_SpinBox, &opt, QStyle::SC_SpinBoxUp, s).contains(p))
        return kControlUpButtonPart;
      if (st->subControlRect(QStyle::CC_SpinBox, &opt, QStyle::SC_SpinBoxDown, s).contains(p))
        return kControlDownButtonPart;
      return kControlNoPart;
    }
    case kControlKindPushButton:
      return kControlButtonPart;
    case kControlKindCheckBox:
      return kControlCheckBoxPart;
    case kControlKindEditText:
      return kControlEditTextPart;
    case kControlKindTabs:
      return kControlTabPart;
    default:
      return kControlNoPart;
  }
}

OSStatus GetIndexedSubControl(ControlRef c, UInt32 index, ControlRef* outSub) {
  if (outSub) *outSub = nullptr;
  ControlRec* r = Find(c);
  if (r == nullptr || outSub == nullptr || index < 1 || index > r->subs.size())
    return errUnknownControl;
  *outSub = ToHandle<ControlRef>(r->subs[index - 1]);
  return *outSub != nullptr ? noErr : errUnknownControl;
}

OSStatus GetTabContentRect(ControlRef c, Rect* outRect) {
  ControlRec* r = Find(c);
  WindowRec* w = r ? Windows().Find(r->window) : nullptr;
  auto* t = w ? qobject_cast<QTabWidget*>(r->widget) : nullptr;
  if (t == nullptr || outRect == nullptr) return errUnknownControl;
  QStackedWidget* stack = t->findChild<QStackedWidget*>();
  *outRect = LocalRect(w, stack ? static_cast<QWidget*>(stack) : t);
  return noErr;
}

namespace {
QString* TextOf(ControlRec* r, QString* out) {
  if (auto* l = qobject_cast<QLabel*>(r->widget)) return &(*out = l->text());
  if (auto* e = qobject_cast<QLineEdit*>(r->widget)) return &(*out = e->text());
  if (auto* b = qobject_cast<QAbstractButton*>(r->widget)) return &(*out = b->text());
  return nullptr;
}
}  // namespace

OSStatus SetControlData(ControlRef c, ControlPartCode, UInt32 tag, UInt32 size, const void* data) {
  ControlRec* r = Find(c);
  if (r == nullptr) return errUnknownControl;
  if (data == nullptr && size > 0) return paramErr;
  if (tag == kControlEditTextCFStringTag) {
    const char* s = static_cast<const char*>(data);
    if (!ValidUTF8(s, size)) return paramErr;
    QString text = QString::fromUtf8(s, static_cast<qsizetype>(size));
    if (auto* l = qobject_cast<QLabel*>(r->widget))
      l->setText(text);
    else if (auto* e = qobject_cast<QLineEdit*>(r->widget))
      e->setText(text);
    else if (auto* b = qobject_cast<QAbstractButton*>(r->widget))
      b->setText(text);
    else
      return errDataNotSupported;
    return noErr;
  }
  if (tag == kControlEditTextSelectionTag) {
    auto* e = qobject_cast<QLineEdit*>(r->widget);
    if (e == nullptr || size < sizeof(ControlEditTextSelectionRec)) return errDataNotSupported;
    ControlEditTextSelectionRec sel;
    std::memcpy(&sel, data, sizeof sel);
    int n = static_cast<int>(e->text().size());
    int a = std::clamp<int>(sel.selStart, 0, n), z = std::clamp<int>(sel.selEnd, a, n);
    e->setSelection(a, z - a);
    return noErr;
  }
  return errDataNotSupported;
}

OSStatus GetControlData(ControlRef c, ControlPartCode, UInt32 tag, UInt32 bufferSize, void* data,
                        UInt32* actualSize) {
  ControlRec* r = Find(c);
  if (r == nullptr) return errUnknownControl;
  QString text;
  if (tag != kControlEditTextCFStringTag || TextOf(r, &text) == nullptr) return errDataNotSupported;
  QByteArray b = text.toUtf8();
  UInt32 n = static_cast<UInt32>(b.size());
  if (actualSize) *actualSize = n;
  if (data != nullptr) std::memcpy(data, b.constData(), std::min(n, bufferSize));
  return noErr;
}

OSStatus GetControlDataSize(ControlRef c, ControlPartCode part, UInt32 tag, UInt32* size) {
  return GetControlData(c, part, tag, 0, nullptr, size);
}

OSStatus SetKeyboardFocus(WindowRef win, ControlRef c, ControlPartCode) {
  ControlRec* r = Find(c);
  if (r == nullptr || FromHandle(win) != r->window) return errUnknownControl;
  r->widget->setFocus(Qt::OtherFocusReason);
  return noErr;
}

void SetThemeCursor(ThemeCursor) {
  if (QGuiApplication::overrideCursor() != nullptr)
    QGuiApplication::changeOverrideCursor(QCursor(Qt::ArrowCursor));
}
