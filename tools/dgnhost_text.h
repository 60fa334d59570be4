// dgnhost's text and number output: the host's 8-bit texts into UTF-8, JSON
// strings and XML character data, numbers as the GeoJSON and SVG writers put
// them, and output files that take their target's place only once whole.
#ifndef DGN_TOOLS_DGNHOST_TEXT_H
#define DGN_TOOLS_DGNHOST_TEXT_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "dgnhost_files.h"

// Copies 8-bit host text into UTF-8: every byte of 0x80 or above is a
// character of the host's code page (Windows-1252), the code page of the
// maps' 8-bit texts, even where the bytes happen to form UTF-8.
std::string ToUtf8(const std::string &in);
// Gives UTF-8 text in the host's code page: '?' for a character it does not
// hold and for bytes that are not UTF-8; *replaced (when given) counts them.
std::string ToHostCodePage(const std::string &utf8, int *replaced = nullptr);

// Appends raw 8-bit host text as a quoted JSON string.
void AppendJsonString(std::string &out, const std::string &raw);
// Appends raw 8-bit host text as XML character data: markup characters
// escaped, the control characters XML cannot carry replaced by U+FFFD.
void AppendXmlText(std::string &out, const std::string &raw);
// Bytes a number may take at WriteNum's destination (it writes its digits
// in fixed-size blocks, which may reach past the number's end).
constexpr size_t kNumberRoom = 64;
// Writes at p (with kNumberRoom bytes of room) the shorter of %.15g and
// %.17g that reads back as the same double; gives the end.
char *WriteNum(char *p, double v);
// Appends what WriteNum writes.
void AppendNum(std::string &out, double v);
// Appends a number rounded for drawing (%.2f: two decimals are plenty for pixels).
void AppendPx(std::string &out, double v);
// Gives a host colour (red bits 0-7) as #rrggbb; a record without colour is black.
std::string HexColor(int32_t color);
// Appends a host colour as HexColor gives it.
void AppendHexColor(std::string &out, int32_t color);
// Writes a host colour as HexColor gives it (7 bytes) at p; gives the end.
char *WriteHexColor(char *p, int32_t color);
// Appends a whole number in decimal.
void AppendInt(std::string &out, int64_t v);

// A run of bytes that grows as writers format into it in place.
class TextBuffer {
 public:
  // Gives room for `n` more bytes at the end; Advance to where the writer stopped.
  char *Room(size_t n) {
    if (size_ + n > capacity_) Grow(size_ + n);
    return data_.get() + size_;
  }
  void Advance(const char *end) { size_ = static_cast<size_t>(end - data_.get()); }
  // Appends bytes.
  void Append(const char *s, size_t n) {
    std::memcpy(Room(n), s, n);
    size_ += n;
  }
  void Append(const std::string &s) { Append(s.data(), s.size()); }
  void Append(const char *s) { Append(s, std::strlen(s)); }
  const char *data() const { return data_.get(); }
  size_t size() const { return size_; }
  // Empties it, keeping the room it has.
  void clear() { size_ = 0; }

 private:
  void Grow(size_t need);

  std::unique_ptr<char[]> data_;
  size_t size_ = 0, capacity_ = 0;
};

// A file written in one pass and put in the place of its target only when
// Commit succeeds, so that a failed or cancelled run leaves an existing
// target as it was.  Target "-" is standard output, written as it goes.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  // Removes the temporary file unless Commit put it in place.
  ~OutputFile();

  // Creates the temporary file beside `target`; false with a message.
  bool Open(const std::string &target);
  // Gives the temporary file's name (empty for standard output), for a
  // writer that fills the file through a library of its own.
  const std::string &TempPath() const { return temp_.name(); }
  // Appends bytes (kept in a buffer, written in large pieces).
  void Write(const char *data, size_t n);
  void Write(const std::string &s) { Write(s.data(), s.size()); }
  void Write(const char *s) { Write(s, std::strlen(s)); }
  // Marks the file as failed: Commit will report it and leave the target alone.
  void Fail() { failed_ = true; }
  // Appends everything a spill file holds, from its start.
  void Append(FILE *spill);
  // Writes what is buffered, closes the file and puts it in the target's
  // place; false with a message when anything failed.
  bool Commit();

 private:
  static constexpr size_t kSize = 1 << 18;  // written in pieces of up to this size
  void Drain();

  FILE *file_ = nullptr;
  std::string target_;
  TempFile temp_;  // not used for standard output
  std::unique_ptr<char[]> buffer_{new char[kSize]};
  size_t used_ = 0;
  bool failed_ = false;
};

// A scratch file beside `target` (in the system's temporary folder for
// standard output), removed when it goes.
class SpillFile {
 public:
  SpillFile() = default;
  SpillFile(const SpillFile &) = delete;
  SpillFile &operator=(const SpillFile &) = delete;
  ~SpillFile();

  // Creates it; `tag` keeps the names of several spill files apart.
  bool Open(const std::string &target, const char *tag);
  // Appends bytes; Failed() tells whether a write failed.
  void Write(const std::string &s);
  bool Failed() const { return failed_; }
  // The open file, for OutputFile::Append.
  FILE *file() const { return file_; }

 private:
  FILE *file_ = nullptr;
  std::string name_;  // empty for an anonymous temporary file
  bool failed_ = false;
};

#endif  // DGN_TOOLS_DGNHOST_TEXT_H
