// Drawing images into a window's port: an 8-bit RGB image is wrapped as it lies in memory (no
// copy; its memory block is held until the drawing lets go of it) and drawn with its top-left
// corner at a port point, turned and flipped as a photo's orientation says. The browser's cells
// and panel, the info window's thumbnail and the image window draw through these.
#pragma once

#include "catalog/porient.h"
#include "image/corvane.h"
#include "platform/pqt.h"

// The transform that orients an image of orient's original size, in pixel coordinates with y
// down: the image's area (0, 0)-(w, h) lands on (0, 0)-(oriented width, oriented height).
void PBgetAffine(QTransform* transform, const POrient* orient);
// Draws an sRGB image (8 bits, three components; any other is not drawn) at (0, 0) of the
// painter's present coordinates.
void Q2DImage(QPainter* painter, const _ImgStruct* image);
// Draws the image with its oriented top-left corner at (xdest, ydest) of the port (or of the
// painter given), oriented by orient when given.
void QDrawImage(const _ImgStruct* image, int xdest, int ydest, const POrient* orient);
void QDrawImage(QPainter* painter, const _ImgStruct* image, int xdest, int ydest,
                const POrient* orient);
// Lets go of an image's memory block once a drawing no longer needs it.
void myIrelease(void* info);
