// Controls: the named widgets of a window's form, their kinds, values, text and focus.
#include "platform/pcontrol.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStringDecoder>
#include <QTabWidget>
#include <QTextEdit>
#include <algorithm>
#include <cstring>

#include "platform/ppriv.h"
#include "platform/pqt.h"
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

void WireControl(ControlRec* c);           // pctlinput.cpp
uintptr_t NewPopupMenu(QComboBox* combo);  // pmenu.cpp
void ForgetPopupMenu(uintptr_t menu);      // pmenu.cpp

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
  if (qobject_cast<QLineEdit*>(w) || qobject_cast<QPlainTextEdit*>(w) ||
      qobject_cast<QTextEdit*>(w))
    return kControlKindEditText;
  if (qobject_cast<QAbstractSpinBox*>(w)) return kControlKindLittleArrows;
  if (qobject_cast<QTabWidget*>(w)) return kControlKindTabs;
  if (qobject_cast<QComboBox*>(w)) return kControlKindPopupButton;
  if (qobject_cast<QProgressBar*>(w)) return kControlKindProgressBar;
  if (qobject_cast<QScrollBar*>(w)) return kControlKindScrollBar;
  if (qobject_cast<QAbstractSlider*>(w)) return kControlKindSlider;
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

// Greys the control while the command gate refuses its command.
void Regate(ControlRec* r) {
  const bool gated = CommandRefused(r->command);
  if (r->widget == nullptr || gated == r->gated) return;
  r->gated = gated;
  r->widget->setEnabled(r->wanted && !gated);
}

// Runs f with the control's own changes kept from sending hits.
template <class F>
void Setting(ControlRec* r, F f) {
  const bool was = r->settingValue;
  r->settingValue = true;
  f();
  r->settingValue = was;
}

}  // namespace

ControlRec* AddControl(WindowRec* w, QWidget* widget, const ControlID& cid) {
  ControlRec* c = new ControlRec;
  c->id = Controls().Add(c);
  c->window = w->id;
  c->target = NewTarget(w->target, StandardControlHandler, c->id);
  c->widget = widget;
  c->kind = widget == w->content ? kControlKindUserPane : KindOf(widget);
  c->cid = cid;
  QByteArray cmd = widget->property("command").toString().toLatin1();
  if (cmd.size() == 4) c->command = FourCC({cmd[0], cmd[1], cmd[2], cmd[3], 0});
  c->wanted = !widget->testAttribute(Qt::WA_ForceDisabled);
  w->controls.push_back(c->id);
  if (auto* combo = qobject_cast<QComboBox*>(widget)) c->menu = NewPopupMenu(combo);
  if (widget != w->content) WireControl(c);
  return c;
}

void ForgetControl(uintptr_t id) {
  ControlRec* c = Controls().Find(id);
  if (c == nullptr) return;
  if (WindowRec* w = Windows().Find(c->window)) {
    auto& v = w->controls;
    v.erase(std::remove(v.begin(), v.end(), id), v.end());
    if (w->defaultButton == id) w->defaultButton = 0;
    if (w->cancelButton == id) w->cancelButton = 0;
  }
  if (c->menu) ForgetPopupMenu(c->menu);
  if (c->madeInCode && c->widget) {
    c->widget->hide();
    c->widget->deleteLater();
  }
  DeleteTarget(c->target);
  Controls().Remove(id);
  delete c;
}

}  // namespace plat

using namespace plat;

// Makes controls of the named widgets of a new window's content; the pages of a tab control
// become its user panes, named or not.
// Every label shows its text as it is: the program's labels hold names of files and texts of
// records, which may look like markup ("<b>x</b>.jpg"), and none of them is rich text.
void RegisterControls(WindowRec* w) {
  for (QWidget* widget : w->content->findChildren<QWidget*>()) {
    if (auto* l = qobject_cast<QLabel*>(widget)) l->setTextFormat(Qt::PlainText);
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

OSStatus CreateRootControl(WindowRef win, ControlRef* outControl) {
  WindowRec* w = Windows().Find(win);
  if (outControl) *outControl = nullptr;
  if (w == nullptr || outControl == nullptr) return errInvalidWindowRef;
  *outControl = ToHandle<ControlRef>(w->root);
  return noErr;
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
  if (w == nullptr || b == nullptr || r->widget == w->content) return;
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
  r->wanted = true;
  r->widget->setEnabled(!r->gated);
  return noErr;
}

OSStatus DisableControl(ControlRef c) {
  ControlRec* r = Find(c);
  if (r == nullptr) return errUnknownControl;
  r->wanted = false;
  r->widget->setEnabled(false);
  return noErr;
}

void UpdateGatedControls() {
  for (const auto& kv : Controls().All()) Regate(kv.second);
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
  QWidget* w = r->widget;
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->isChecked() ? 1 : 0;
  if (auto* s = qobject_cast<QSpinBox*>(w)) return s->value();
  if (auto* t = qobject_cast<QTabWidget*>(w)) return t->currentIndex() + 1;
  if (auto* cb = qobject_cast<QComboBox*>(w)) return cb->currentIndex() + 1;
  if (auto* p = qobject_cast<QProgressBar*>(w)) return std::max(p->value(), p->minimum());
  if (auto* s = qobject_cast<QAbstractSlider*>(w)) return s->value();
  return 0;
}

void SetControlValue(ControlRef c, SInt32 value) {
  ControlRec* r = Find(c);
  if (r == nullptr) return;
  QWidget* w = r->widget;
  Setting(r, [&] {
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
      if (b->isCheckable()) b->setChecked(value != 0);
    } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
      s->setValue(value);
    } else if (auto* t = qobject_cast<QTabWidget*>(w)) {
      if (t->count() > 0) t->setCurrentIndex(std::clamp<SInt32>(value, 1, t->count()) - 1);
    } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
      if (cb->count() > 0) cb->setCurrentIndex(std::clamp<SInt32>(value, 1, cb->count()) - 1);
    } else if (auto* p = qobject_cast<QProgressBar*>(w)) {
      p->setValue(std::clamp(value, p->minimum(), p->maximum()));
    } else if (auto* sl = qobject_cast<QAbstractSlider*>(w)) {
      sl->setValue(value);
    }
  });
}

SInt32 GetControlMinimum(ControlRef c) {
  ControlRec* r = Find(c);
  if (r == nullptr) return 0;
  QWidget* w = r->widget;
  if (auto* s = qobject_cast<QSpinBox*>(w)) return s->minimum();
  if (qobject_cast<QTabWidget*>(w) || qobject_cast<QComboBox*>(w)) return 1;
  if (auto* p = qobject_cast<QProgressBar*>(w)) return p->minimum();
  if (auto* s = qobject_cast<QAbstractSlider*>(w)) return s->minimum();
  return 0;
}

SInt32 GetControlMaximum(ControlRef c) {
  ControlRec* r = Find(c);
  if (r == nullptr) return 0;
  QWidget* w = r->widget;
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->isCheckable() ? 1 : 0;
  if (auto* s = qobject_cast<QSpinBox*>(w)) return s->maximum();
  if (auto* t = qobject_cast<QTabWidget*>(w)) return t->count();
  if (auto* cb = qobject_cast<QComboBox*>(w)) return cb->count();
  if (auto* p = qobject_cast<QProgressBar*>(w)) return p->maximum();
  if (auto* s = qobject_cast<QAbstractSlider*>(w)) return s->maximum();
  return 0;
}

void SetControlMinimum(ControlRef c, SInt32 value) {
  ControlRec* r = Find(c);
  if (r == nullptr) return;
  QWidget* w = r->widget;
  Setting(r, [&] {
    if (auto* s = qobject_cast<QSpinBox*>(w))
      s->setMinimum(value);
    else if (auto* p = qobject_cast<QProgressBar*>(w))
      p->setMinimum(value);
    else if (auto* sl = qobject_cast<QAbstractSlider*>(w))
      sl->setMinimum(value);
  });
}

void SetControlMaximum(ControlRef c, SInt32 value) {
  ControlRec* r = Find(c);
  if (r == nullptr) return;
  QWidget* w = r->widget;
  Setting(r, [&] {
    if (auto* s = qobject_cast<QSpinBox*>(w))
      s->setMaximum(value);
    else if (auto* p = qobject_cast<QProgressBar*>(w))
      p->setMaximum(value);
    else if (auto* sl = qobject_cast<QAbstractSlider*>(w))
      sl->setMaximum(value);
  });
}

SInt32 GetControlViewSize(ControlRef c) {
  ControlRec* r = Find(c);
  auto* s = r ? qobject_cast<QAbstractSlider*>(r->widget) : nullptr;
  return s ? s->pageStep() : 0;
}

void SetControlViewSize(ControlRef c, SInt32 viewSize) {
  ControlRec* r = Find(c);
  if (auto* s = r ? qobject_cast<QAbstractSlider*>(r->widget) : nullptr)
    Setting(r, [&] { s->setPageStep(std::max<SInt32>(1, viewSize)); });
}

MenuRef GetControlPopupMenuHandle(ControlRef c) {
  ControlRec* r = Find(c);
  return r && r->menu ? ToHandle<MenuRef>(r->menu) : nullptr;
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
  Regate(r);
  return noErr;
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

// A static text whose form sets the dynamic property "elide" shows one line cut to its width
// (between characters, with an ellipsis) and keeps the whole text for readers.
constexpr char kWholeText[] = "platformWholeText";

void ShowFitted(QLabel* l) {
  const QByteArray whole = l->property(kWholeText).toString().toUtf8();
  l->setText(PfitText(QFontMetricsF(l->font()), whole.constData(), 0, l->contentsRect().width()));
}

class RefitOnResize : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Resize || e->type() == QEvent::FontChange)
      if (auto* l = qobject_cast<QLabel*>(o)) ShowFitted(l);
    return false;
  }
};

void SetLabelText(QLabel* l, const QString& text) {
  if (!l->property("elide").toBool()) {
    l->setProperty(kWholeText, QVariant());  // forgets the whole of a text shown broken before
    l->setText(text);
    return;
  }
  if (!l->property(kWholeText).isValid()) l->installEventFilter(new RefitOnResize(l));
  l->setProperty(kWholeText, text);
  ShowFitted(l);
}

QString* TextOf(ControlRec* r, QString* out) {
  QWidget* w = r->widget;
  if (auto* l = qobject_cast<QLabel*>(w)) {
    const QVariant whole = l->property(kWholeText);
    return &(*out = whole.isValid() ? whole.toString() : l->text());
  }
  if (auto* e = qobject_cast<QLineEdit*>(w)) return &(*out = e->text());
  if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return &(*out = p->toPlainText());
  if (auto* t = qobject_cast<QTextEdit*>(w)) return &(*out = t->toPlainText());
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return &(*out = b->text());
  return nullptr;
}
}  // namespace

namespace plat {

void BreakLabelText(QLabel* l, qreal width) {
  const QVariant whole = l->property(kWholeText);
  const QString text = whole.isValid() ? whole.toString() : l->text();
  l->setProperty(kWholeText, text);
  l->setText(BreakableText(QFontMetricsF(l->font()), text, width));
}

}  // namespace plat

OSStatus SetControlData(ControlRef c, ControlPartCode, UInt32 tag, UInt32 size, const void* data) {
  ControlRec* r = Find(c);
  if (r == nullptr) return errUnknownControl;
  if (data == nullptr && size > 0) return paramErr;
  QWidget* w = r->widget;
  if (tag == kControlEditTextCFStringTag) {
    const char* s = static_cast<const char*>(data);
    if (!ValidUTF8(s, size)) return paramErr;
    QString text = QString::fromUtf8(s, static_cast<qsizetype>(size));
    if (auto* l = qobject_cast<QLabel*>(w)) {
      SetLabelText(l, text);
      // A shown dialog is laid out again for what it says now.
      WindowRec* win = Windows().Find(r->window);
      if (l->wordWrap() && win != nullptr && FrameOf(win)->isVisible()) FitDialog(win);
    } else if (auto* e = qobject_cast<QLineEdit*>(w))
      e->setText(text);
    else if (auto* p = qobject_cast<QPlainTextEdit*>(w))
      p->setPlainText(text);
    else if (auto* t = qobject_cast<QTextEdit*>(w))
      t->setPlainText(text);
    else if (auto* b = qobject_cast<QAbstractButton*>(w))
      b->setText(text);
    else
      return errDataNotSupported;
    return noErr;
  }
  if (tag == kControlEditTextLockedTag) {
    if (size < sizeof(Boolean)) return paramErr;
    const bool locked = *static_cast<const Boolean*>(data) != 0;
    if (auto* e = qobject_cast<QLineEdit*>(w))
      e->setReadOnly(locked);
    else if (auto* p = qobject_cast<QPlainTextEdit*>(w))
      p->setReadOnly(locked);
    else if (auto* t = qobject_cast<QTextEdit*>(w))
      t->setReadOnly(locked);
    else
      return errDataNotSupported;
    return noErr;
  }
  if (tag == kControlEditTextSelectionTag) {
    auto* e = qobject_cast<QLineEdit*>(w);
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
  if (tag == kControlEditTextLockedTag) {
    QWidget* w = r->widget;
    Boolean locked = 0;
    if (auto* e = qobject_cast<QLineEdit*>(w))
      locked = e->isReadOnly();
    else if (auto* p = qobject_cast<QPlainTextEdit*>(w))
      locked = p->isReadOnly();
    else if (auto* t = qobject_cast<QTextEdit*>(w))
      locked = t->isReadOnly();
    else
      return errDataNotSupported;
    if (actualSize) *actualSize = sizeof locked;
    if (data != nullptr && bufferSize >= sizeof locked) std::memcpy(data, &locked, sizeof locked);
    return noErr;
  }
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

OSStatus GetKeyboardFocus(WindowRef win, ControlRef* outControl) {
  if (outControl) *outControl = nullptr;
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || outControl == nullptr) return errInvalidWindowRef;
  // The window's focus widget, or the control it belongs to (a spin box's line edit).
  for (QWidget* f = FrameOf(w)->focusWidget(); f != nullptr && f != w->content;
       f = f->parentWidget())
    for (uintptr_t id : w->controls) {
      ControlRec* r = Controls().Find(id);
      if (r && r->widget == f) {
        *outControl = ToHandle<ControlRef>(id);
        return noErr;
      }
    }
  return noErr;
}

bool EditTextCommand(WindowRef win, UInt32 command, bool update, bool* enabled) {
  WindowRec* w = Windows().Find(win);
  QWidget* focus = w != nullptr ? FrameOf(w)->focusWidget() : nullptr;
  if (qobject_cast<QMenuBar*>(focus)) focus = w->menuBarTookFocusFrom;
  auto* e = qobject_cast<QLineEdit*>(focus);
  if (e == nullptr || !e->isEnabled()) return false;
  bool on = false;
  switch (command) {
    case FourCC("cut "):
      on = e->hasSelectedText() && !e->isReadOnly() && e->echoMode() == QLineEdit::Normal;
      if (on && !update) e->cut();
      break;
    case FourCC("copy"):
      on = e->hasSelectedText() && e->echoMode() == QLineEdit::Normal;
      if (on && !update) e->copy();
      break;
    case FourCC("past"): {
      const QClipboard* cb = QGuiApplication::clipboard();
      on = !e->isReadOnly() && cb != nullptr && !cb->text().isEmpty();
      if (on && !update) e->paste();
      break;
    }
    case FourCC("sall"):
      on = !e->text().isEmpty() && e->selectedText() != e->text();
      if (on && !update) e->selectAll();
      break;
    default:
      return false;
  }
  if (enabled != nullptr) *enabled = on;
  return true;
}

OSStatus ClearKeyboardFocus(WindowRef win) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr) return errInvalidWindowRef;
  if (QWidget* f = FrameOf(w)->focusWidget()) f->clearFocus();
  return noErr;
}

void DisposeControl(ControlRef c) {
  ControlRec* r = Controls().Find(c);
  if (r == nullptr) return;
  if (r->madeInCode)
    ForgetControl(r->id);
  else if (r->widget)
    r->widget->hide();
}
