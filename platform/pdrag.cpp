// Drag and drop over Qt: drags of this program are QDrags whose data (a list of file URLs) is
// made only when a receiver asks for it; windows with handlers take drags from anywhere through
// an event filter on their content widget.
//
// A URI list is bytes and a path is bytes: the URIs are made from a path's own bytes and read
// back to them (support/bytetext.h), never through text of another encoding.
#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPixmap>
#include <QPointer>
#include <QWidget>
#include <map>
#include <utility>

#include "platform/pqt.h"
#include "support/bytetext.h"

namespace {

const char kUriList[] = "text/uri-list";

// The data of a drag of this program: the file list is asked of the sender once, when first
// read. A list without a file is refused, and the sender told once.
class SenderData : public QMimeData {
 public:
  SenderData(int n, DragSendProc send, std::function<void()> none)
      : n_(n), send_(std::move(send)), none_(std::move(none)) {}
  // A drag of no file offers none.
  QStringList formats() const override {
    return n_ > 0 ? QStringList{QString::fromLatin1(kUriList)} : QStringList();
  }
  bool hasFormat(const QString& m) const override { return n_ > 0 && m == QLatin1String(kUriList); }

 protected:
  QVariant retrieveData(const QString& m, QMetaType) const override {
    if (!hasFormat(m)) return QVariant();
    if (!made_) {
      made_ = true;
      for (int i = 0; i < n_; ++i) {
        std::string path;
        if (send_ && send_(i, &path) && !path.empty()) {
          const std::string uri = FileUri(path);
          list_.append(uri.data(), static_cast<qsizetype>(uri.size()));
          list_ += "\r\n";
        }
      }
      if (list_.isEmpty() && none_) none_();
    }
    return list_.isEmpty() ? QVariant() : QVariant(list_);
  }

 private:
  int n_;
  DragSendProc send_;
  std::function<void()> none_;
  mutable bool made_ = false;
  mutable QByteArray list_;
};

// The local files of a URI list, in order, as their paths' bytes. Lines are ended by CR LF (or
// LF alone) and lines beginning with '#' are comments.
std::vector<std::string> ListedFiles(const QByteArray& list) {
  std::vector<std::string> paths;
  std::string path;
  for (const QByteArray& raw : list.split('\n')) {
    const QByteArray line = raw.trimmed();
    if (line.isEmpty() || line.startsWith('#')) continue;
    if (FileUriPath(std::string_view(line.constData(), static_cast<size_t>(line.size())), &path))
      paths.push_back(path);
  }
  return paths;
}

DragRef Ref(const QMimeData* m) {
  return reinterpret_cast<DragRef>(m);
}
const QMimeData* Mime(DragRef d) {
  return reinterpret_cast<const QMimeData*>(d);
}

// The drag a handler is being told about and its mouse position.
struct Current {
  DragRef drag = nullptr;
  QPoint pos;
} current;

QPointer<QDrag> tracking;
std::function<void()>& StartHook() {
  static std::function<void()> hook;
  return hook;
}
std::function<bool(QDrag*)>& LoopHook() {
  static std::function<bool(QDrag*)> hook;
  return hook;
}

class DropFilter;
struct Handlers {
  DragTrackingHandler track = nullptr;
  void* trackData = nullptr;
  DragReceiveHandler receive = nullptr;
  void* receiveData = nullptr;
  DropFilter* filter = nullptr;
};
std::map<WindowRef, Handlers>& Table() {
  static std::map<WindowRef, Handlers> table;
  return table;
}

class DropFilter : public QObject {
 public:
  explicit DropFilter(WindowRef w) : w_(w) {}

  bool eventFilter(QObject* obj, QEvent* e) override {
    switch (e->type()) {
      case QEvent::DragEnter:
      case QEvent::DragMove: {
        auto* de = static_cast<QDragMoveEvent*>(e);
        const bool enter = e->type() == QEvent::DragEnter;
        if (enter) entered_ = Ref(de->mimeData());
        Tell(enter ? kDragTrackingEnterWindow : kDragTrackingInWindow, entered_,
             de->position().toPoint());
        de->acceptProposedAction();
        return true;
      }
      case QEvent::DragLeave:
        Tell(kDragTrackingLeaveWindow, entered_, QPoint());
        entered_ = nullptr;
        return true;
      case QEvent::Drop: {
        auto* de = static_cast<QDropEvent*>(e);
        const DragRef d = Ref(de->mimeData());
        entered_ = nullptr;
        auto it = Table().find(w_);
        OSStatus r = paramErr;
        if (it != Table().end() && it->second.receive) {
          const Current keep = current;
          current = {d, de->position().toPoint()};
          r = it->second.receive(w_, it->second.receiveData, d);
          current = keep;
        }
        if (r == noErr)
          de->acceptProposedAction();
        else
          de->ignore();
        return true;
      }
      default:
        return QObject::eventFilter(obj, e);
    }
  }

 private:
  void Tell(SInt16 message, DragRef d, QPoint pos) {
    auto it = Table().find(w_);
    if (it == Table().end() || it->second.track == nullptr || d == nullptr) return;
    const Current keep = current;
    current = {d, pos};
    it->second.track(message, w_, it->second.trackData, d);
    current = keep;
  }

  WindowRef w_;
  DragRef entered_ = nullptr;
};

Handlers* Install(WindowRef w) {
  QWidget* content = PlatformContentWidget(w);
  if (content == nullptr) return nullptr;
  Handlers& h = Table()[w];
  if (h.filter == nullptr) {
    h.filter = new DropFilter(w);
    h.filter->setParent(content);  // goes with the window
    content->installEventFilter(h.filter);
    content->setAcceptDrops(true);
  }
  return &h;
}

}  // namespace

OSStatus InstallTrackingHandler(DragTrackingHandler handler, WindowRef w, void* userData) {
  Handlers* h = handler ? Install(w) : nullptr;
  if (h == nullptr) return paramErr;
  h->track = handler;
  h->trackData = userData;
  return noErr;
}

OSStatus InstallReceiveHandler(DragReceiveHandler handler, WindowRef w, void* userData) {
  Handlers* h = handler ? Install(w) : nullptr;
  if (h == nullptr) return paramErr;
  h->receive = handler;
  h->receiveData = userData;
  return noErr;
}

OSStatus RemoveDragHandlers(WindowRef w) {
  auto it = Table().find(w);
  if (it == Table().end()) return paramErr;
  if (QWidget* content = PlatformContentWidget(w)) {
    content->removeEventFilter(it->second.filter);
    content->setAcceptDrops(false);
    delete it->second.filter;
  }
  Table().erase(it);
  return noErr;
}

OSStatus GetDragMouse(DragRef drag, Point* mouse) {
  if (drag == nullptr || drag != current.drag || mouse == nullptr) return paramErr;
  mouse->h = static_cast<short>(current.pos.x());
  mouse->v = static_cast<short>(current.pos.y());
  return noErr;
}

bool DragOffersFiles(DragRef drag) {
  const QMimeData* m = Mime(drag);
  if (m == nullptr || !m->hasFormat(QLatin1String(kUriList))) return false;
  if (dynamic_cast<const SenderData*>(m) != nullptr) return true;  // made when asked
  return !ListedFiles(m->data(QLatin1String(kUriList))).empty();
}

bool GetDragFiles(DragRef drag, std::vector<std::string>* paths) {
  const QMimeData* m = Mime(drag);
  if (m == nullptr || paths == nullptr) return false;
  paths->clear();
  if (m->hasFormat(QLatin1String(kUriList))) *paths = ListedFiles(m->data(QLatin1String(kUriList)));
  return true;
}

DragRef NewDrag(int nitems, DragSendProc send, std::function<void()> none) {
  if (nitems < 0) return nullptr;
  return Ref(new SenderData(nitems, std::move(send), std::move(none)));
}

void DisposeDrag(DragRef drag) {
  delete const_cast<QMimeData*>(Mime(drag));
}

OSStatus TrackDrag(DragRef drag, WindowRef w, const QImage& picture, QPoint hotSpot) {
  QWidget* content = PlatformContentWidget(w);
  if (drag == nullptr || content == nullptr || tracking) {
    DisposeDrag(drag);
    return paramErr;
  }
  auto* d = new QDrag(content);
  d->setMimeData(const_cast<QMimeData*>(Mime(drag)));  // the drag owns its data
  d->setPixmap(QPixmap::fromImage(picture));
  d->setHotSpot(hotSpot);
  tracking = d;
  if (StartHook()) StartHook()();
  // The drag is not freed here: a receiver in another program asks for the data only after the
  // drop, when exec has returned, and the platform answers it from this drag. Qt frees it once
  // the platform is done with it (the window, its parent, at the latest).
  const bool dropped =
      LoopHook() ? LoopHook()(d)
                 : d->exec(Qt::CopyAction | Qt::MoveAction, Qt::CopyAction) != Qt::IgnoreAction;
  tracking = nullptr;
  return dropped ? noErr : userCanceledErr;
}

void PlatformSetDragStartHook(std::function<void()> hook) {
  StartHook() = std::move(hook);
}

void PlatformSetDragLoop(std::function<bool(QDrag*)> loop) {
  LoopHook() = std::move(loop);
}

QDrag* PlatformCurrentDrag() {
  return tracking.data();
}
