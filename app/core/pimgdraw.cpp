// Drawing images into ports.
#include "app/core/pimgdraw.h"

#include "image/picolor.h"
#include "support/memobject.h"

void myIrelease(void* info) {
  if (info != nullptr) static_cast<MemObject*>(info)->Release();
}

void PBgetAffine(QTransform* transform, const POrient* orient) {
  if (transform == nullptr) return;
  *transform = QTransform();
  if (orient == nullptr) return;
  const double w = orient->xres, h = orient->yres;
  // Flips first (about the image's own width and height), then the exchange of the axes.
  const double sx = orient->hflip ? -1 : 1, tx = orient->hflip ? w : 0;
  const double sy = orient->vflip ? -1 : 1, ty = orient->vflip ? h : 0;
  if (!orient->xyswap)
    *transform = QTransform(sx, 0, 0, sy, tx, ty);
  else
    *transform = QTransform(0, sx, sy, 0, ty, tx);
}

void Q2DImage(QPainter* painter, const _ImgStruct* image) {
  if (painter == nullptr || !painter->isActive() || image == nullptr || image->img == nullptr ||
      image->csp == nullptr || image->xres <= 0 || image->yres <= 0 || image->rowsize < 0 ||
      !PmatchColorSpace(image->csp, &ICS_sRGB, 1 | 2))
    return;
  if (image->rowsize < 3 * image->xres) return;
  // The pixels are wrapped where they lie; the memory block stays held until Qt lets go.
  QImage wrapped;
  if (image->mbase != nullptr) {
    image->mbase->Retain();
    wrapped = QImage(image->img, image->xres, image->yres, image->rowsize, QImage::Format_RGB888,
                     myIrelease, image->mbase);
  } else {
    wrapped = QImage(image->img, image->xres, image->yres, image->rowsize, QImage::Format_RGB888);
  }
  painter->drawImage(QPointF(0, 0), wrapped);
}

void QDrawImage(QPainter* painter, const _ImgStruct* image, int xdest, int ydest,
                const POrient* orient) {
  if (painter == nullptr || !painter->isActive() || image == nullptr) return;
  painter->save();
  painter->setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter->translate(xdest, ydest);
  if (orient != nullptr && !orient->IsNoop()) {
    QTransform t;
    PBgetAffine(&t, orient);
    painter->setTransform(t, true);
  }
  Q2DImage(painter, image);
  painter->restore();
}

void QDrawImage(const _ImgStruct* image, int xdest, int ydest, const POrient* orient) {
  PortPainter painter;
  QDrawImage(&painter, image, xdest, ydest, orient);
}
