// INI-backed settings: reading values of any length, the stored form of
// line breaks, and the default written back when the file has no value.
#include "Configuracion.h"

#include "platform.h"

namespace {

// Default passed to the profile reader: a value that comes back equal to it
// was not in the file.
const char kMissingMarker[] = "foca_noE";

// Longest value read: past it the read stops with the value cut to this
// length, instead of re-reading the file in 20-byte steps without end.
constexpr int kMaxValueLength = 65535;

// Stored form of a value: CR -> 0xFE, LF -> 0xFF.
void EncodeLineBreaks(DString &s) {
  const int n = s.Length();
  for (int i = 0; i < n; ++i) {
    char &c = s.At(i);
    if (c == '\r')
      c = static_cast<char>(0xFE);
    else if (c == '\n')
      c = static_cast<char>(0xFF);
  }
}

void DecodeLineBreaks(DString &s) {
  const int n = s.Length();
  for (int i = 0; i < n; ++i) {
    char &c = s.At(i);
    if (c == static_cast<char>(0xFE))
      c = '\r';
    else if (c == static_cast<char>(0xFF))
      c = '\n';
  }
}

}  // namespace

TConfiguracion::TConfiguracion(const char *path) : fileName(), entries(100, 100, false) {
  fileName.Assign(path);
}

TConfiguracion::~TConfiguracion() {}

bool TConfiguracion::ReadString(DString &out, const char *section, const char *key) {
  const DString marker(kMissingMarker);
  // Two reads per pass with buffers 10 bytes apart: when they return the
  // same count, the smaller buffer held the whole value.
  for (int n = 0;; n += 20) {
    out.Reserve(n + 20);
    const uint32_t r1 = PlatGetPrivateProfileString(section, key, marker.CStr(), &out.At(0),
                                                    static_cast<uint32_t>(n + 10), fileName.CStr());
    out.Reserve(n + 30);
    const uint32_t r2 = PlatGetPrivateProfileString(section, key, marker.CStr(), &out.At(0),
                                                    static_cast<uint32_t>(n + 20), fileName.CStr());
    if (r1 == r2 || n + 20 > kMaxValueLength) break;
  }
  return out.Compare(marker.CStr()) != 0;
}

bool TConfiguracion::WriteString(const char *section, const char *key, const char *text) {
  return PlatWritePrivateProfileString(section, key, text, fileName.CStr());
}

TvarConfig::TvarConfig(const char *s, const char *k, TConfiguracion *c)
    : section(s), key(k), config(c) {
  if (config != nullptr) config->entries.Insert(this, -1);
}

TvarConfig::~TvarConfig() {
  if (config != nullptr) config->entries.Remove(this);
}

void TvarConfig::SetText(const char *) {}

DString &TvarConfig::GetText(DString &out) { return out; }

bool TvarConfig::Read(DString &out) {
  if (config == nullptr) return false;
  return config->ReadString(out, section.CStr(), key.CStr());
}

void TvarConfig::Write(const char *text) {
  if (config != nullptr) config->WriteString(section.CStr(), key.CStr(), text);
}

TstringConfig::TstringConfig(const char *s, const char *k, TConfiguracion *c,
                             const char *defaultText)
    : TvarConfig(s, k, c), value() {
  if (Read(value)) {
    DecodeLineBreaks(value);
    return;
  }
  const char *def = defaultText != nullptr ? defaultText : "";
  SetText(def);
  // The default is written once more, in its stored form: written raw, a
  // line break in it would split the INI line.
  DString stored(def);
  EncodeLineBreaks(stored);
  Write(stored.CStr());
}

TstringConfig::~TstringConfig() {}

void TstringConfig::SetText(const char *text) {
  if (value.Compare(text) != 0) {
    value.Assign(text);
    Store();
  }
}

DString &TstringConfig::GetText(DString &out) { return out.Assign(value); }

DString TstringConfig::Value() const { return value; }

void TstringConfig::Store() {
  if (section.IsEmpty()) return;
  DString stored(value);
  EncodeLineBreaks(stored);
  Write(stored.CStr());
}
