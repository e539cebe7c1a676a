// The photo catalogue: the photo record schema and its formatters, catalogue headers, the
// undoable catalogue store, the timeline, file facts, locating, image information,
// orientation, cached images, and the catalogue context through which the application opens,
// edits, undoes and closes a catalogue and its shadow catalogue. Only includes: each part has
// a header of its own, which the library's own files use.
#pragma once

#include "catalog/pcontext.h"
#include "catalog/pcstate.h"
#include "catalog/pdbaccess.h"
#include "catalog/pdbase.h"
#include "catalog/pdbformat.h"
#include "catalog/pdbheader.h"
#include "catalog/pfieldset.h"
#include "catalog/pfileinfo.h"
#include "catalog/picache.h"
#include "catalog/pimginfo.h"
#include "catalog/plocate.h"
#include "catalog/plock.h"
#include "catalog/porient.h"
#include "catalog/ptimeline.h"
