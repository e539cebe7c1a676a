// Writing a file without putting the one it replaces at risk: the new content goes into a
// temporary file beside it, which takes the name only once it is complete.
#pragma once

#include <cstddef>

// Room for the temporary name of a path (the path, a dot and eight more characters).
constexpr size_t TMPWRITE_EXTRA = 16;

// Creates an empty temporary file in path's folder, writes its name into tmp (size bytes)
// and returns its open descriptor, or -1 (errno set) when it cannot be made. The file gets
// the permissions a new file of that name would get.
int PcreateTempFor(char* tmp, size_t size, const char* path);
// With ok non-zero renames tmp to path and returns 1 (0 when that fails); otherwise, or
// when the rename fails, removes tmp.
int PfinishTemp(const char* tmp, const char* path, int ok);
