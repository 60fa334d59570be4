// 64-bit file offsets and inode numbers in the i386 build too: without them
// stat and readdir fail with EOVERFLOW on large file systems.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "support_test_util.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace supporttest {

namespace {

void RemoveTree(const std::string &path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), 0700);
    if (DIR *d = ::opendir(path.c_str())) {
      while (struct dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      ::closedir(d);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

}  // namespace

ScratchDir::ScratchDir() {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/dgn_support_XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = buf.data();
}

ScratchDir::~ScratchDir() { RemoveTree(root_); }

std::string ScratchDir::Path(const std::string &name) const {
  return name.empty() ? root_ : root_ + "/" + name;
}

std::vector<std::string> ScratchDir::Entries() const {
  std::vector<std::string> names;
  if (DIR *d = ::opendir(root_.c_str())) {
    while (struct dirent *e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool PathExists(const std::string &path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace supporttest
