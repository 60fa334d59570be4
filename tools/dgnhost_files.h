// dgnhost's file operations that differ between systems (the platform layer
// does them): whether two names lead to one file, the name of a temporary
// file beside a target, and replacing a file by another.
#ifndef DGN_TOOLS_DGNHOST_FILES_H
#define DGN_TOOLS_DGNHOST_FILES_H

#include <cstdio>
#include <string>

// True when both names lead to one existing file: the same text, or, spelt
// differently (another folder path, a link), the same file on the same volume.
bool SameFile(const std::string &a, const std::string &b);

// A name for a temporary file in the folder of `target`, unique to this process.
std::string TempNameBeside(const std::string &target);

// Puts file `from` in the place of `to`, replacing any file there in one
// step; false with the system's reason in `error`.
bool RenameOver(const std::string &from, const std::string &to, std::string &error);

// Answers of HoldForUpdate.
enum class Hold {
  kHeld,      // the existing file's update lock is held by *held
  kNoFile,    // no file there that could be locked: nothing is held
  kElsewhere  // another map, in this or another program, has it open for update
};

// Takes the update lock of an existing file at `path`, for as long as *held
// stays open, so that no writer works in it while it is replaced.
Hold HoldForUpdate(const std::string &path, FILE **held);

// RenameOver, for a target whose update lock `held` holds (null: none); the
// hold ends with it.
bool RenameOverHeld(FILE *held, const std::string &from, const std::string &to, std::string &error);

#endif  // DGN_TOOLS_DGNHOST_FILES_H
