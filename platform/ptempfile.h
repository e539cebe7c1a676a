// Private temporary files. Each is made new (never over an existing name, never through a
// symbolic link) in a folder only this user can enter, so a path handed out here can be opened
// again by name (an image writer does) without another user being able to swap the file.
//
//   kTempImage  $XDG_CACHE_HOME/lumerin/tmp: HDR results, panoramas and other images, which can
//               take gigabytes, too much for the size-capped run-time folder.
//   kTempSmall  $XDG_RUNTIME_DIR/lumerin: small files such as value lists; the image folder
//               when there is no usable run-time folder.
//
// A temporary file is removed by its caller (RemoveTempFile) or, failing that, when the
// program exits normally.
#pragma once

#include <cstdint>
#include <string>

enum TempFileKind { kTempImage, kTempSmall };

// The private folder of a kind, made 0700 when missing; empty with the reason in *message.
// Callers may keep files of their own there under fixed names.
std::string TempFolder(TempFileKind kind, std::string* message = nullptr);

// Makes a new empty file (mode 0600) with a name no file in the folder has, ending in suffix
// (".tif", ".txt": writers choose their format by it), and gives its full path; empty, with the
// reason in *message, when none can be made.
std::string MakeTempFile(TempFileKind kind, const std::string& suffix,
                         std::string* message = nullptr);

// Removes a file MakeTempFile made and forgets it. False when the path is not one of them (it
// is then left alone) or removing it failed.
bool RemoveTempFile(const std::string& path);

// Forgets a file MakeTempFile made without removing it: it stays where it is after the program
// ends. False when the path is not one of them.
bool KeepTempFile(const std::string& path);

// Removes every temporary file still outstanding; runs by itself at a normal exit.
void RemoveTempFiles();

// For tests: makes the sequence of names tried from here on repeatable.
void SeedTempFileNames(uint64_t seed);
