// dgnhost's file operations that differ between systems (the platform layer
// does them): whether two names lead to one file, the name of a temporary
// file beside a target, and replacing a file by another.
#ifndef DGN_TOOLS_DGNHOST_FILES_H
#define DGN_TOOLS_DGNHOST_FILES_H

#include <string>

// True when both names lead to one existing file: the same text, or, spelt
// differently (another folder path, a link), the same file on the same volume.
bool SameFile(const std::string &a, const std::string &b);

// A name for a temporary file in the folder of `target`, unique to this process.
std::string TempNameBeside(const std::string &target);

// Puts file `from` in the place of `to`, replacing any file there in one
// step; false with the system's reason in `error`.
bool RenameOver(const std::string &from, const std::string &to, std::string &error);

#endif  // DGN_TOOLS_DGNHOST_FILES_H
