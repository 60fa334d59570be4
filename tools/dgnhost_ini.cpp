// The scratch INI folder of dgnhost --whole-map (dgnhost_ini.h).
#include "dgnhost_ini.h"

#include <cstdio>
#include <string>

#include "platform.h"

namespace {

const char kIniName[] = "gps.ini";
const char kSection[] = "Mapa";
const char kWholeMapKey[] = "DGN_Whole_Map";

std::string Trim(const std::string &s) {
  const size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return std::string();
  const size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

bool SameWord(const std::string &a, const char *b) {
  const std::string bb(b);
  if (a.size() != bb.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    const char y = bb[i] >= 'A' && bb[i] <= 'Z' ? static_cast<char>(bb[i] - 'A' + 'a') : bb[i];
    if (x != y) return false;
  }
  return true;
}

std::string JoinPath(const std::string &dir, const char *name) {
  if (dir.empty()) return name;
  const char last = dir[dir.size() - 1];
  return last == '/' || last == '\\' ? dir + name : dir + "/" + name;
}

std::string Slurp(const std::string &path) {
  std::string text;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  return text;
}

}  // namespace

std::string IniWithKeyOn(const std::string &ini, const char *section, const char *key) {
  std::string out;
  bool inSection = false;
  bool placed = false;
  size_t at = 0;
  while (at < ini.size()) {
    size_t end = ini.find('\n', at);
    const bool last = end == std::string::npos;
    if (last) end = ini.size();
    const std::string line = ini.substr(at, end - at + (last ? 0 : 1));
    at = end + 1;
    const std::string t = Trim(line.substr(0, line.find('\n')));
    if (!t.empty() && t[0] == '[') {
      const size_t close = t.find(']');
      inSection = close != std::string::npos && SameWord(Trim(t.substr(1, close - 1)), section);
      out += line;
      if (last) out += "\n";
      if (inSection && !placed) {
        out += std::string(key) + "=1\n";
        placed = true;
      }
      continue;
    }
    const size_t eq = t.find('=');
    if (inSection && eq != std::string::npos && SameWord(Trim(t.substr(0, eq)), key)) continue;
    out += line;
  }
  if (!placed) {
    if (!out.empty() && out[out.size() - 1] != '\n') out += "\n";
    out += "[" + std::string(section) + "]\n" + key + "=1\n";
  }
  return out;
}

WholeMapIni::WholeMapIni(const std::string &iniDir) {
  dir_ = PlatMakeTempFolder("dgnhost-");
  if (dir_.empty()) return;
  const std::string text = IniWithKeyOn(Slurp(JoinPath(iniDir, kIniName)), kSection, kWholeMapKey);
  FILE *f = std::fopen(JoinPath(dir_, kIniName).c_str(), "wb");
  if (f == nullptr) return;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok_ = std::fclose(f) == 0 && written;
}

WholeMapIni::~WholeMapIni() {
  if (dir_.empty()) return;
  std::remove(JoinPath(dir_, kIniName).c_str());
  PlatRemoveFolder(dir_.substr(0, dir_.size() - 1).c_str());
}
