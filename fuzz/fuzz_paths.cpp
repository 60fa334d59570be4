// Fuzz target: the file-name classes (FileName, Directory, Join, IsComplete,
// ChangeDir, PlaceInProgramDir, Exists) and DString::Split on arbitrary text.
//
// Input layout: path NUL rel NUL name NUL separators (the missing tail parts
// are empty).  On POSIX every '/' entering the classes becomes '\', so the
// expected results are computed on the backslash form.
//
// What must hold: every call returns (no endless walk of a relative path),
// FileName is the text after the last separator, Directory the text before
// the last backslash, Join puts exactly one backslash between its parts,
// ChangeDir keeps the file name, PlaceInProgramDir keeps the file name, and
// Split gives non-empty tokens that hold every character but the separators.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "DString.h"
#include "NomFitx.h"
#include "Vector.h"
#include "platform.h"

namespace {

[[noreturn]] void Fail(const char *what, const std::string &a = std::string(),
                       const std::string &b = std::string()) {
  std::fprintf(stderr, "fuzz_paths: %s [%s] [%s]\n", what, a.c_str(), b.c_str());
  std::abort();
}

std::string Internal(const std::string &s) { return PlatFromOsPath(s.c_str()); }

std::string ExpectedFileName(const std::string &p) {
  const size_t last = p.find_last_of("\\/");
  return last == std::string::npos ? p : p.substr(last + 1);
}

std::string ExpectedDirectory(const std::string &p) {
  const size_t last = p.find_last_of('\\');
  return last == std::string::npos ? std::string() : p.substr(0, last);
}

std::string ExpectedJoin(const std::string &dir, const std::string &name) {
  std::string out = dir;
  if (!out.empty() && out.back() != '\\') out += '\\';
  return out + name;
}

bool ExpectedComplete(const std::string &p) {
  if (p.size() < 2) return false;
  return p[1] == ':' || p[0] == '\\' || p.find(':') != std::string::npos;
}

void CheckPath(const std::string &raw) {
  const std::string p = Internal(raw);
  const TStringNomFitx path(raw.c_str());
  if (p != path.CStr()) Fail("path not held in backslash form", p, path.CStr());
  if (ExpectedFileName(p) != path.FileName()) Fail("FileName", p, path.FileName());
  if (ExpectedDirectory(p) != path.Directory().CStr())
    Fail("Directory", p, path.Directory().CStr());
  if (ExpectedComplete(p) != path.IsComplete()) Fail("IsComplete", p);
  (void)path.Exists();
}

void CheckJoin(const std::string &dirRaw, const std::string &nameRaw) {
  TStringNomFitx joined;
  joined.Join(dirRaw.c_str(), nameRaw.c_str());
  const std::string expect = ExpectedJoin(Internal(dirRaw), Internal(nameRaw));
  if (expect != joined.CStr()) Fail("Join", expect, joined.CStr());
  // Joining from the path's own text (the arguments point into it).
  TStringNomFitx self(dirRaw.c_str());
  self.Join(self.CStr(), self.FileName());
  const std::string d = Internal(dirRaw);
  if (ExpectedJoin(d, ExpectedFileName(d)) != self.CStr()) Fail("Join onto itself", d, self.CStr());
}

void CheckChangeDir(const std::string &pathRaw, const std::string &relRaw) {
  TStringNomFitx path(pathRaw.c_str());
  const std::string name = path.FileName();
  const std::string dir = path.Directory().CStr();
  path.ChangeDir(relRaw.c_str());
  if (name != path.FileName()) Fail("ChangeDir lost the file name", name, path.FileName());
  const std::string rel = Internal(relRaw);
  const std::string result = path.CStr();
  if (rel.empty() || rel == ".") {
    if (result != Internal(pathRaw))
      Fail("ChangeDir with an empty or . step changed the path", rel, result);
    return;
  }
  if (ExpectedComplete(rel)) {
    if (result != ExpectedJoin(rel, name)) Fail("ChangeDir to a complete folder", rel, result);
    return;
  }
  if (rel.find('\\') == std::string::npos && rel != "..") {
    if (result != ExpectedJoin(dir + "\\" + rel, name))
      Fail("ChangeDir one step down", rel, result);
  }
}

void CheckPlaceInProgramDir(const std::string &pathRaw) {
  TStringNomFitx path(pathRaw.c_str());
  const std::string name = path.FileName();
  path.PlaceInProgramDir();
  if (ExpectedJoin(programDirectory.CStr(), name) != path.CStr())
    Fail("PlaceInProgramDir", name, path.CStr());
}

void CheckSplit(const std::string &text, const std::string &separators) {
  const DString s(text.c_str());
  Vector<DString> parts(10, 10);
  s.Split(separators.c_str(), parts);
  std::string kept;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 0 || separators.find(text[i]) == std::string::npos) kept += text[i];
  }
  std::string joined;
  const int32_t end = parts.Base() + Min(parts.Count(), parts.Capacity());
  for (int32_t i = parts.Base(); i < end; ++i) {
    if (!parts.IsValid(i)) continue;
    const DString *part = parts.Get(i);
    if (part->IsEmpty()) Fail("Split gave an empty token", text);
    const std::string t = part->CStr();
    for (size_t k = (i == parts.Base() ? 1 : 0); k < t.size(); ++k) {
      if (separators.find(t[k]) != std::string::npos)
        Fail("Split left a separator inside a token", text, t);
    }
    joined += t;
  }
  if (joined != kept) Fail("Split lost characters", kept, joined);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // A fixed program path, so that PlaceInProgramDir does not depend on
  // where the fuzzer runs.
  PlatSetProgramPathForTesting("C:\\Prog\\host.exe");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string fields[4];
  size_t f = 0;
  for (size_t i = 0; i < size && f < 4; ++i) {
    if (data[i] == 0)
      ++f;
    else
      fields[f] += static_cast<char>(data[i]);
  }
  const std::string &path = fields[0];
  const std::string &rel = fields[1];
  const std::string &name = fields[2];
  const std::string &separators = fields[3].empty() ? std::string("\\") : fields[3];

  try {
    CheckPath(path);
    CheckPath(rel);
    CheckJoin(path, name);
    CheckJoin(rel, path);
    CheckChangeDir(path, rel);
    CheckChangeDir(rel, path);
    CheckPlaceInProgramDir(path);
    CheckSplit(path, separators);
    CheckSplit(rel, "\\");
  } catch (const TXErrorVectoresDG &) {
    Fail("a vector check failed");
  }
  return 0;
}
