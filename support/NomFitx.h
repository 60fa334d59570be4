// File names and the current directory.
//
// Paths are held in backslash form; a drive is a letter and a colon.  On
// POSIX every path entering these classes has its '/' turned into '\', and
// the platform layer turns them back at the OS boundary, so /data/a.dgn is
// held as \data\a.dgn, a complete path.
#ifndef DGN_SUPPORT_NOMFITX_H
#define DGN_SUPPORT_NOMFITX_H

#include "DString.h"

// A file path with the operations that find the seed file.
class TStringNomFitx {
 public:
  // Gives the path text (null gives the empty path).
  explicit TStringNomFitx(const char *text = nullptr);

  // Gives the text after the last '\' or '/' (the whole path without
  // either; empty when the path ends in a separator).
  const char *FileName() const;
  // Gives the text before the last backslash (empty without one).
  TStringNomFitx Directory() const;
  // Sets the path to directory, a backslash when needed, then name.
  void Join(const char *directory, const char *name);
  // Gives true for a path with a drive, a leading backslash or a colon.
  bool IsComplete() const;
  // Gives true when the path names an existing file that is not a folder.
  bool Exists() const;
  // Moves the file name into the host program's directory.
  void PlaceInProgramDir();
  // Replaces the directory part by walking rel (relative components,
  // ".." and "." understood) or by rel itself when it is complete.
  void ChangeDir(const char *rel);

  // Gives the path text.
  const char *CStr() const { return path.CStr(); }

  DString path;
};

// The current drive and directory, read when built.
class TCurrentDir {
 public:
  // Gives the current directory: "C:\dir" on Windows, "\dir" on POSIX.
  TCurrentDir();

  DString path;
};

// The host program's directory: empty until the first PlaceInProgramDir.
extern DString programDirectory;
// The current directory when the library was loaded.
extern TCurrentDir currentDirectory;

#endif
