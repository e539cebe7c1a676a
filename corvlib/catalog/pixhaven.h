// The photo catalogue: the photo record schema and its formatters, catalogue headers, the
// undoable catalogue store, the timeline, file facts, locating, image information,
// orientation, cached images and the thumbnail cache.
#pragma once

#include "catalog/pdbase.h"
#include "catalog/pdbformat.h"
#include "catalog/pdbheader.h"
#include "catalog/pdbaccess.h"
#include "catalog/ptimeline.h"
#include "catalog/pfileinfo.h"
#include "catalog/plocate.h"
#include "catalog/pimginfo.h"
#include "catalog/porient.h"
#include "catalog/picache.h"
#include "catalog/pthumb.h"
