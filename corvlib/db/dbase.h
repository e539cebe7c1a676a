// The record database: field values, schemas, records and record lists, queries, header
// variables, the database header, record blocks and the paged record store. Each component
// has a header of its own; this one only gathers them.
#pragma once

#include "db/dbfield.h"
#include "db/dbschema.h"
#include "db/dbrecord.h"
#include "db/dbrlist.h"
#include "db/dbquery.h"
#include "db/dbhlink.h"
#include "db/dbheader.h"
#include "db/dbblock.h"
#include "db/dbaccess.h"
