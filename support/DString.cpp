// DString: storage rule and text operations.
//
// Block layout (one heap allocation):
//   offset 0            int32  capacity (written and read byte by byte)
//   offset 4..7         unused, keeps the text area 8-aligned
//   offset kHeaderSize  text area, capacity + 2 bytes
// New blocks are zero-filled, and no operation writes at or beyond
// capacity - 1, so the last bytes of the text area always hold a NUL and a
// scan for the end never leaves the block even after At() writes.
#include "DString.h"

#include <cstring>
#include <stdexcept>

#include "Vector.h"

namespace {

constexpr size_t kHeaderSize = 8;
// Longest text a DString holds; keeps every capacity computation in int32.
constexpr int64_t kMaxTextLength = int64_t(1) << 30;

// The one process-wide empty text handed out for strings without storage.
const char kSharedEmpty[1] = {'\0'};

char *BlockOf(char *text) { return text - kHeaderSize; }

int32_t ReadCapacity(const char *text) {
  const unsigned char *h = reinterpret_cast<const unsigned char *>(text - kHeaderSize);
  return static_cast<int32_t>(static_cast<uint32_t>(h[0]) | (static_cast<uint32_t>(h[1]) << 8) |
                              (static_cast<uint32_t>(h[2]) << 16) |
                              (static_cast<uint32_t>(h[3]) << 24));
}

// Allocates a zero-filled block of the given capacity; gives its text area.
char *NewBlock(int32_t capacity) {
  char *block = new char[kHeaderSize + static_cast<size_t>(capacity) + 2]();
  const uint32_t c = static_cast<uint32_t>(capacity);
  block[0] = static_cast<char>(c & 0xFF);
  block[1] = static_cast<char>((c >> 8) & 0xFF);
  block[2] = static_cast<char>((c >> 16) & 0xFF);
  block[3] = static_cast<char>((c >> 24) & 0xFF);
  return block + kHeaderSize;
}

// Length of a caller's text, refused when no DString could hold it.
int TextLength(const char *text) {
  const size_t n = std::strlen(text);
  if (n > static_cast<size_t>(kMaxTextLength)) throw std::length_error("DString: text too long");
  return static_cast<int>(n);
}

void CheckRequest(int64_t n) {
  if (n > kMaxTextLength) throw std::length_error("DString: text too long");
}

}  // namespace

DString::DString(const char *text) {
  if (text != nullptr) {
    const int n = TextLength(text);
    Reserve(n);
    std::memcpy(text_, text, static_cast<size_t>(n) + 1);
  }
}

DString::DString(const DString &other) : CDString() {
  if (other.text_ != nullptr) {
    const int n = other.Length();
    Reserve(n);
    std::memcpy(text_, other.text_, static_cast<size_t>(n) + 1);
  }
}

DString::~DString() { Release(); }

void DString::Release() {
  if (text_ != nullptr) {
    delete[] BlockOf(text_);
    text_ = nullptr;
  }
}

void DString::Reserve(int n) {
  if (n < 0) return;
  CheckRequest(n);
  if (text_ == nullptr) {
    text_ = NewBlock(n + 13);
    return;
  }
  const int32_t capacity = ReadCapacity(text_);
  if (capacity >= static_cast<int64_t>(n) + 2) return;
  const int32_t grown = static_cast<int32_t>((static_cast<double>(n) + 2.0) * 1.3 + 11.0);
  char *area = NewBlock(grown);
  // The old text area holds capacity + 2 bytes; its first capacity bytes
  // include the text and its NUL.
  std::memcpy(area, text_, static_cast<size_t>(capacity));
  delete[] BlockOf(text_);
  text_ = area;
}

const char *DString::CStr() const { return text_ != nullptr ? text_ : kSharedEmpty; }

int DString::Length() const { return text_ != nullptr ? static_cast<int>(std::strlen(text_)) : 0; }

int DString::Capacity() const { return text_ != nullptr ? ReadCapacity(text_) : 0; }

DString &DString::Assign(const char *text) {
  if (text == nullptr) {
    if (text_ != nullptr) text_[0] = '\0';
    return *this;
  }
  const int n = TextLength(text);
  // A text inside our own block already fits, so Reserve keeps the block.
  Reserve(n);
  std::memmove(text_, text, static_cast<size_t>(n) + 1);
  return *this;
}

DString &DString::Assign(const DString &other) {
  if (&other == this) return *this;
  if (other.IsEmpty()) {
    if (text_ != nullptr) text_[0] = '\0';
    return *this;
  }
  return Assign(other.text_);
}

DString &DString::Append(const char *text) {
  if (text == nullptr) return *this;
  if (text_ != nullptr && text >= text_ && text < text_ + ReadCapacity(text_) + 2) {
    // Appending part of ourselves: growing would free the source first.
    const DString copy(text);
    return Append(copy.CStr());
  }
  const int own = Length();
  const int n = TextLength(text);
  CheckRequest(static_cast<int64_t>(own) + n);
  Reserve(own + n);
  std::memcpy(text_ + own, text, static_cast<size_t>(n) + 1);
  return *this;
}

DString &DString::Append(const DString &other) { return Append(other.CStr()); }

DString &DString::Append(char c) {
  const int own = Length();
  if (c == '\0') {
    Reserve(own + 1);
    return *this;
  }
  const char one[2] = {c, '\0'};
  Reserve(own + 2);
  return Append(one);
}

int DString::Compare(const char *text) const {
  if (text == nullptr) return IsEmpty() ? 0 : 1;
  if (IsEmpty()) return text[0] == '\0' ? 0 : 1;
  const unsigned char *a = reinterpret_cast<const unsigned char *>(text_);
  const unsigned char *b = reinterpret_cast<const unsigned char *>(text);
  for (size_t i = 0;; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    if (a[i] == 0) return 0;
  }
}

char DString::CharAt(int pos) const {
  if (text_ == nullptr || pos < 0 || pos >= Length()) return '\0';
  return text_[pos];
}

char &DString::At(int i) {
  if (i < 0) throw std::out_of_range("DString::At: negative position");
  CheckRequest(static_cast<int64_t>(i) + 2);
  Reserve(i + 2);
  return text_[i];
}

int DString::FindLast(char c) const {
  if (text_ == nullptr) return c == '\0' ? 0 : -1;
  const int n = Length();
  if (c == '\0') return n;
  for (int i = n - 1; i >= 0; --i) {
    if (text_[i] == c) return i;
  }
  return -1;
}

bool DString::Split(const char *separators, Vector<DString> &out) const {
  out.Clear(out.Owns());
  const int n = Length();
  const char *s = CStr();
  int start = 0;
  for (int j = 0; j < n; ++j) {
    // A separator in the first position stays in the first token, so a
    // rooted path keeps its leading backslash.
    if (j == 0 || separators == nullptr || std::strchr(separators, s[j]) == nullptr) continue;
    if (start < j) {
      DString *token = out.AddNew(-1);
      for (int k = start; k < j; ++k) token->Append(s[k]);
    }
    start = j + 1;
  }
  if (start != n) {
    DString *token = out.AddNew(-1);
    for (int k = start; k < n; ++k) token->Append(s[k]);
  }
  return true;
}
