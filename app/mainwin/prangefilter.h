// Filtering a record list by a long chain of selectors that each bound one string field to a
// narrow range (the timeline's events: a subject and a span of capture dates each).
#pragma once

#include "db/dbquery.h"
#include "db/dbrlist.h"

// Keeps the records of list that chain q matches, in their order; the number kept. The result
// is that of testing every record against the whole chain, but a record is tested only against
// the selectors whose range on field k (of the list's schema) can hold one of its values.
int KeepMatching(DBRecordList* list, const DBQuery* q, int k);
