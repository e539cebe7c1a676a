// Test helpers of the record database.
#pragma once

#include "testutil/message_log.h"
