// Writing a file in place of another without losing the old one to a failed write: the new
// content goes to a temporary file in the same folder, which is renamed over the old file
// only once it is complete.
#pragma once

#include <string>

// Creates an empty temporary file beside path, with the mode of the file it will replace (or
// 0666 less the umask); returns its descriptor, or -1, and its name in tmp.
int PtempBeside(const char* path, std::string* tmp);
// Renames the finished temporary file onto path; 1 on success, else 0 with the temporary
// file removed. The caller has flushed and closed it.
int PcommitTemp(const std::string& tmp, const char* path);
// Removes an unfinished temporary file.
void PdiscardTemp(const std::string& tmp);
