// dgnhost's text and number output: the host's 8-bit texts into UTF-8, JSON
// strings and XML character data, numbers as the GeoJSON and SVG writers put
// them, and output files that take their target's place only once whole.
#ifndef DGN_TOOLS_DGNHOST_TEXT_H
#define DGN_TOOLS_DGNHOST_TEXT_H

#include <cstdint>
#include <cstdio>
#include <string>

// Copies 8-bit host text into valid UTF-8: well-formed UTF-8 sequences are
// kept, any other byte of 0x80 or above is taken in the host's code page.
std::string ToUtf8(const std::string &in);
// Gives UTF-8 text in the host's code page: '?' for a character it does not
// hold and for bytes that are not UTF-8.
std::string ToHostCodePage(const std::string &utf8);

// Appends raw 8-bit host text as a quoted JSON string.
void AppendJsonString(std::string &out, const std::string &raw);
// Appends raw 8-bit host text as XML character data: markup characters
// escaped, the control characters XML cannot carry replaced by U+FFFD.
void AppendXmlText(std::string &out, const std::string &raw);
// Appends the shorter of %.15g and %.17g that reads back as the same double.
void AppendNum(std::string &out, double v);
// Appends a number rounded for drawing (%.2f: two decimals are plenty for pixels).
void AppendPx(std::string &out, double v);
// Gives a host colour (red bits 0-7) as #rrggbb; a record without colour is black.
std::string HexColor(int32_t color);
// Appends a host colour as HexColor gives it.
void AppendHexColor(std::string &out, int32_t color);
// Appends a whole number in decimal.
void AppendInt(std::string &out, int64_t v);

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
  // Appends bytes (kept in a buffer, written in large pieces).
  void Write(const char *data, size_t n);
  void Write(const std::string &s) { Write(s.data(), s.size()); }
  // The buffer, for writers that append to it in place; Wrote() after.
  std::string &Buffer() { return buffer_; }
  void Wrote() {
    if (buffer_.size() >= kChunk) Drain();
  }
  // Appends everything a spill file holds, from its start.
  void Append(FILE *spill);
  // Writes what is buffered, closes the file and puts it in the target's
  // place; false with a message when anything failed.
  bool Commit();

 private:
  static constexpr size_t kChunk = 1 << 18;  // written in pieces of this size
  void Drain();

  FILE *file_ = nullptr;
  std::string target_;
  std::string temp_;  // empty for standard output
  std::string buffer_;
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
