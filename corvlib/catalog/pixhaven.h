// The photo catalogue: the photo record schema and its formatters, catalogue headers, the
// undoable catalogue store and the timeline.
#pragma once

#include "catalog/pdbase.h"
#include "catalog/pdbformat.h"
#include "catalog/pdbheader.h"
#include "catalog/pdbaccess.h"
#include "catalog/ptimeline.h"
