// dgnhost's text and number output (dgnhost_text.h).
#include "dgnhost_text.h"

#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "HostCodePage.h"
#include "dgnhost_files.h"

namespace {

// Appends the UTF-8 form of one character (below 0x110000).
void AppendUtf8(std::string &out, unsigned cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Length of the well-formed UTF-8 sequence at in[i], or 0 when there is none.
size_t Utf8SequenceAt(const std::string &in, size_t i) {
  const unsigned char c = static_cast<unsigned char>(in[i]);
  size_t len = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no UTF-16 surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  }
  if (len == 0 || i + len > in.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char d = static_cast<unsigned char>(in[i + k]);
    if (k == 1 ? (d < lo || d > hi) : (d < 0x80 || d > 0xBF)) return 0;
  }
  return len;
}

// Appends `v` as %.{precision}g writes it.
void AppendGeneral(std::string &out, double v, int precision) {
  char buf[64];
  const std::to_chars_result r =
      std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, precision);
  out.append(buf, r.ptr);
}

}  // namespace

std::string ToUtf8(const std::string &in) {
  std::string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    const unsigned char c = static_cast<unsigned char>(in[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    const size_t len = Utf8SequenceAt(in, i);
    if (len > 0) {
      out.append(in, i, len);
      i += len;
    } else {
      AppendUtf8(out, CodePageCharacter(c));
      ++i;
    }
  }
  return out;
}

std::string ToHostCodePage(const std::string &utf8) {
  std::string out;
  size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    size_t len = c < 0x80 ? 1 : Utf8SequenceAt(utf8, i);
    if (len == 0) {
      out += '?';
      ++i;
      continue;
    }
    unsigned cp = len == 1 ? c : len == 2 ? (c & 0x1Fu) : len == 3 ? (c & 0x0Fu) : (c & 0x07u);
    for (size_t k = 1; k < len; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
    i += len;
    const int byte = CodePageByte(cp);
    out += byte >= 0 ? static_cast<char>(byte) : '?';
  }
  return out;
}

void AppendJsonString(std::string &out, const std::string &raw) {
  const std::string s = ToUtf8(raw);
  out += '"';
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  out += '"';
}

void AppendXmlText(std::string &out, const std::string &raw) {
  const std::string s = ToUtf8(raw);
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
          out += "\xEF\xBF\xBD";
        else
          out += ch;
    }
  }
}

namespace {

// Exact powers of ten.
const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Appends `m` with `decimals` digits after the point ("-" first when
// `negative`), two digits at a time.
void AppendFixed(std::string &out, bool negative, uint64_t m, int decimals) {
  static const char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  char buf[48];
  char *end = buf + sizeof buf, *p = end;
  int left = decimals;
  for (; left >= 2; left -= 2, m /= 100) {
    const char *pair = kPairs + 2 * (m % 100);
    *--p = pair[1];
    *--p = pair[0];
  }
  if (left == 1) {
    *--p = static_cast<char>('0' + m % 10);
    m /= 10;
  }
  if (decimals > 0) *--p = '.';
  while (m >= 100) {
    const char *pair = kPairs + 2 * (m % 100);
    *--p = pair[1];
    *--p = pair[0];
    m /= 100;
  }
  if (m >= 10) {
    *--p = kPairs[2 * m + 1];
    *--p = kPairs[2 * m];
  } else {
    *--p = static_cast<char>('0' + m);
  }
  if (negative) *--p = '-';
  out.append(p, static_cast<size_t>(end - p));
}

#if defined(__SIZEOF_INT128__)

// 10^-k as the nearest doubles.
const double kNegPow10[] = {1e0, 1e-1, 1e-2, 1e-3, 1e-4};

// Drops the trailing zeros of the decimals of m / 10^decimals.
void Trim(uint64_t &m, int &decimals) {
  while (decimals > 0 && m % 10 == 0) {
    m /= 10;
    --decimals;
  }
}

// Exact powers of ten as wide integers.
struct WidePowers {
  unsigned __int128 p[23];
  constexpr WidePowers() : p() {
    p[0] = 1;
    for (int i = 1; i < 23; ++i) p[i] = p[i - 1] * 10;
  }
};
constexpr WidePowers kWidePowers;

// m * 2^-shift * 10^decimals rounded to an integer, ties to even: the digits
// printf writes with that many decimals.
uint64_t RoundedDigits(uint64_t m, int shift, int decimals) {
  const unsigned __int128 n = kWidePowers.p[decimals] * m;
  uint64_t q = static_cast<uint64_t>(n >> shift);
  const unsigned __int128 rest = n - (static_cast<unsigned __int128>(q) << shift);
  const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
  if (rest > half || (rest == half && (q & 1) != 0)) ++q;
  return q;
}

// Whether q / 10^decimals reads back as m * 2^-shift: it lies within half a
// unit in the last place of it (a tie reads back when m is even; below the
// smallest m of a binade the next double is half as far).
bool ReadsBack(uint64_t q, uint64_t m, int shift, int decimals) {
  const unsigned __int128 n = kWidePowers.p[decimals] * m;
  const unsigned __int128 d = static_cast<unsigned __int128>(q) << shift;
  const bool below = d < n;
  const unsigned __int128 gap = below ? n - d : d - n;
  const unsigned factor = below && m == (uint64_t(1) << 52) ? 4 : 2;
  const unsigned __int128 scaled = gap * factor, limit = kWidePowers.p[decimals];
  return scaled < limit || (scaled == limit && (m & 1) == 0);
}

// Appends what "%.15g, or %.17g when that does not read back" writes, for
// the numbers %g writes without an exponent (1e-4 <= |v| < 1e15), with exact
// integer arithmetic; false for other numbers.
bool AppendShortDecimal(std::string &out, double v) {
  const double a = std::fabs(v);
  if (!(a >= 1e-4 && a < 1e15)) return false;
  // a = m * 2^-shift (a normal double: 52 stored bits and the implicit one).
  uint64_t bits = 0;
  std::memcpy(&bits, &a, sizeof bits);
  const uint64_t m = (bits & ((uint64_t(1) << 52) - 1)) | (uint64_t(1) << 52);
  const int shift = 1075 - static_cast<int>(bits >> 52);  // positive in this range
  // Decimals for 17 significant digits, from the decimal exponent x of a
  // (10^x <= a < 10^(x+1)); the digits they give correct x where the
  // inexact powers below 1 misplace it.
  int x = 0;
  while (x < 14 && a >= kPow10[x + 1]) ++x;
  while (x <= 0 && x > -4 && a < kNegPow10[-x]) --x;
  uint64_t q = 0;
  for (int tries = 0; tries < 4; ++tries) {
    q = RoundedDigits(m, shift, 16 - x);
    if (q >= 100000000000000000ull) {
      ++x;
    } else if (q < 10000000000000000ull && tries < 3) {
      --x;
    } else {
      break;
    }
  }
  int decimals = 16 - x;
  if (decimals < 2 || decimals > 20) return false;  // rounded up to 10^15: the slow way
  const uint64_t q15 = RoundedDigits(m, shift, decimals - 2);
  if (ReadsBack(q15, m, shift, decimals - 2)) {
    q = q15;
    decimals -= 2;
  }
  Trim(q, decimals);
  AppendFixed(out, v < 0, q, decimals);
  return true;
}

#else

// Appends `v` with the fewest decimals (at most 10) that read back as `v`
// when that takes fewer than 16 digits and %g would write it without an
// exponent; false when it would not.  A decimal of d places that reads back
// is m / 10^d for the integer m nearest v * 10^d, and dividing the two exact
// doubles rounds exactly as reading the decimal does.
bool AppendShortDecimal(std::string &out, double v) {
  const double a = std::fabs(v);
  if (!(a >= 1e-4 && a < 1e15)) return false;
  for (int d = 0; d <= 10 && a * kPow10[d] < 1e15; ++d) {
    const double m = std::nearbyint(a * kPow10[d]);
    if (m / kPow10[d] == a) {
      uint64_t digits = static_cast<uint64_t>(m);
      // A last digit 0 would mean a shorter decimal was missed: leave it to the slow way.
      if (d > 0 && digits % 10 == 0) return false;
      AppendFixed(out, v < 0, digits, d);
      return true;
    }
  }
  return false;
}

#endif

}  // namespace

void AppendNum(std::string &out, double v) {
  if (AppendShortDecimal(out, v)) return;
  if (v == 0.0) {
    out += std::signbit(v) ? "-0" : "0";
    return;
  }
  // %.15g reads back exactly when the shortest form that does has at most
  // 15 significant digits, and then writes those digits (a normal double
  // lies within a 15-digit rounding step of them).  The shortest form comes
  // from to_chars; %.15g's layout is put around its digits here.
  if (!std::isfinite(v) || (v != 0.0 && std::fabs(v) < DBL_MIN)) {
    // Not a number, or too small for the rule above: %.15g when it reads back.
    char buf[64];
    std::to_chars_result r =
        std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15);
    double back = 0.0;
    std::from_chars(buf, r.ptr, back);
    AppendGeneral(out, v, back == v || !std::isfinite(v) ? 15 : 17);
    return;
  }
  char buf[64];
  const std::to_chars_result r =
      std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::scientific);
  *r.ptr = '\0';  // buf: [-]d[.ddd]e(+|-)xx
  const char *p = buf;
  const bool negative = *p == '-';
  if (negative) ++p;
  char digits[24];
  int n = 0;
  for (; p < r.ptr && *p != 'e'; ++p)
    if (*p != '.' && n < 24) digits[n++] = *p;
  const int exponent = static_cast<int>(std::strtol(p + 1, nullptr, 10));
  if (n > 15) {
    AppendGeneral(out, v, 17);
    return;
  }
  if (exponent < -4 || exponent >= 15) {
    out.append(buf, r.ptr);  // %g's exponent style is to_chars' own
    return;
  }
  if (negative) out += '-';
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-exponent - 1), '0');
    out.append(digits, static_cast<size_t>(n));
    return;
  }
  const int whole = exponent + 1;  // digits before the point
  if (n <= whole) {
    out.append(digits, static_cast<size_t>(n));
    out.append(static_cast<size_t>(whole - n), '0');
  } else {
    out.append(digits, static_cast<size_t>(whole));
    out += '.';
    out.append(digits + whole, static_cast<size_t>(n - whole));
  }
}

void AppendPx(std::string &out, double v) {
#if defined(__SIZEOF_INT128__)
  // %.2f rounds the exact value to hundredths, ties to even: with integers.
  const double a = std::fabs(v);
  if (a >= 1e-3 && a < 1e15) {
    uint64_t bits = 0;
    std::memcpy(&bits, &a, sizeof bits);
    const uint64_t m = (bits & ((uint64_t(1) << 52) - 1)) | (uint64_t(1) << 52);
    AppendFixed(out, std::signbit(v), RoundedDigits(m, 1075 - static_cast<int>(bits >> 52), 2), 2);
    return;
  }
#endif
  char buf[400];
  const std::to_chars_result r =
      std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 2);
  out.append(buf, r.ptr);
}

std::string HexColor(int32_t color) {
  std::string s;
  AppendHexColor(s, color);
  return s;
}

void AppendHexColor(std::string &out, int32_t color) {
  static const char kHex[] = "0123456789abcdef";
  if (color < 0) color = 0;
  char buf[7] = {'#'};
  for (int i = 0; i < 3; ++i) {
    const int c = (color >> (8 * i)) & 0xFF;
    buf[1 + 2 * i] = kHex[c >> 4];
    buf[2 + 2 * i] = kHex[c & 15];
  }
  out.append(buf, 7);
}

void AppendInt(std::string &out, int64_t v) {
  char buf[24];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// ---------------------------------------------------------------------------
// Output and spill files
// ---------------------------------------------------------------------------

OutputFile::~OutputFile() {
  if (file_ != nullptr && file_ != stdout) std::fclose(file_);
  if (!temp_.empty()) std::remove(temp_.c_str());
}

bool OutputFile::Open(const std::string &target) {
  target_ = target;
  if (target == "-") {
    file_ = stdout;
    return true;
  }
  temp_ = TempNameBeside(target);
  file_ = std::fopen(temp_.c_str(), "wb");
  if (file_ == nullptr) {
    std::fprintf(stderr, "dgnhost: cannot create %s: %s\n", target.c_str(), std::strerror(errno));
    temp_.clear();
    return false;
  }
  return true;
}

void OutputFile::Drain() {
  if (!buffer_.empty() && file_ != nullptr && !failed_)
    failed_ = std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size();
  buffer_.clear();
}

void OutputFile::Write(const char *data, size_t n) {
  buffer_.append(data, n);
  if (buffer_.size() >= kChunk) Drain();
}

void OutputFile::Append(FILE *spill) {
  Drain();
  if (spill == nullptr || std::fflush(spill) != 0 || std::fseek(spill, 0, SEEK_SET) != 0) {
    failed_ = true;
    return;
  }
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, spill)) > 0) Write(buf, n);
  if (std::ferror(spill) != 0) failed_ = true;
}

bool OutputFile::Commit() {
  Drain();
  if (file_ == stdout) {
    const bool ok = !failed_ && std::fflush(stdout) == 0;
    if (!ok) std::fprintf(stderr, "dgnhost: cannot write to standard output\n");
    return ok;
  }
  if (file_ == nullptr) return false;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (failed_ || !closed) {
    std::fprintf(stderr, "dgnhost: cannot write %s\n", target_.c_str());
    return false;
  }
  std::string error;
  if (!RenameOver(temp_, target_, error)) {
    std::fprintf(stderr, "dgnhost: cannot put %s in place: %s\n", target_.c_str(), error.c_str());
    return false;
  }
  temp_.clear();
  return true;
}

SpillFile::~SpillFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!name_.empty()) std::remove(name_.c_str());
}

bool SpillFile::Open(const std::string &target, const char *tag) {
  if (target == "-") {
    file_ = std::tmpfile();
  } else {
    name_ = TempNameBeside(target + "." + tag);
    file_ = std::fopen(name_.c_str(), "w+b");
    if (file_ == nullptr) name_.clear();
  }
  if (file_ == nullptr)
    std::fprintf(stderr, "dgnhost: cannot make a scratch file for %s: %s\n", target.c_str(),
                 std::strerror(errno));
  return file_ != nullptr;
}

void SpillFile::Write(const std::string &s) {
  if (file_ != nullptr && !failed_) failed_ = std::fwrite(s.data(), 1, s.size(), file_) != s.size();
}
