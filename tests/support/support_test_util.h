// Helpers shared by the support-library tests: a scratch folder removed
// with everything in it, and whole-file read and write.
#ifndef DGN_TESTS_SUPPORT_TEST_UTIL_H
#define DGN_TESTS_SUPPORT_TEST_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace supporttest {

// A fresh folder under TMPDIR (or /tmp), removed recursively on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  // Gives the folder's path joined with name (OS form).
  std::string Path(const std::string &name = "") const;
  // Gives the names of the entries of the folder, sorted.
  std::vector<std::string> Entries() const;

 private:
  std::string root_;
};

// Gives the bytes of the file ("" when it cannot be read).
std::string ReadFile(const std::string &path);
// Replaces the file's bytes.
void WriteFile(const std::string &path, const std::string &bytes);
// Gives true when something exists at path.
bool PathExists(const std::string &path);

}  // namespace supporttest

#endif
