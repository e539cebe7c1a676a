// Windows made from registered forms: the frame (menu bar over content), the content that
// shows the port, the standard window handling, window kinds, default and cancel buttons,
// geometry and screens.
#include "platform/pwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMap>
#include <QMenuBar>
#include <QPaintEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTextEdit>
#include <QWindow>
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/pmenu.h"
#include "platform/ppriv.h"
#include "platform/pqt.h"

namespace plat {

// The top-level widget of a window: its menu bar on top, the content below.
class FrameWidget : public QWidget {
 public:
  explicit FrameWidget(uintptr_t id) : win(id) {}
  uintptr_t win;
  int MenuHeight() const;
  void Arrange();
  // Scroll the content when the frame is kept smaller than the content asks.
  QScrollBar* hbar = nullptr;
  QScrollBar* vbar = nullptr;

 protected:
  void resizeEvent(QResizeEvent*) override;
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent*) override;
  void hideEvent(QHideEvent*) override;
  bool event(QEvent* e) override;
};

// The content: paints the port behind the controls and keeps the port at its size.
class ContentWidget : public QWidget {
 public:
  ContentWidget(uintptr_t id, QWidget* parent) : QWidget(parent), win(id) {
    // The port covers the whole content, so Qt may move the screen's picture when part of the
    // port scrolls instead of painting it all again.
    setAttribute(Qt::WA_OpaquePaintEvent);
  }
  uintptr_t win;

 protected:
  void paintEvent(QPaintEvent* e) override {
    WindowRec* w = Windows().Find(win);
    QPainter p(this);
    if (w == nullptr || w->image.isNull()) {
      p.fillRect(e->rect(), Qt::white);
      return;
    }
    // Part by part: the parts a scroll step uncovered lie far apart, and their bounding
    // rectangle may be the whole port.
    for (const QRect& r : e->region()) PaintPort(p, w, r);
  }
  void resizeEvent(QResizeEvent*) override {
    WindowRec* w = Windows().Find(win);
    if (w == nullptr) return;
    QSize s = size();
    if (w->image.size() == s) return;
    UnrollPort(w);
    QImage img(s.expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    img.fill(Qt::white);
    if (!w->image.isNull()) {
      QPainter p(&img);
      p.drawImage(0, 0, w->image);
    }
    w->image = img;
  }
};

int FrameWidget::MenuHeight() const {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || w->menubar == nullptr || MenuBarHidden() || w->menubar->actions().isEmpty())
    return 0;
  return w->menubar->sizeHint().height();
}

namespace {

// A scroll bar of the frame along one axis: shown over the given place with the given range,
// else hidden; its offset.
int PlaceScrollBar(FrameWidget* f, QScrollBar*& bar, Qt::Orientation o, bool on, const QRect& at,
                   int range, int page) {
  if (!on) {
    if (bar != nullptr) bar->hide();
    return 0;
  }
  if (bar == nullptr) {
    bar = new QScrollBar(o, f);
    QObject::connect(bar, &QScrollBar::valueChanged, f, [f] { f->Arrange(); });
  }
  const QSignalBlocker quiet(bar);
  bar->setRange(0, range);
  bar->setPageStep(page);
  bar->setSingleStep(std::max(1, page / 20));
  bar->setGeometry(at);
  bar->show();
  bar->raise();
  return bar->value();
}

}  // namespace

void FrameWidget::Arrange() {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr) return;
  int mh = MenuHeight();
  if (w->menubar) {
    w->menubar->setGeometry(0, 0, width(), mh);
    w->menubar->setVisible(mh > 0);
    w->menubar->raise();  // above content scrolled under it
  }
  // A frame kept smaller than the content asks (its screen has no more room) shows the content
  // at the size it needs under scroll bars.
  QSize area(width(), std::max(0, height() - mh));
  const QSize need = w->contentMin;
  const int extent = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
  bool across = need.width() > area.width(), down = need.height() > area.height();
  if (across) area.rheight() = std::max(0, area.height() - extent);
  if (!down && need.height() > area.height()) down = true;
  if (down) area.rwidth() = std::max(0, area.width() - extent);
  if (!across && need.width() > area.width()) {
    across = true;
    area.rheight() = std::max(0, area.height() - extent);
  }
  const QSize size = area.expandedTo(need);
  const int x = PlaceScrollBar(this, hbar, Qt::Horizontal, across,
                               QRect(0, mh + area.height(), area.width(), extent),
                               size.width() - area.width(), area.width());
  const int y =
      PlaceScrollBar(this, vbar, Qt::Vertical, down, QRect(area.width(), mh, extent, area.height()),
                     size.height() - area.height(), area.height());
  w->content->setGeometry(-x, mh - y, size.width(), size.height());
}

void FrameWidget::resizeEvent(QResizeEvent*) {
  Arrange();
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || w->programmaticResize > 0 || w->constructing) return;
  UpdateMinimumSize(w);
  SendEvent(kEventClassWindow, kEventWindowResizeCompleted, w->target);
}

void FrameWidget::closeEvent(QCloseEvent* e) {
  e->ignore();  // the window's handlers decide: the standard handling disposes of it
  if (WindowRec* w = Windows().Find(win))
    SendEvent(kEventClassWindow, kEventWindowClose, w->target);
}

// The window in front: the last one shown, selected or activated.
uintptr_t g_front = 0;

void NoteFront(const WindowRec* w) {
  if (w->wclass == kFloatingWindowClass) return;
  g_front = w->id;
}

// What a window kept above every window of the program is transient for: the desktop's own
// window (the root of an X display), which the desktop takes for the program's whole group of
// windows. None under Wayland, which has no such window.
QWindow* ProgramGroupWindow() {
  static QPointer<QWindow> desktop;
  if (desktop == nullptr && QCoreApplication::instance() != nullptr &&
      !QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
    desktop = new QWindow;
    static_cast<QObject*>(desktop)->setParent(QCoreApplication::instance());
    desktop->setFlags(Qt::Desktop);
    desktop->create();
  }
  return desktop;
}

// Makes d transient for owner (NULL: for every window of the program). The desktop keeps a
// window above the one it is transient for and learns which when the window is shown: a shown
// window is shown again.
void SetTransientFor(WindowRec* d, WindowRec* owner) {
  d->frame->winId();  // makes its platform window
  QWindow* dw = d->frame->windowHandle();
  if (dw == nullptr) return;
  QWindow* ow = ProgramGroupWindow();
  if (owner != nullptr && owner != d) {
    owner->frame->winId();
    ow = owner->frame->windowHandle();
  }
  if (dw->transientParent() == ow) return;
  dw->setTransientParent(ow);
  if (d->frame->isVisible()) {
    d->constructing = true;  // shown again at once: no window events
    d->frame->hide();
    d->frame->show();
    d->constructing = false;
  }
}

// Ends a wait once the window's content is painted on screen.
class PaintWatch : public QObject {
 public:
  PaintWatch(WindowRec* w, LoopWait* wait) : frame_(w->frame), content_(w->content), wait_(wait) {
    content_->installEventFilter(this);
  }
  ~PaintWatch() override {
    if (content_ != nullptr) content_->removeEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint && frame_ != nullptr && OnScreen(frame_)) {
      painted = true;
      wait_->Stop();
    }
    return false;
  }
  // Shown, exposed, and mapped by Qt since it was last shown (a window hidden and shown again
  // may read as exposed until the desktop's word of the hiding comes in).
  static bool OnScreen(QWidget* frame) {
    const QWindow* handle = frame->windowHandle();
    return frame->isVisible() && handle != nullptr && handle->isExposed() &&
           frame->testAttribute(Qt::WA_Mapped);
  }
  bool painted = false;

 private:
  QPointer<QWidget> frame_, content_;
  LoopWait* wait_;
};

// The dialogs waited on, innermost last.
std::vector<uintptr_t>& ModalWaits() {
  static auto* v = new std::vector<uintptr_t>;
  return *v;
}

// A dialog waited on that shows or hides starts or ends a question: the command gate may
// answer otherwise.
void QuestionShownOrHidden(uintptr_t win) {
  const auto& v = ModalWaits();
  if (std::find(v.begin(), v.end(), win) != v.end()) UpdateGatedControls();
}

void FrameWidget::showEvent(QShowEvent*) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || w->constructing) return;
  g_front = win;
  QuestionShownOrHidden(win);
  if (Windows().Find(win)) SendEvent(kEventClassWindow, kEventWindowShown, w->target);
}

void FrameWidget::hideEvent(QHideEvent*) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || w->constructing) return;
  QuestionShownOrHidden(win);
  if (Windows().Find(win)) SendEvent(kEventClassWindow, kEventWindowHidden, w->target);
}

bool FrameWidget::event(QEvent* e) {
  WindowRec* w = Windows().Find(win);
  if (e->type() == QEvent::WindowActivate && w != nullptr && !w->constructing) {
    NoteFront(w);
    const uintptr_t target = w->target;
    SendEvent(kEventClassWindow, kEventWindowActivated, target);
    if (Windows().Find(win)) SendEvent(kEventClassWindow, kEventWindowFocusAcquired, target);
  } else if (e->type() == QEvent::WindowDeactivate && w != nullptr && !w->constructing) {
    const uintptr_t target = w->target;
    SendEvent(kEventClassWindow, kEventWindowDeactivated, target);
    if (Windows().Find(win)) SendEvent(kEventClassWindow, kEventWindowFocusRelinquish, target);
  }
  bool r = QWidget::event(e);
  // Maximizing or restoring the window is its zoom.
  if (e->type() == QEvent::WindowStateChange)
    if (WindowRec* z = Windows().Find(win))
      SendEvent(kEventClassWindow, kEventWindowZoomed, z->target);
  return r;
}

void ArrangeFrame(WindowRec* w) {
  // The content keeps its size; the frame grows or shrinks with the menu bar.
  QSize content = w->content->size();
  w->programmaticResize++;
  w->frame->resize(content.width(), content.height() + w->frame->MenuHeight());
  w->frame->Arrange();
  w->programmaticResize--;
  UpdateMinimumSize(w);
}

Table<WindowRec>& Windows() {
  static auto* t = new Table<WindowRec>;
  return *t;
}

WindowRec* WindowOfWidget(const QWidget* widget) {
  for (const QWidget* p = widget; p != nullptr; p = p->parentWidget())
    if (const FrameWidget* f = dynamic_cast<const FrameWidget*>(p)) return Windows().Find(f->win);
  return nullptr;
}

QWidget* FrameOf(const WindowRec* w) {
  return w->frame;
}

uintptr_t FocusWindow() {
  WindowRec* w = WindowOfWidget(QApplication::activeWindow());
  if (w != nullptr && w->frame->isVisible()) return w->id;
  w = Windows().Find(g_front);
  if (w != nullptr && w->frame->isVisible()) return w->id;
  WindowRef f = ActiveNonFloatingWindow();
  return FromHandle(f);
}

Rect ToRect(const QRect& r) {
  auto s = [](int v) { return static_cast<short>(std::clamp(v, -32768, 32767)); };
  return Rect{s(r.top()), s(r.left()), s(r.top() + r.height()), s(r.left() + r.width())};
}

QRect ToQRect(const Rect& r) {
  return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

Rect LocalRect(WindowRec* w, const QWidget* widget) {
  QPoint tl = widget == w->content ? QPoint(0, 0) : widget->mapTo(w->content, QPoint(0, 0));
  return ToRect(QRect(tl, widget->size()));
}

namespace {

// The screen a top-level widget is on (the one under its middle), else the one Qt gives it.
QScreen* ScreenOfTop(const QWidget* top) {
  QScreen* s = QGuiApplication::screenAt(top->geometry().center());
  if (s == nullptr) s = top->screen();
  return s != nullptr ? s : QGuiApplication::primaryScreen();
}

// The desktop's frame around a top-level widget: as the platform tells it for a shown one
// (and remembered for the next window of its kind), else as the last one of its kind had it.
QMargins DecorationOf(const QWidget* top) {
  static QMargins known[2];  // windows and dialogs; tool windows
  const bool tool = top->windowType() == Qt::Tool;
  if (top->windowFlags() & Qt::FramelessWindowHint) return QMargins();
  if (const QWindow* h = top->windowHandle(); h != nullptr && top->isVisible()) {
    const QMargins m = h->frameMargins();
    if (!m.isNull()) known[tool] = m;
    if (!m.isNull() || h->isExposed()) return m;
  }
  return known[tool].isNull() ? known[0] : known[tool];
}

// The most a top-level widget may measure on its screen.
QSize RoomOf(const QWidget* top) {
  const QScreen* s = ScreenOfTop(top);
  if (s == nullptr) return QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  return s->availableGeometry().size().shrunkBy(DecorationOf(top)).expandedTo(QSize(1, 1));
}

// Fits a top-level widget into its screen (FitToScreen); place: move its frame onto the screen
// too, else only its size is fitted (the desktop places it).
void FitTop(QWidget* top, bool place) {
  if (top->windowFlags() & Qt::FramelessWindowHint) return;
  const QScreen* s = ScreenOfTop(top);
  if (s == nullptr) return;
  const QRect avail = s->availableGeometry();
  const QMargins m = DecorationOf(top);
  const QSize room = avail.size().shrunkBy(m).expandedTo(QSize(1, 1));
  if (top->minimumSize().boundedTo(room) != top->minimumSize())
    top->setMinimumSize(top->minimumSize().boundedTo(room));
  const QSize size = top->size().boundedTo(room);
  if (size != top->size()) top->resize(size);
  if (!place) return;
  const QRect frame = QRect(top->geometry().topLeft(), size).marginsAdded(m);
  const QPoint to(
      std::max(avail.left(), std::min(frame.left(), avail.right() + 1 - frame.width())),
      std::max(avail.top(), std::min(frame.top(), avail.bottom() + 1 - frame.height())));
  if (to != frame.topLeft()) top->move(to);  // a window's position is its frame's
}

// Fits a top-level widget into its screen as it shows, and again once the desktop has framed
// it: only then is the room its frame takes known, and where the desktop put it.
class ScreenFit : public QObject {
 public:
  explicit ScreenFit(QWidget* top) : QObject(top), top_(top) {
    setObjectName(QStringLiteral("ScreenFit"));
    top->installEventFilter(this);
  }
  bool eventFilter(QObject* o, QEvent* e) override {
    if (o != top_) return false;
    if (e->type() == QEvent::Show) {
      FitTop(top_, top_->testAttribute(Qt::WA_Moved));
      // Framed already (the platform tells its frame at once, or it was shown before): done.
      const QWindow* h = top_->windowHandle();
      framing_ = h == nullptr || h->frameMargins().isNull();
    } else if (e->type() == QEvent::Hide) {
      framing_ = false;
    } else if (framing_ && (e->type() == QEvent::Move || e->type() == QEvent::Resize)) {
      const QWindow* h = top_->windowHandle();
      if (h != nullptr && (!h->frameMargins().isNull() || h->isExposed())) {
        framing_ = false;
        FitTop(top_, true);
      }
    }
    return false;
  }

 private:
  QWidget* top_;
  bool framing_ = false;
};

}  // namespace

void FitToScreen(QWidget* top) {
  if (top != nullptr) FitTop(top, true);
}

void KeepAboveProgram(QWidget* top) {
  top->winId();
  if (QWindow* h = top->windowHandle()) h->setTransientParent(ProgramGroupWindow());
  if (top->findChild<QObject*>(QStringLiteral("ScreenFit"), Qt::FindDirectChildrenOnly) == nullptr)
    new ScreenFit(top);
}

void UpdateMinimumSize(WindowRec* w) {
  EventRef ev = nullptr;
  CreateEvent(kEventClassWindow, kEventWindowGetMinimumSize, GetCurrentEventTime(), &ev);
  Point dims{0, 0};
  if (SendEventToEventTarget(ev, ToHandle<EventTargetRef>(w->target)) == noErr)
    GetEventParameter(ev, kEventParamDimensions, typeQDPoint, nullptr, sizeof dims, nullptr, &dims);
  ReleaseEvent(ev);
  if (Windows().Find(w->id) == nullptr) return;
  // The frame keeps to the least size as far as its screen has room; below it the content
  // scrolls.
  const QSize least(std::max<int>(0, dims.h), std::max<int>(0, dims.v));
  const bool changed = least != w->contentMin;
  w->contentMin = least;
  const QSize frameLeast(least.width(), least.height() + w->frame->MenuHeight());
  w->frame->setMinimumSize(w->frameless ? frameLeast : frameLeast.boundedTo(RoomOf(w->frame)));
  if (changed) w->frame->Arrange();
}

void FitDialog(WindowRec* w) {
  QLayout* lay = w->content->layout();
  if (w->wclass != kMovableModalWindowClass || lay == nullptr) return;
  std::vector<QLabel*> labels;
  for (QLabel* l : w->content->findChildren<QLabel*>())
    if (l->wordWrap() && !l->property("elide").toBool()) labels.push_back(l);
  if (labels.empty()) return;
  // What the other controls need is measured with the labels broken everywhere; a label's
  // longest word must not widen the window (it would reach past it: the frame keeps its size).
  const auto relayout = [lay] {
    lay->invalidate();
    lay->activate();
  };
  for (QLabel* l : labels) BreakLabelText(l, 0);
  relayout();
  const QScreen* screen = w->frame->screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  int width = std::max(w->formSize.width(), lay->totalMinimumSize().width());
  if (screen != nullptr) {
    const int decoration = w->frame->frameGeometry().width() - w->frame->width();
    width = std::min(width, screen->availableGeometry().width() - std::max(0, decoration));
  }
  width = std::max(width, 1);
  // Each label breaks its text for the width the layout gives it at that width.
  lay->setGeometry(QRect(0, 0, width, std::max(w->formSize.height(), 1)));
  for (QLabel* l : labels) BreakLabelText(l, l->contentsRect().width() - 2 * l->margin());
  relayout();
  int height = std::max(w->formSize.height(), lay->totalMinimumSize().height());
  if (lay->hasHeightForWidth()) height = std::max(height, lay->totalHeightForWidth(width));
  w->programmaticResize++;
  w->frame->resize(width, height + w->frame->MenuHeight());
  w->frame->Arrange();
  w->programmaticResize--;
  relayout();
}

ControlRec* ControlAt(WindowRec* w, QPoint local) {
  QWidget* hit = w->content->childAt(local);
  for (QWidget* p = hit; p != nullptr && p != w->content; p = p->parentWidget())
    for (uintptr_t id : w->controls) {
      ControlRec* c = Controls().Find(id);
      if (c && c->widget == p) return c;
    }
  return nullptr;
}

namespace {

std::map<std::string, std::map<std::string, std::function<void(QWidget*)>>>& Nibs() {
  static auto* n = new std::map<std::string, std::map<std::string, std::function<void(QWidget*)>>>;
  return *n;
}
Table<std::string>& NibRefs() {
  static auto* t = new Table<std::string>;
  return *t;
}

// Presses a default or cancel button: false when there is none to press.
bool PressButton(uintptr_t id) {
  ControlRec* c = Controls().Find(id);
  auto* b = c ? qobject_cast<QAbstractButton*>(c->widget) : nullptr;
  if (b == nullptr || !b->isVisible() || !b->isEnabled()) return false;
  b->click();
  return true;
}

// Return in a text of several lines is a new line, not the default button; a text that is
// only read takes no Return.
bool TakesReturn(const QWidget* focus) {
  if (auto* p = qobject_cast<const QPlainTextEdit*>(focus)) return !p->isReadOnly();
  if (auto* t = qobject_cast<const QTextEdit*>(focus)) return !t->isReadOnly();
  return false;
}

// Standard handling of window events: a content click lets the control under it take it, a
// close disposes of the window, Return and Escape press the default and cancel buttons.
OSStatus StandardWindowHandler(EventRef event, uintptr_t owner) {
  WindowRec* w = Windows().Find(owner);
  if (w == nullptr) return eventNotHandledErr;
  const UInt32 cls = GetEventClass(event), kind = GetEventKind(event);
  if (cls == kEventClassKeyboard && kind == kEventRawKeyDown) {
    UInt32 key = 0, mods = 0;
    GetEventParameter(event, kEventParamKeyCode, typeUInt32, nullptr, sizeof key, nullptr, &key);
    GetEventParameter(event, kEventParamKeyModifiers, typeUInt32, nullptr, sizeof mods, nullptr,
                      &mods);
    if (mods & (cmdKey | optionKey | controlKey)) return eventNotHandledErr;
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) &&
        !TakesReturn(QApplication::focusWidget()) && PressButton(w->defaultButton))
      return noErr;
    if (key == Qt::Key_Escape && PressButton(w->cancelButton)) return noErr;
    return eventNotHandledErr;
  }
  if (cls != kEventClassWindow) return eventNotHandledErr;
  switch (kind) {
    case kEventWindowClickContentRgn: {
      if (!g_nativeClick.active) return noErr;
      Point pt{0, 0};
      UInt32 mods = 0;
      GetEventParameter(event, kEventParamMouseLocation, typeQDPoint, nullptr, sizeof pt, nullptr,
                        &pt);
      GetEventParameter(event, kEventParamKeyModifiers, typeUInt32, nullptr, sizeof mods, nullptr,
                        &mods);
      QPoint local = w->content->mapFromGlobal(QPoint(pt.h, pt.v));
      ControlRec* c = ControlAt(w, local);
      if (c == nullptr) {
        g_nativeClick.deliver = true;  // a widget of the form that is not a control
        return noErr;
      }
      if (SendControlClick(c, pt, mods) || Controls().Find(c->id) == nullptr) return noErr;
      if (c->kind == kControlKindLittleArrows) {
        // The layer never steps little arrows itself: a click on an arrow is a hit.
        ControlPartCode part =
            TestControl(ToHandle<ControlRef>(c->id), Point{short(local.y()), short(local.x())});
        if (part != kControlNoPart && c->widget->isEnabled()) SendControlHit(c, part);
        return noErr;
      }
      g_nativeClick.deliver = true;  // Qt tracks the click on the widget itself
      return noErr;
    }
    case kEventWindowClose:
      DisposeWindow(ToHandle<WindowRef>(owner));
      return noErr;
    default:
      return eventNotHandledErr;
  }
}

// Sets a button role: the old holder loses it.
OSStatus SetButtonRole(WindowRef win, ControlRef button, uintptr_t WindowRec::*role) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr) return errInvalidWindowRef;
  ControlRec* c = Controls().Find(button);
  if (button != nullptr &&
      (c == nullptr || c->window != w->id || qobject_cast<QAbstractButton*>(c->widget) == nullptr))
    return errUnknownControl;
  const bool isDefault = role == &WindowRec::defaultButton;
  if (isDefault)
    if (ControlRec* old = Controls().Find(w->*role))
      if (auto* pb = qobject_cast<QPushButton*>(old->widget)) pb->setDefault(false);
  w->*role = c ? c->id : 0;
  if (isDefault && c)
    if (auto* pb = qobject_cast<QPushButton*>(c->widget)) pb->setDefault(true);
  return noErr;
}

OSStatus GetButtonRole(WindowRef win, ControlRef* out, uintptr_t WindowRec::*role) {
  if (out) *out = nullptr;
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || out == nullptr) return errInvalidWindowRef;
  if (Controls().Find(w->*role)) *out = ToHandle<ControlRef>(w->*role);
  return noErr;
}

// The form's default and cancel buttons become the window's.
void FindButtonRoles(WindowRec* w) {
  for (uintptr_t id : w->controls) {
    ControlRec* c = Controls().Find(id);
    auto* b = c ? qobject_cast<QPushButton*>(c->widget) : nullptr;
    if (b == nullptr) continue;
    if (b->isDefault() && w->defaultButton == 0) w->defaultButton = id;
    if (b->property("cancel").toBool() && w->cancelButton == 0) w->cancelButton = id;
  }
}

WindowClass ClassOfForm(const QWidget* content) {
  const QString kind = content->property("windowKind").toString();
  if (kind == "dialog") return kMovableModalWindowClass;
  if (kind == "floating") return kFloatingWindowClass;
  return kDocumentWindowClass;
}

// Screens are named by their place in Qt's list.
GDHandle ScreenHandle(int i) {
  return reinterpret_cast<GDHandle>(uintptr_t(0x100 + 8 * i));
}
QScreen* ScreenOf(GDHandle h) {
  const uintptr_t v = reinterpret_cast<uintptr_t>(h);
  const auto screens = QGuiApplication::screens();
  if (v < 0x100 || (v - 0x100) % 8 != 0) return nullptr;
  const uintptr_t i = (v - 0x100) / 8;
  return i < uintptr_t(screens.size()) ? screens[qsizetype(i)] : nullptr;
}

}  // namespace

}  // namespace plat

using namespace plat;

void RegisterNibWindow(const char* nibName, const char* windowName,
                       std::function<void(QWidget*)> setup) {
  if (nibName && windowName && setup) Nibs()[nibName][windowName] = std::move(setup);
}

OSStatus CreateNibReference(const char* nibName, IBNibRef* outNib) {
  if (outNib == nullptr) return paramErr;
  *outNib = nullptr;
  if (nibName == nullptr || Nibs().count(nibName) == 0) return nibFileNotFoundErr;
  *outNib = ToHandle<IBNibRef>(NibRefs().Add(new std::string(nibName)));
  return noErr;
}

void DisposeNibReference(IBNibRef nib) {
  std::string* s = NibRefs().Find(nib);
  if (s == nullptr) return;
  NibRefs().Remove(FromHandle(nib));
  delete s;
}

namespace plat {
const std::string* NibName(IBNibRef nib) {
  return NibRefs().Find(nib);
}
}  // namespace plat

void RegisterControls(WindowRec* w);  // pcontrol.cpp

OSStatus CreateWindowFromNib(IBNibRef nib, const char* windowName, WindowRef* outWindow) {
  if (outWindow == nullptr) return paramErr;
  *outWindow = nullptr;
  std::string* n = NibRefs().Find(nib);
  if (n == nullptr || windowName == nullptr) return paramErr;
  auto it = Nibs()[*n].find(windowName);
  if (it == Nibs()[*n].end()) return resNotFound;
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (app == nullptr) return paramErr;
  app->setQuitOnLastWindowClosed(false);  // only the quit command ends the program
  InstallInputFilter();

  WindowRec* w = new WindowRec;
  w->id = Windows().Add(w);
  w->constructing = true;
  w->target = NewTarget(FromHandle(GetApplicationEventTarget()), StandardWindowHandler, w->id);
  w->frame = new FrameWidget(w->id);
  w->frame->setAttribute(Qt::WA_DeleteOnClose, false);
  w->content = new ContentWidget(w->id, w->frame);
  w->content->setObjectName(windowName);
  it->second(w->content);
  w->wclass = ClassOfForm(w->content);
  if (w->wclass == kMovableModalWindowClass)
    w->frame->setWindowFlags(Qt::Dialog);
  else if (w->wclass == kFloatingWindowClass)
    w->frame->setWindowFlags(Qt::Tool);
  if (w->content->layout()) w->content->layout()->activate();
  QSize size = w->content->size();
  w->formSize = size;
  w->frame->setWindowTitle(w->content->windowTitle());
  w->port = NewPort(w->id);
  if (w->wclass == kDocumentWindowClass) AttachMenuBar(w);
  RegisterControls(w);
  FindButtonRoles(w);
  w->root = AddControl(w, w->content, ControlID{0, 0})->id;
  w->programmaticResize++;
  w->frame->resize(size.width(), size.height() + w->frame->MenuHeight());
  w->frame->Arrange();
  // Laid out as if shown, without reaching the screen, so that the bounds of every control
  // are known at once.
  w->frame->setAttribute(Qt::WA_DontShowOnScreen, true);
  w->frame->show();
  // A tab control lays out only the page it shows; the others take their place now.
  for (QTabWidget* t : w->content->findChildren<QTabWidget*>())
    if (QStackedWidget* stack = t->findChild<QStackedWidget*>())
      for (int i = 0; i < t->count(); ++i) t->widget(i)->setGeometry(stack->rect());
  w->frame->hide();
  w->frame->setAttribute(Qt::WA_DontShowOnScreen, false);
  w->programmaticResize--;
  w->constructing = false;
  new ScreenFit(w->frame);  // from its first showing on
  *outWindow = ToHandle<WindowRef>(w->id);
  return noErr;
}

bool IsValidWindowPtr(WindowRef w) {
  return Windows().Find(w) != nullptr;
}

OSStatus GetWindowClass(WindowRef win, WindowClass* outClass) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || outClass == nullptr) return errInvalidWindowRef;
  *outClass = w->wclass;
  return noErr;
}

void DisposeWindow(WindowRef win) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr) return;
  for (uintptr_t c : std::vector<uintptr_t>(w->controls)) ForgetControl(c);
  DisposeListsOf(w);
  ForgetPort(w->port);
  DeleteTarget(w->target);
  Windows().Remove(w->id);
  w->frame->hide();
  w->frame->deleteLater();
  delete w;
}

void ShowWindow(WindowRef win) {
  if (WindowRec* w = Windows().Find(win)) {
    UpdateMinimumSize(w);
    if (Windows().Find(win) == nullptr) return;
    if (!w->frame->isVisible()) FitDialog(w);  // laid out for what it says this time
    w->frame->show();
  }
}

void HideWindow(WindowRef win) {
  if (WindowRec* w = Windows().Find(win)) w->frame->hide();
}

bool IsWindowVisible(WindowRef win) {
  WindowRec* w = Windows().Find(win);
  return w != nullptr && w->frame->isVisible();
}

void SelectWindow(WindowRef win) {
  if (WindowRec* w = Windows().Find(win)) {
    NoteFront(w);
    w->frame->raise();
    w->frame->activateWindow();
  }
}

WindowRef ActiveNonFloatingWindow() {
  auto eligible = [](WindowRec* w) {
    return w != nullptr && w->wclass != kFloatingWindowClass && w->frame->isVisible();
  };
  WindowRec* w = WindowOfWidget(QApplication::activeWindow());
  if (!eligible(w)) w = Windows().Find(g_front);
  if (!eligible(w)) {
    // The front window went away: any shown window will do.
    w = nullptr;
    for (const auto& kv : Windows().All())
      if (eligible(kv.second)) w = kv.second;
  }
  return w ? ToHandle<WindowRef>(w->id) : nullptr;
}

void BeginModalWait(WindowRef dialog) {
  WindowRec* d = Windows().Find(dialog);
  if (d == nullptr) return;
  // Its owner: the dialog waited on before it, else none: it stays above every window of the
  // program, whichever of them is clicked meanwhile.
  WindowRec* owner = nullptr;
  for (auto it = ModalWaits().rbegin(); owner == nullptr && it != ModalWaits().rend(); ++it)
    if (WindowRec* o = Windows().Find(*it); o != nullptr && o != d && o->frame->isVisible())
      owner = o;
  ModalWaits().push_back(d->id);
  SetTransientFor(d, owner);
  if (d->frame->isVisible()) {
    d->frame->raise();
    UpdateGatedControls();  // asking from now on
  }
}

void EndModalWait(WindowRef dialog) {
  auto& v = ModalWaits();
  const uintptr_t id = FromHandle(dialog);
  for (auto it = v.rbegin(); it != v.rend(); ++it)
    if (*it == id) {
      v.erase(std::next(it).base());
      break;
    }
  if (std::find(v.begin(), v.end(), id) != v.end()) return;  // still waited on further out
  if (WindowRec* d = Windows().Find(dialog))
    if (QWindow* dw = d->frame->windowHandle()) dw->setTransientParent(nullptr);
  UpdateGatedControls();  // no longer asking when it was left shown
}

void SetWindowOwner(WindowRef win, WindowRef owner) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr) return;
  SetTransientFor(w, owner != nullptr ? Windows().Find(owner) : nullptr);
}

bool DrawWindowNow(WindowRef win, double maxwait) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || !w->frame->isVisible()) return false;
  if (!PaintWatch::OnScreen(w->frame) && maxwait > 0) {
    LoopWait wait;
    PaintWatch watch(w, &wait);
    RunLoopWait(&wait, maxwait);
    w = Windows().Find(win);  // handlers ran meanwhile
    if (watch.painted || w == nullptr) return watch.painted;
  }
  if (!PaintWatch::OnScreen(w->frame)) return false;
  w->frame->repaint();
  return true;
}

bool InModalWait() {
  if (QApplication::activeModalWidget() != nullptr) return true;
  for (uintptr_t id : ModalWaits())
    if (WindowRec* w = Windows().Find(id); w != nullptr && w->frame->isVisible()) return true;
  return false;
}

EventTargetRef GetWindowEventTarget(WindowRef win) {
  WindowRec* w = Windows().Find(win);
  return w ? ToHandle<EventTargetRef>(w->target) : nullptr;
}

OSStatus SetWindowTitle(WindowRef win, const char* utf8) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr) return errInvalidWindowRef;
  if (utf8 == nullptr || !ValidUTF8(utf8, std::strlen(utf8))) return paramErr;
  w->frame->setWindowTitle(QString::fromUtf8(utf8));
  return noErr;
}

OSStatus GetWindowTitle(WindowRef win, char* buf, UInt32 size, UInt32* actualSize) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr) return errInvalidWindowRef;
  QByteArray b = w->frame->windowTitle().toUtf8();
  const UInt32 n = static_cast<UInt32>(b.size());
  if (actualSize) *actualSize = n;
  if (buf) std::memcpy(buf, b.constData(), std::min(n, size));
  return noErr;
}

void SizeWindow(WindowRef win, short width, short height, bool update) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr) return;
  w->programmaticResize++;
  w->frame->resize(std::max<int>(0, width), std::max<int>(0, height) + w->frame->MenuHeight());
  w->frame->Arrange();
  w->programmaticResize--;
  if (update) w->content->update();
}

OSStatus GetWindowBounds(WindowRef win, WindowRegionCode region, Rect* bounds) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || bounds == nullptr) return errInvalidWindowRef;
  QWidget* wid = region == kWindowContentRgn ? static_cast<QWidget*>(w->content) : w->frame;
  *bounds = ToRect(QRect(wid->mapToGlobal(QPoint(0, 0)), wid->size()));
  return noErr;
}

OSStatus SetWindowBounds(WindowRef win, WindowRegionCode region, const Rect* bounds) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || bounds == nullptr) return errInvalidWindowRef;
  if (bounds->right < bounds->left || bounds->bottom < bounds->top) return paramErr;
  QRect r = ToQRect(*bounds);
  if (region == kWindowContentRgn) {
    // Content over a whole screen: no frame, so that the window may reach past the edges.
    bool covers = false;
    for (QScreen* s : QGuiApplication::screens()) covers |= r.contains(s->geometry());
    if (covers != w->frameless) {
      // Qt hides the window to change its frame; that is no hiding for the handlers.
      const bool shown = w->frame->isVisible();
      w->frameless = covers;
      w->constructing = true;
      w->frame->setWindowFlag(Qt::FramelessWindowHint, covers);
      if (shown) w->frame->show();
      w->constructing = false;
    }
    const int mh = w->frame->MenuHeight();
    r.adjust(0, -mh, 0, 0);
  }
  w->programmaticResize++;
  w->frame->setGeometry(r);
  w->frame->Arrange();
  w->programmaticResize--;
  // A place given back (a full-screen show ended, a saved place) fits the screen there is now.
  if (!w->frameless) FitToScreen(w->frame);
  w->content->update();
  return noErr;
}

Rect* GetWindowPortBounds(WindowRef win, Rect* bounds) {
  if (bounds == nullptr) return nullptr;
  *bounds = Rect{0, 0, 0, 0};
  if (WindowRec* w = Windows().Find(win)) *bounds = ToRect(QRect(QPoint(0, 0), w->content->size()));
  return bounds;
}

OSStatus GetWindowGreatestAreaDevice(WindowRef win, WindowRegionCode region, GDHandle* outDevice,
                                     Rect* outDeviceRect) {
  Rect b;
  if (GetWindowBounds(win, region, &b) != noErr) return errInvalidWindowRef;
  const QRect r = ToQRect(b);
  const auto screens = QGuiApplication::screens();
  int best = -1;
  long long bestArea = -1;
  for (int i = 0; i < screens.size(); ++i) {
    QRect x = r & screens[i]->geometry();
    long long area = x.isEmpty() ? 0 : (long long)x.width() * x.height();
    if (area > bestArea) {
      best = i;
      bestArea = area;
    }
  }
  if (best < 0) return paramErr;
  if (outDevice) *outDevice = ScreenHandle(best);
  if (outDeviceRect) *outDeviceRect = ToRect(screens[best]->geometry());
  return noErr;
}

OSStatus GetAvailableWindowPositioningBounds(GDHandle device, Rect* outBounds) {
  QScreen* s = ScreenOf(device);
  if (s == nullptr || outBounds == nullptr) return paramErr;
  *outBounds = ToRect(s->availableGeometry());
  return noErr;
}

OSStatus GetWindowStructureWidths(WindowRef win, Rect* outWidths) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || outWidths == nullptr) return errInvalidWindowRef;
  const QMargins m = DecorationOf(w->frame);
  *outWidths =
      Rect{static_cast<short>(m.top() + w->frame->MenuHeight()), static_cast<short>(m.left()),
           static_cast<short>(m.bottom()), static_cast<short>(m.right())};
  return noErr;
}

OSStatus SetWindowDefaultButton(WindowRef w, ControlRef button) {
  return SetButtonRole(w, button, &WindowRec::defaultButton);
}
OSStatus GetWindowDefaultButton(WindowRef w, ControlRef* outButton) {
  return GetButtonRole(w, outButton, &WindowRec::defaultButton);
}
OSStatus SetWindowCancelButton(WindowRef w, ControlRef button) {
  return SetButtonRole(w, button, &WindowRec::cancelButton);
}
OSStatus GetWindowCancelButton(WindowRef w, ControlRef* outButton) {
  return GetButtonRole(w, outButton, &WindowRec::cancelButton);
}

QWidget* PlatformFrameWidget(WindowRef win) {
  WindowRec* w = Windows().Find(win);
  return w ? w->frame : nullptr;
}
QWidget* PlatformContentWidget(WindowRef win) {
  WindowRec* w = Windows().Find(win);
  return w ? w->content : nullptr;
}
WindowRef PlatformWindowOfWidget(const QWidget* widget) {
  WindowRec* w = WindowOfWidget(widget);
  return w ? ToHandle<WindowRef>(w->id) : nullptr;
}
