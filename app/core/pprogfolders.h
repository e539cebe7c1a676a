// The program's folders kept in order while it runs: the folders of the thumbnail cache and the
// shadow catalogue made at start (again when the user removed them) and held from their check,
// and, before every folder load, the thumbnail cache, the shadow catalogue and the log made anew
// when their files went with their folders, or, closed unwritten, when a folder's path no longer
// leads to the folder held or the folder no longer passes its check. A folder that cannot be had
// is told once and costs nothing more.
#pragma once

#include <string>

// Sets the thumbnail cache and the shadow catalogue's places at start, after the preferences
// were read: those the preferences leave unset go to the user's cache folder; their folders are
// made again when they went missing, and the thumbnail cache is opened in its folder. One that
// cannot be had is told once, here: no thumbnail is cached, no shadow record kept this run.
void PmakeCacheFolders();
// Whether the shadow catalogue's folder was there (or made again) when the preferences were read:
// one that could not be had was told then, and the catalogue is not tried this run.
bool PshadowFolderReady();
// Looks again at the files the program keeps in its folders (before a folder is loaded): the
// thumbnail cache, the shadow catalogue or the log whose folder the user removed meanwhile (the
// cache cleared while the program runs) starts anew in its folder made again; what the removed
// files held went with them.
void PcheckProgramFolders();
// Forgets what was found of the folders (a second start-up in one process).
void PresetProgramFolders();
// Checks the folder of the shadow catalogue at path as every folder the program writes in is
// checked (MakeProgramFolder), and holds it, so that PcheckProgramFolders tells whether its path
// still leads to it; an empty path holds none. False with the reason in *why.
bool PholdShadowFolder(const char* path, std::string* why);
// The same for the thumbnail cache's folder dir, made by itself when missing.
bool PholdThumbFolder(const char* dir, std::string* why);
