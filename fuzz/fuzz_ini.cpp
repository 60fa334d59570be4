// Fuzz target: the INI reader and writer behind the plug-in's settings, on
// arbitrary INI text and arbitrary section, key and value names.
//
// Input layout: one flags byte, then section NUL key NUL value NUL, then the
// bytes of the INI file (which may hold anything, NUL bytes included).
//
// What must hold for every input:
//   - reading a key gives the same text whatever the buffer size, cut to
//     size - 1 characters, and TConfiguracion::ReadString gives it whole;
//   - a refused write leaves the file byte for byte as it was;
//   - an accepted write makes the key read back as the value (blanks around
//     it trimmed), and the file still holds every other line unchanged, so
//     every other key still reads as before;
//   - a text setting built on the file takes the stored value or its default.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "Configuracion.h"
#include "platform.h"

namespace {

const char kMarker[] = "foca_noE";

std::string g_dir;
std::string g_file;
// The file before and after the write, shown when a check fails.
std::string g_before;
std::string g_after;

void RemoveScratch() {
  if (g_dir.empty()) return;
  std::remove(g_file.c_str());
  // A write that failed half-way could leave its temporary file behind;
  // the folder is ours, so every entry goes.
  const std::string cmd = "rm -rf '" + g_dir + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
  g_dir.clear();
}

[[noreturn]] void Fail(const char *what, const std::string &detail = std::string()) {
  std::fprintf(stderr, "fuzz_ini: %s %s\n", what, detail.c_str());
  for (const std::string *s : {&g_before, &g_after}) {
    std::fprintf(stderr, "---- file %s:\n", s == &g_before ? "before" : "after");
    for (char c : *s) {
      if (c == '\n' || (c >= 32 && c < 127))
        std::fputc(c, stderr);
      else
        std::fprintf(stderr, "\\x%02X", static_cast<unsigned char>(c));
    }
    std::fprintf(stderr, "\n----\n");
  }
  std::abort();
}

bool WriteFile(const std::string &path, const uint8_t *data, size_t size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return (std::fclose(f) == 0) && ok;
}

std::string ReadFile(const std::string &path) {
  std::string out;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  char buf[4096];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, got);
  std::fclose(f);
  return out;
}

// Gives the value of key in [section] as the platform reads it, whole.
std::string Get(const char *section, const char *key, size_t hint) {
  std::vector<char> buf(hint + 64);
  const uint32_t n = PlatGetPrivateProfileString(section, key, kMarker, buf.data(),
                                                 static_cast<uint32_t>(buf.size()), g_file.c_str());
  if (n >= buf.size()) Fail("count beyond buffer");
  if (std::strlen(buf.data()) != n) Fail("count differs from text length");
  return std::string(buf.data(), n);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t lf = text.find('\n', pos);
    const size_t end = lf == std::string::npos ? text.size() : lf;
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

std::string WithoutCr(std::string s) {
  if (!s.empty() && s.back() == '\r') s.pop_back();
  return s;
}

struct Query {
  std::string section;
  std::string key;
};

// Section and key names of the file's key lines (a rough reading that only
// picks the questions; the answers come from the reader under test).
std::vector<Query> KeysOf(const std::string &text, size_t limit) {
  std::vector<Query> out;
  std::string section;
  for (const std::string &raw : Lines(text)) {
    const std::string line = Trim(WithoutCr(raw));
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      section = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, eq));
    if (key.empty() || key.find('\0') != std::string::npos ||
        section.find('\0') != std::string::npos)
      continue;
    out.push_back({section, key});
    if (out.size() >= limit) break;
  }
  return out;
}

// Tells whether the written file differs from the old one only by the key's
// line: one line replaced, or up to three lines added (a key line, or a
// section header and its key line, with the line break the old last line
// lacked).
void CheckOtherLinesKept(const std::string &before, const std::string &after,
                         const std::string &key) {
  const std::vector<std::string> a = Lines(before);
  const std::vector<std::string> b = Lines(after);
  size_t p = 0;
  while (p < a.size() && p < b.size() && a[p] == b[p]) ++p;
  size_t s = 0;
  while (s < a.size() - p && s < b.size() - p && a[a.size() - 1 - s] == b[b.size() - 1 - s]) ++s;
  if (p + s + 1 < a.size()) Fail("more than one old line changed");
  if (b.size() > p + s + 3) Fail("too many lines added");
  if (p + s + 1 == a.size()) {
    // The one old line that is gone must be the key's own line, or the
    // old last line that only gained its line break.
    const std::string &old = a[p];
    bool ok = false;
    for (size_t i = p; i < b.size() - s; ++i) {
      // The old last line, followed by the CR of a CRLF line break
      // when it had no line break at all.
      if (p == a.size() - 1 &&
          (b[i] == old || (b[i] == old + "\r" && (old.empty() || old.back() != '\r'))))
        ok = true;
    }
    const std::string t = Trim(WithoutCr(old));
    const size_t eq = t.find('=');
    if (eq != std::string::npos && SameName(Trim(t.substr(0, eq)), Trim(key))) ok = true;
    if (!ok) Fail("a line other than the key's changed", old);
  }
}

void CheckReads(const char *section, const char *key) {
  const std::string whole = Get(section, key, 0x10000);
  // Any smaller buffer cuts the same text to size - 1.
  const uint32_t sizes[] = {1,
                            2,
                            9,
                            10,
                            20,
                            static_cast<uint32_t>(whole.size()),
                            static_cast<uint32_t>(whole.size() + 1)};
  for (uint32_t size : sizes) {
    if (size == 0) continue;
    std::vector<char> buf(size + 1, 'Z');
    const uint32_t n =
        PlatGetPrivateProfileString(section, key, kMarker, buf.data(), size, g_file.c_str());
    const size_t expect = whole.size() < size - 1 ? whole.size() : size - 1;
    if (n != expect || buf[n] != '\0' || whole.compare(0, n, buf.data(), n) != 0)
      Fail("cut read differs");
  }
  TConfiguracion config(g_file.c_str());
  DString out;
  const bool found = config.ReadString(out, section, key);
  if (whole.size() <= 65535 && out.Compare(whole.c_str()) != 0)
    Fail("ReadString differs from the platform read");
  if (found != (whole != kMarker)) Fail("ReadString found flag wrong");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Every write of the INI file ends in fsync: in a memory-backed folder
  // that costs nothing, which makes the fuzzer four times faster.
  const char *tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
  if (tmp == nullptr && ::access("/dev/shm", W_OK | X_OK) == 0) base = "/dev/shm";
  std::string pattern = base + "/fuzz_ini_XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) Fail("cannot make a scratch folder");
  g_dir = name.data();
  g_file = g_dir + "/gps.ini";
  std::atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  const char *p = reinterpret_cast<const char *>(data + 1);
  const char *end = reinterpret_cast<const char *>(data + size);
  std::string fields[3];
  for (std::string &f : fields) {
    const char *nul = static_cast<const char *>(std::memchr(p, '\0', static_cast<size_t>(end - p)));
    if (nul == nullptr) return 0;
    f.assign(p, nul);
    p = nul + 1;
  }
  const char *section = fields[0].c_str();
  const char *key = fields[1].c_str();
  const char *value = fields[2].c_str();
  const std::string before(p, end);
  g_before = before;
  g_after.clear();
  if (!WriteFile(g_file, reinterpret_cast<const uint8_t *>(before.data()), before.size()))
    Fail("cannot write the scratch file");

  CheckReads(section, key);
  const std::vector<Query> others = KeysOf(before, 16);
  std::vector<std::string> otherValues;
  for (const Query &q : others)
    otherValues.push_back(Get(q.section.c_str(), q.key.c_str(), before.size()));

  if (flags & 1) {
    // A text setting with the value as its default: it reads the stored
    // value, or writes the default and holds it.
    const std::string stored = Get(section, key, before.size());
    TConfiguracion config(g_file.c_str());
    TstringConfig setting(section, key, &config, value);
    std::string expect = stored != kMarker ? stored : fields[2];
    if (stored != kMarker) {
      for (char &c : expect) {
        if (c == static_cast<char>(0xFE))
          c = '\r';
        else if (c == static_cast<char>(0xFF))
          c = '\n';
      }
    }
    if (stored.size() <= 65535 && setting.value.Compare(expect.c_str()) != 0)
      Fail("setting value wrong");
    if (config.entries.Count() != 1) Fail("setting not bound once");
    return 0;
  }

  const bool written = PlatWritePrivateProfileString(section, key, value, g_file.c_str());
  const std::string after = ReadFile(g_file);
  g_after = after;
  if (!written) {
    if (after != before) Fail("refused write changed the file");
    return 0;
  }
  const std::string readBack = Get(section, key, after.size());
  if (readBack != Trim(fields[2])) Fail("written value does not read back", readBack);
  CheckOtherLinesKept(before, after, fields[1]);
  for (size_t i = 0; i < others.size(); ++i) {
    // The key written (names compare trimmed and ignoring case).
    if (SameName(others[i].section, Trim(fields[0])) && SameName(others[i].key, Trim(fields[1])))
      continue;
    if (Get(others[i].section.c_str(), others[i].key.c_str(), after.size()) != otherValues[i])
      Fail("another key changed", others[i].section + "/" + others[i].key);
  }
  return 0;
}
