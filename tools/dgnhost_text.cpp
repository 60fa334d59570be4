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
#include "platform.h"

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

}  // namespace

std::string ToUtf8(const std::string &in) {
  std::string out;
  out.reserve(in.size());
  for (const char ch : in) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80)
      out += ch;
    else
      AppendUtf8(out, CodePageCharacter(c));
  }
  return out;
}

std::string ToHostCodePage(const std::string &utf8, int *replaced) {
  std::string out;
  int lost = 0;
  size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    size_t len = c < 0x80 ? 1 : Utf8SequenceAt(utf8, i);
    if (len == 0) {
      out += '?';
      ++lost;
      ++i;
      continue;
    }
    unsigned cp = len == 1 ? c : len == 2 ? (c & 0x1Fu) : len == 3 ? (c & 0x0Fu) : (c & 0x07u);
    for (size_t k = 1; k < len; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
    i += len;
    const int byte = CodePageByte(cp);
    out += byte >= 0 ? static_cast<char>(byte) : '?';
    if (byte < 0) ++lost;
  }
  if (replaced != nullptr) *replaced = lost;
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

// Powers of ten as doubles, 10^-4 to 10^18: kDecade[d + 4] is 10^d.  From
// 10^0 on they are exact; below, the nearest double lies above the power,
// so a >= kDecade[i] tells exactly whether a reaches it.
const double kDecade[] = {1e-4, 1e-3, 1e-2, 1e-1, 1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6, 1e7,
                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18};

// Exact powers of ten as integers.
const uint64_t kPow10[] = {1ull,
                           10ull,
                           100ull,
                           1000ull,
                           10000ull,
                           100000ull,
                           1000000ull,
                           10000000ull,
                           100000000ull,
                           1000000000ull,
                           10000000000ull,
                           100000000000ull,
                           1000000000000ull,
                           10000000000000ull,
                           100000000000000ull,
                           1000000000000000ull,
                           10000000000000000ull,
                           100000000000000000ull,
                           1000000000000000000ull,
                           10000000000000000000ull};

// The digits are made as characters in 64-bit words, the first character
// in the lowest byte, which memcpy puts first on a little-endian machine.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the digit words assume little-endian");

// The four digits of every number below 10^4 as four characters, the
// first in the lowest byte.
struct FourDigitTable {
  uint32_t text[10000];
  constexpr FourDigitTable() : text() {
    for (uint32_t v = 0; v < 10000; ++v)
      text[v] = (0x30 + v / 1000) | (0x30 + v / 100 % 10) << 8 | (0x30 + v / 10 % 10) << 16 |
                (0x30 + v % 10) << 24;
  }
};
constexpr FourDigitTable kFourDigits;

// The eight digits of v < 10^8 as eight characters in one word, the first
// in its lowest byte.
inline uint64_t EightDigits(uint32_t v) {
  return kFourDigits.text[v / 10000] | static_cast<uint64_t>(kFourDigits.text[v % 10000]) << 32;
}

constexpr uint64_t kZeroChars = 0x3030303030303030ull;  // "00000000" as a word

// Number of decimal digits of q (1 for 0).
int DigitCount(uint64_t q) {
  const int bits = 64 - __builtin_clzll(q | 1);
  const int t = (bits * 1233) >> 12;  // the digits of 2^bits, or one more
  return t - (q < kPow10[t] ? 1 : 0) + 1;
}

// Writes q / 10^decimals (q < 10^20, decimals <= 20) in fixed notation, "-"
// first when `negative`, at p, which has kNumberRoom bytes; gives the end.
// The digits are made right-aligned in a row of 24 and copied in blocks of
// 20 bytes: the copies may write past the end, within the room.
char *WriteFixed(char *p, bool negative, uint64_t q, int decimals) {
  char row[48] = {};
  const uint64_t words[3] = {EightDigits(static_cast<uint32_t>(q / 100000000 / 100000000)),
                             EightDigits(static_cast<uint32_t>(q / 100000000 % 100000000)),
                             EightDigits(static_cast<uint32_t>(q % 100000000))};
  std::memcpy(row, words, sizeof words);
  *p = '-';
  p += negative ? 1 : 0;
  const int n = DigitCount(q);
  const char *digits = row + 24 - n;
  if (decimals == 0) {
    std::memcpy(p, digits, 20);
    return p + n;
  }
  if (decimals >= n) {  // below 1: "0." and the zeros before the first digit
    std::memcpy(p, "0.0000000000000000000000", 24);
    p += 2 + (decimals - n);
    std::memcpy(p, digits, 20);
    return p + n;
  }
  const int whole = n - decimals;  // digits before the point
  std::memcpy(p, digits, 20);
  p[whole] = '.';
  std::memcpy(p + whole + 1, digits + whole, 20);
  return p + n + 1;
}

// Writes `v` as %.{precision}g writes it (at most 24 characters), for the
// numbers the fast paths below do not take.
char *WriteGeneral(char *p, double v, int precision) {
  return std::to_chars(p, p + kNumberRoom, v, std::chars_format::general, precision).ptr;
}

// %.15g when it reads back as `v`, %.17g otherwise, through to_chars (and
// its shortest form, whose digits %.15g writes whenever it reads back).
char *WriteSlowNum(char *p, double v) {
  if (v == 0.0) {
    std::memcpy(p, "-0", 2);
    return std::signbit(v) ? p + 2 : (*p = '0', p + 1);
  }
  if (!std::isfinite(v) || std::fabs(v) < DBL_MIN) {
    // Not a number, or too small for the rule above: %.15g when it reads back.
    char buf[64];
    std::to_chars_result r =
        std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15);
    double back = 0.0;
    std::from_chars(buf, r.ptr, back);
    return WriteGeneral(p, v, back == v || !std::isfinite(v) ? 15 : 17);
  }
  char buf[64];
  const std::to_chars_result r =
      std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::scientific);
  *r.ptr = '\0';  // buf: [-]d[.ddd]e(+|-)xx
  const char *s = buf;
  const bool negative = *s == '-';
  if (negative) ++s;
  char digits[24];
  int n = 0;
  for (; s < r.ptr && *s != 'e'; ++s)
    if (*s != '.' && n < 24) digits[n++] = *s;
  const int exponent = static_cast<int>(std::strtol(s + 1, nullptr, 10));
  if (n > 15) return WriteGeneral(p, v, 17);
  if (exponent < -4 || exponent >= 15) {  // %g's exponent style is to_chars' own
    std::memcpy(p, buf, static_cast<size_t>(r.ptr - buf));
    return p + (r.ptr - buf);
  }
  uint64_t q = 0;
  for (int i = 0; i < n; ++i) q = q * 10 + static_cast<uint64_t>(digits[i] - '0');
  const int decimals = n - 1 - exponent;
  if (decimals >= 0) return WriteFixed(p, negative, q, decimals);
  return WriteFixed(p, negative, q * kPow10[-decimals], 0);
}

#if defined(__SIZEOF_INT128__)

using u128 = unsigned __int128;

// The exact value m * 2^-shift * 10^decimals (decimals <= 20) as a wide integer.
u128 Scaled(uint64_t m, int decimals) {
  return decimals <= 19 ? static_cast<u128>(kPow10[decimals]) * m
                        : static_cast<u128>(kPow10[19]) * m * 10;
}

// n * 2^-shift rounded to an integer, ties to even: the digits printf
// writes for the decimals n was scaled by.
uint64_t RoundedDigits(u128 n, int shift) {
  if (shift < 64) {  // numbers from 2^-11 on: the remainder is in the low word
    const uint64_t low = static_cast<uint64_t>(n), high = static_cast<uint64_t>(n >> 64);
    uint64_t q = (low >> shift) | ((high << 1) << (63 - shift));
    const uint64_t rest = low & ((uint64_t(1) << shift) - 1), half = uint64_t(1) << (shift - 1);
    if (rest > half || (rest == half && (q & 1) != 0)) ++q;
    return q;
  }
  uint64_t q = static_cast<uint64_t>(n >> shift);
  const u128 rest = n - (static_cast<u128>(q) << shift);
  const u128 half = static_cast<u128>(1) << (shift - 1);
  if (rest > half || (rest == half && (q & 1) != 0)) ++q;
  return q;
}

// Writes what "%.15g, or %.17g when that does not read back" writes, for
// the numbers %g writes without an exponent (1e-4 <= |v| < 1e15); null for
// other numbers and for one that rounds up to the next power of ten.  Its
// hot path: the nearly 80 million coordinates of a large map's GeoJSON, so
// the digits are made and placed in registers, eight to a word.
//
// 15 digits: r, v * 10^d rounded in doubles, is what %.15g writes whenever
// that reads back, and then r / 10^d (both exact, so the division rounds
// as reading the decimal does) is v: a decimal that reads back lies within
// 0.12 of v * 10^d, and the product misses that by at most 0.07.
// 17 digits: exact integer arithmetic on the bits of v.
inline char *WriteShortDecimal(char *p, double v) {
  const double a = std::fabs(v);
  if (!(a >= 1e-4 && a < 1e15)) return nullptr;
  // a = m * 2^-shift (a normal double: 52 stored bits and the implicit one).
  uint64_t bits = 0;
  std::memcpy(&bits, &a, sizeof bits);
  const int shift = 1075 - static_cast<int>(bits >> 52);  // 3 to 66 in this range
  // The decimal exponent x (10^x <= a < 10^(x+1)): log10(2) * the binary
  // exponent gives x or one less; the decade table decides.
  const int binary = 52 - shift;
  int x = (binary * 78913) >> 18;  // floor(binary * log10(2)), -5 to 14
  x += a >= kDecade[x + 5] ? 1 : 0;
  int decimals = 14 - x;  // for 15 significant digits
  const double scale = kDecade[decimals + 4];
  const double y = a * scale;              // below 2^52
  const double r = (y + 0x1p52) - 0x1p52;  // to the nearest integer, ties to even
  // The digits as characters, the first in the lowest byte of d0, and how
  // many there are; `middle` and `last` are their last sixteen.
  uint64_t d0, d1, d2, middle, last;
  int n;
  if (r / scale == a && r < 1e15) {
    const uint64_t q = static_cast<uint64_t>(r);
    middle = EightDigits(static_cast<uint32_t>(q / 100000000));  // "0" and seven digits
    last = EightDigits(static_cast<uint32_t>(q % 100000000));
    d0 = (middle >> 8) | (last << 56);
    d1 = last >> 8;
    d2 = 0;
    n = 15;
  } else {
    const uint64_t m = (bits & ((uint64_t(1) << 52) - 1)) | (uint64_t(1) << 52);
    decimals += 2;
    const uint64_t q = RoundedDigits(Scaled(m, decimals), shift);
    if (q >= 100000000000000000ull) return nullptr;        // rounded up to the next decade
    const uint64_t top = 0x30 + q / 10000000000000000ull;  // the first of 17 digits
    middle = EightDigits(static_cast<uint32_t>(q / 100000000 % 100000000));
    last = EightDigits(static_cast<uint32_t>(q % 100000000));
    d0 = top | (middle << 8);
    d1 = (middle >> 56) | (last << 8);
    d2 = last >> 56;
    n = 17;
  }
  // %g drops the zeros that end the decimals.
  const uint64_t lastZeros = last ^ kZeroChars, middleZeros = middle ^ kZeroChars;
  int zeros = lastZeros != 0 ? __builtin_clzll(lastZeros) >> 3
                             : 8 + (__builtin_clzll(middleZeros | 1) >> 3);
  zeros = zeros < decimals ? zeros : decimals;
  decimals -= zeros;
  n -= zeros;

  *p = '-';
  p += v < 0 ? 1 : 0;
  if (x < 0) {  // below 1: "0." and the zeros before the first digit
    std::memcpy(p, "0.0000000000000000000000", 24);
    p += 2 + (decimals - n);
  }
  std::memcpy(p, &d0, 8);
  std::memcpy(p + 8, &d1, 8);
  std::memcpy(p + 16, &d2, 8);
  if (x < 0 || decimals == 0) return p + n;
  // The decimals once more, one place further on, after the point that
  // follows the x + 1 whole digits.
  const int whole = x + 1;
  if (whole >= 8) {
    d0 = d1;
    d1 = d2;
    d2 = 0;
  }
  const int bit = 8 * (whole & 7);
  const uint64_t t0 = (d0 >> bit) | ((d1 << 1) << (63 - bit));
  const uint64_t t1 = (d1 >> bit) | ((d2 << 1) << (63 - bit));
  const uint64_t t2 = d2 >> bit;
  p[whole] = '.';
  std::memcpy(p + whole + 1, &t0, 8);
  std::memcpy(p + whole + 9, &t1, 8);
  std::memcpy(p + whole + 17, &t2, 8);
  return p + n + 1;
}

#else

// Writes `v` with the fewest decimals (at most 10) that read back as `v`
// when that takes fewer than 16 digits and %g would write it without an
// exponent; null when it would not.  A decimal of d places that reads back
// is m / 10^d for the integer m nearest v * 10^d, and dividing the two exact
// doubles rounds exactly as reading the decimal does.
char *WriteShortDecimal(char *p, double v) {
  const double a = std::fabs(v);
  if (!(a >= 1e-4 && a < 1e15)) return nullptr;
  for (int d = 0; d <= 10 && a * kDecade[d + 4] < 1e15; ++d) {
    const double m = std::nearbyint(a * kDecade[d + 4]);
    if (m / kDecade[d + 4] == a) {
      const uint64_t digits = static_cast<uint64_t>(m);
      // A last digit 0 would mean a shorter decimal was missed: leave it to the slow way.
      if (d > 0 && digits % 10 == 0) return nullptr;
      return WriteFixed(p, v < 0, digits, d);
    }
  }
  return nullptr;
}

#endif

}  // namespace

char *WriteNum(char *p, double v) {
  char *end = WriteShortDecimal(p, v);
  return end != nullptr ? end : WriteSlowNum(p, v);
}

void AppendNum(std::string &out, double v) {
  char buf[kNumberRoom];
  out.append(buf, WriteNum(buf, v));
}

void AppendPx(std::string &out, double v) {
#if defined(__SIZEOF_INT128__)
  // %.2f rounds the exact value to hundredths, ties to even: with integers.
  const double a = std::fabs(v);
  if (a >= 1e-3 && a < 1e15) {
    uint64_t bits = 0;
    std::memcpy(&bits, &a, sizeof bits);
    const uint64_t m = (bits & ((uint64_t(1) << 52) - 1)) | (uint64_t(1) << 52);
    char buf[kNumberRoom];
    const uint64_t q = RoundedDigits(Scaled(m, 2), 1075 - static_cast<int>(bits >> 52));
    out.append(buf, WriteFixed(buf, std::signbit(v), q, 2));
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

char *WriteHexColor(char *p, int32_t color) {
  static const char kHex[] = "0123456789abcdef";
  if (color < 0) color = 0;
  p[0] = '#';
  for (int i = 0; i < 3; ++i) {
    const int c = (color >> (8 * i)) & 0xFF;
    p[1 + 2 * i] = kHex[c >> 4];
    p[2 + 2 * i] = kHex[c & 15];
  }
  return p + 7;
}

void AppendHexColor(std::string &out, int32_t color) {
  char buf[7];
  out.append(buf, WriteHexColor(buf, color));
}

void AppendInt(std::string &out, int64_t v) {
  char buf[24];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// ---------------------------------------------------------------------------
// Output and spill files
// ---------------------------------------------------------------------------

// The temporary file, with its stream, goes with temp_ unless committed.
OutputFile::~OutputFile() = default;

bool OutputFile::Open(const std::string &target) {
  target_ = target;
  if (target == "-") {
    file_ = stdout;
    return true;
  }
  std::string error;
  if (!temp_.Create(target, nullptr, error)) {
    std::fprintf(stderr, "dgnhost: cannot create %s: %s\n", target.c_str(), error.c_str());
    return false;
  }
  file_ = temp_.stream();
  return true;
}

void OutputFile::Drain() {
  if (used_ > 0 && file_ != nullptr && !failed_)
    failed_ = std::fwrite(buffer_.get(), 1, used_, file_) != used_;
  used_ = 0;
}

void TextBuffer::Grow(size_t need) {
  size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
  while (capacity < need) capacity *= 2;
  std::unique_ptr<char[]> bigger(new char[capacity]);
  if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
  data_ = std::move(bigger);
  capacity_ = capacity;
}

void OutputFile::Write(const char *data, size_t n) {
  if (n >= kSize) {  // large pieces go to the file as they are
    Drain();
    if (file_ != nullptr && !failed_) failed_ = std::fwrite(data, 1, n, file_) != n;
    return;
  }
  while (n > 0) {
    if (used_ == kSize) Drain();
    const size_t take = n < kSize - used_ ? n : kSize - used_;
    std::memcpy(buffer_.get() + used_, data, take);
    used_ += take;
    data += take;
    n -= take;
  }
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
  file_ = nullptr;
  if (failed_ || std::fflush(temp_.stream()) != 0) {
    std::fprintf(stderr, "dgnhost: cannot write %s\n", target_.c_str());
    return false;
  }
  // On the disk before it takes the target's place, and the folder after.
  std::string error;
  if (!temp_.Commit(error)) {
    std::fprintf(stderr, "dgnhost: cannot put %s in place: %s\n", target_.c_str(), error.c_str());
    return false;
  }
  return true;
}

SpillFile::~SpillFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!name_.empty()) PlatRemoveFile(name_.c_str());
}

bool SpillFile::Open(const std::string &target, const char *tag) {
  std::string error;
  if (target == "-") {
    file_ = std::tmpfile();
  } else {
    file_ = PlatCreateNewFile(target + "." + tag + ".", kTempSuffix, nullptr, name_, error);
  }
  if (file_ == nullptr)
    std::fprintf(stderr, "dgnhost: cannot make a scratch file for %s: %s\n", target.c_str(),
                 error.empty() ? std::strerror(errno) : error.c_str());
  return file_ != nullptr;
}

void SpillFile::Write(const std::string &s) {
  if (file_ != nullptr && !failed_) failed_ = std::fwrite(s.data(), 1, s.size(), file_) != s.size();
}
