// Windows made from registered forms: the frame (menu bar over content), the content that
// shows the port, the standard window handling, and window geometry.
#include "platform/pwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLayout>
#include <QMap>
#include <QMenuBar>
#include <QPaintEvent>
#include <QPainter>
#include <QStackedWidget>
#include <QTabWidget>
#include <algorithm>
#include <map>
#include <string>

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

 protected:
  void resizeEvent(QResizeEvent*) override;
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent*) override;
  bool event(QEvent* e) override;
};

// The content: paints the port behind the controls and keeps the port at its size.
class ContentWidget : public QWidget {
 public:
  ContentWidget(uintptr_t id, QWidget* parent) : QWidget(parent), win(id) {}
  uintptr_t win;

 protected:
  void paintEvent(QPaintEvent* e) override {
    WindowRec* w = Windows().Find(win);
    if (w == nullptr || w->image.isNull()) return;
    QPainter p(this);
    p.drawImage(e->rect().topLeft(), w->image, e->rect());
  }
  void resizeEvent(QResizeEvent*) override {
    WindowRec* w = Windows().Find(win);
    if (w == nullptr) return;
    QSize s = size();
    if (w->image.size() == s) return;
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
  if (w == nullptr || w->menubar == nullptr || w->menubar->actions().isEmpty()) return 0;
  return w->menubar->sizeHint().height();
}

void FrameWidget::Arrange() {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr) return;
  int mh = MenuHeight();
  if (w->menubar) {
    w->menubar->setGeometry(0, 0, width(), mh);
    w->menubar->setVisible(mh > 0);
  }
  w->content->setGeometry(0, mh, width(), std::max(0, height() - mh));
}

void FrameWidget::resizeEvent(QResizeEvent*) {
  Arrange();
  WindowRec* w = Windows().Find(win);
  if (w == nullptr || w->programmaticResize > 0) return;
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

void FrameWidget::showEvent(QShowEvent*) {
  g_front = win;
  if (WindowRec* w = Windows().Find(win))
    SendEvent(kEventClassWindow, kEventWindowShown, w->target);
}

bool FrameWidget::event(QEvent* e) {
  if (e->type() == QEvent::WindowActivate) g_front = win;
  bool r = QWidget::event(e);
  // Maximizing or restoring the window is its zoom.
  if (e->type() == QEvent::WindowStateChange)
    if (WindowRec* w = Windows().Find(win))
      SendEvent(kEventClassWindow, kEventWindowZoomed, w->target);
  return r;
}

void ArrangeFrame(WindowRec* w) {
  // The content keeps its size; the frame grows or shrinks with the menu bar.
  QSize content = w->content->size();
  w->programmaticResize++;
  w->frame->resize(content.width(), content.height() + w->frame->MenuHeight());
  w->frame->Arrange();
  w->programmaticResize--;
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

Rect LocalRect(WindowRec* w, const QWidget* widget) {
  QPoint tl = widget == w->content ? QPoint(0, 0) : widget->mapTo(w->content, QPoint(0, 0));
  Rect r;
  r.top = static_cast<short>(tl.y());
  r.left = static_cast<short>(tl.x());
  r.bottom = static_cast<short>(tl.y() + widget->height());
  r.right = static_cast<short>(tl.x() + widget->width());
  return r;
}

void UpdateMinimumSize(WindowRec* w) {
  EventRef ev = nullptr;
  CreateEvent(kEventClassWindow, kEventWindowGetMinimumSize, GetCurrentEventTime(), &ev);
  Point dims{0, 0};
  if (SendEventToEventTarget(ev, ToHandle<EventTargetRef>(w->target)) == noErr)
    GetEventParameter(ev, kEventParamDimensions, typeQDPoint, nullptr, sizeof dims, nullptr, &dims);
  ReleaseEvent(ev);
  w->frame->setMinimumSize(std::max<int>(0, dims.h),
                           std::max<int>(0, dims.v) + w->frame->MenuHeight());
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

// The control under a window-local point: the deepest visible one.
ControlRec* ControlAt(WindowRec* w, QPoint local) {
  QWidget* hit = w->content->childAt(local);
  for (QWidget* p = hit; p != nullptr && p != w->content; p = p->parentWidget())
    for (uintptr_t id : w->controls) {
      ControlRec* c = Controls().Find(id);
      if (c && c->widget == p) return c;
    }
  return nullptr;
}

// Standard handling of window events: a content click tracks the control under it, a close
// disposes of the window.
OSStatus StandardWindowHandler(EventRef event, uintptr_t owner) {
  WindowRec* w = Windows().Find(owner);
  if (w == nullptr || GetEventClass(event) != kEventClassWindow) return eventNotHandledErr;
  switch (GetEventKind(event)) {
    case kEventWindowClickContentRgn: {
      Point pt{0, 0};
      GetEventParameter(event, kEventParamMouseLocation, typeQDPoint, nullptr, sizeof pt, nullptr,
                        &pt);
      QPoint local = w->content->mapFromGlobal(QPoint(pt.h, pt.v));
      ControlRec* c = ControlAt(w, local);
      if (c == nullptr || !g_nativeClick.active) return noErr;
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

void RegisterControls(WindowRec* w);  // pcontrol.cpp

OSStatus CreateWindowFromNib(IBNibRef nib, const char* windowName, WindowRef* outWindow) {
  if (outWindow == nullptr) return paramErr;
  *outWindow = nullptr;
  std::string* n = NibRefs().Find(nib);
  if (n == nullptr || windowName == nullptr) return paramErr;
  auto it = Nibs()[*n].find(windowName);
  if (it == Nibs()[*n].end()) return resNotFound;
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return paramErr;
  InstallInputFilter();

  WindowRec* w = new WindowRec;
  w->id = Windows().Add(w);
  w->target = NewTarget(FromHandle(GetApplicationEventTarget()), StandardWindowHandler, w->id);
  w->frame = new FrameWidget(w->id);
  w->frame->setAttribute(Qt::WA_DeleteOnClose, false);
  w->content = new ContentWidget(w->id, w->frame);
  w->content->setObjectName(windowName);
  it->second(w->content);
  if (w->content->layout()) w->content->layout()->activate();
  QSize size = w->content->size();
  w->frame->setWindowTitle(w->content->windowTitle());
  w->menubar = new QMenuBar(w->frame);
  w->menubar->setNativeMenuBar(false);
  w->port = NewPort(w->id);
  RebuildMenuBar(w);
  RegisterControls(w);
  w->programmaticResize++;
  w->frame->resize(size.width(), size.height() + w->frame->MenuHeight());
  w->frame->Arrange();
  w->frame->show();
  w->programmaticResize--;
  // A tab control lays out only the page it shows; the others take their place now, so
  // that the bounds of the controls on them are known before they are first shown.
  for (QTabWidget* t : w->content->findChildren<QTabWidget*>())
    if (QStackedWidget* stack = t->findChild<QStackedWidget*>())
      for (int i = 0; i < t->count(); ++i) t->widget(i)->setGeometry(stack->rect());
  *outWindow = ToHandle<WindowRef>(w->id);
  return noErr;
}

bool IsValidWindowPtr(WindowRef w) {
  return Windows().Find(w) != nullptr;
}

void DisposeWindow(WindowRef win) {
  WindowRec* w = Windows().Find(win);
  if (w == nullptr) return;
  for (uintptr_t c : w->controls) DisposeControl(c);
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
    g_front = w->id;
    w->frame->raise();
    w->frame->activateWindow();
  }
}

WindowRef ActiveNonFloatingWindow() {
  WindowRec* w = WindowOfWidget(QApplication::activeWindow());
  if (w == nullptr) w = Windows().Find(g_front);
  if (w == nullptr || !w->frame->isVisible()) {
    // The front window went away: any shown window will do.
    w = nullptr;
    for (const auto& kv : Windows().All())
      if (kv.second->frame->isVisible()) w = kv.second;
  }
  return w ? ToHandle<WindowRef>(w->id) : nullptr;
}

EventTargetRef GetWindowEventTarget(WindowRef win) {
  WindowRec* w = Windows().Find(win);
  return w ? ToHandle<EventTargetRef>(w->target) : nullptr;
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
  QPoint g = wid->mapToGlobal(QPoint(0, 0));
  bounds->top = static_cast<short>(g.y());
  bounds->left = static_cast<short>(g.x());
  bounds->bottom = static_cast<short>(g.y() + wid->height());
  bounds->right = static_cast<short>(g.x() + wid->width());
  return noErr;
}

Rect* GetWindowPortBounds(WindowRef win, Rect* bounds) {
  if (bounds == nullptr) return nullptr;
  *bounds = Rect{0, 0, 0, 0};
  if (WindowRec* w = Windows().Find(win)) {
    bounds->bottom = static_cast<short>(std::min(w->content->height(), 32767));
    bounds->right = static_cast<short>(std::min(w->content->width(), 32767));
  }
  return bounds;
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
