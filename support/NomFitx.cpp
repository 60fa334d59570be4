// File names and the current directory.
#include "NomFitx.h"

#include <cstring>

#include "Vector.h"
#include "platform.h"

// Created at library load in this order, released in the reverse order.
DString programDirectory;
TCurrentDir currentDirectory;

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Gives text in backslash form (on POSIX '/' becomes '\').
DString Internal(const char *text) {
  if (text == nullptr) return DString();
  return DString(PlatFromOsPath(text).c_str());
}

bool IsCompleteText(const DString &p) {
  if (p.Length() < 2) return false;
  if (p.CharAt(1) == ':') return true;
  if (p.CharAt(0) == '\\') return true;
  return p.FindLast(':') >= 0;
}

}  // namespace

TStringNomFitx::TStringNomFitx(const char *text) : path(Internal(text)) {}

const char *TStringNomFitx::FileName() const {
  const int back = path.FindLast('\\');
  const int fwd = path.FindLast('/');
  const int last = back > fwd ? back : fwd;
  return path.CStr() + (last + 1);
}

TStringNomFitx TStringNomFitx::Directory() const {
  TStringNomFitx dir;
  const int last = path.FindLast('\\');
  if (last > 0) {
    dir.path.Assign(path);
    dir.path.At(last) = '\0';
  } else if (last == 0) {
    dir.path.Assign("");
  }
  return dir;
}

void TStringNomFitx::Join(const char *directory, const char *name) {
  // Either argument may point into our own path: build aside first.
  DString joined(Internal(directory));
  const int n = joined.Length();
  if (n > 0 && joined.CharAt(n - 1) != '\\') joined.Append('\\');
  joined.Append(Internal(name));
  path.Assign(joined);
}

bool TStringNomFitx::IsComplete() const { return IsCompleteText(path); }

bool TStringNomFitx::Exists() const {
  if (IsComplete() && PlatHasDrives()) {
    const char first = UpperAscii(path.CharAt(0));
    if (first != 'C' && first != '\\') {
      // Bit (letter - 'A') modulo 32 of the drive mask; the & keeps
      // the shift in 0..31 for characters below 'A' too.
      const unsigned bit = static_cast<unsigned>(first - 'A') & 31u;
      if ((PlatGetLogicalDrives() & (1u << bit)) == 0) return false;
    }
  }
  const uint32_t attributes = PlatGetFileAttributes(path.CStr());
  if (attributes == PLAT_INVALID_FILE_ATTRIBUTES) return false;
  return (attributes & PLAT_FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void TStringNomFitx::PlaceInProgramDir() {
  // Maps created on different threads at once look the folder up once and
  // share it.
  static PlatMutex lock;
  DString directory;
  {
    PlatLockGuard guard(lock);
    if (programDirectory.IsEmpty()) {
      const std::string program = PlatProgramPath();
      if (!program.empty()) {
        const TStringNomFitx programPath(program.c_str());
        programDirectory.Assign(programPath.Directory().path);
      }
    }
    directory.Assign(programDirectory);
  }
  const DString name(FileName());
  Join(directory.CStr(), name.CStr());
}

void TStringNomFitx::ChangeDir(const char *relText) {
  if (relText == nullptr) return;
  const DString rel(Internal(relText));
  if (rel.IsEmpty()) return;
  if (IsCompleteText(rel)) {
    const DString name(FileName());
    Join(rel.CStr(), name.CStr());
    return;
  }
  if (rel.FindLast('\\') >= 0) {
    Vector<DString> parts(10, 10);
    rel.Split("\\", parts);
    const int32_t end = parts.Base() + Min(parts.Count(), parts.Capacity());
    for (int32_t i = parts.Base(); i < end; ++i) {
      if (!parts.IsValid(i)) continue;
      const DString *part = parts.Get(i);
      // Only a lone backslash survives the split with a separator in
      // it; it names no folder, and walking it again would not end.
      if (part->FindLast('\\') >= 0) continue;
      ChangeDir(part->CStr());
    }
    return;
  }
  const DString name(FileName());
  DString dir(Directory().path);
  if (rel.Compare("..") == 0) {
    const int cut = dir.FindLast('\\');
    if (cut < 0) return;
    // Going up from a folder of the root keeps the root backslash, so
    // \a\f.dgn becomes \f.dgn and not the relative f.dgn.
    dir.At(cut == 0 ? 1 : cut) = '\0';
    Join(dir.CStr(), name.CStr());
    return;
  }
  if (rel.Compare(".") == 0) return;
  dir.Append('\\').Append(rel);
  Join(dir.CStr(), name.CStr());
}

TCurrentDir::TCurrentDir() {
  const int drive = PlatCurrentDrive();
  if (drive >= 0) {
    path.Append(static_cast<char>('A' + drive)).Append(":\\");
  } else {
    path.Append('\\');
  }
  path.Append(PlatCurrentDirectory().c_str());
}
