// Raw DGN element builder shared by the tests, the sample-map tool, the fuzz
// corpora and the benchmark file generator.
//
// It writes the version 7 element layout byte by byte, on its own (it does not
// use the engine's encoder), so that tests of the engine compare against an
// independent rendering of the format:
//   0      level (bits 0-5), complex bit (bit 7)
//   1      type (bits 0-6), deleted bit (bit 7)
//   2-3    words to follow (little-endian)
//   4-27   range block: six 32-bit values, design coordinate + 2^31
//   28-35  display header: graphic group, attribute index, properties, symbology, colour
// 32-bit integers are two little-endian words, high word first; reals are
// VAX D-floats.
//
// Typical use:
//   dgnkit::Bytes file = dgnkit::Concat({dgnkit::MakeTcb({}),
//       dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0}, {100, 50}}),
//       dgnkit::EndOfDesign()});
//   dgnkit::TempFile tmp(file);   // written now, removed when tmp goes
#ifndef DGN_KIT_DGN_ELEMENTS_H
#define DGN_KIT_DGN_ELEMENTS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace dgnkit {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Encodings
// ---------------------------------------------------------------------------

// The 8 stored bytes of a VAX D-float holding `value` (0 for zero, for values
// too small, and for non-numbers; saturated for values too large).
std::array<uint8_t, 8> DFloatBytes(double value);
// The 16-bit radix-50 word of up to three characters (space, A-Z, $, ., 0-9).
uint16_t Rad50(const std::string &three);
// The raw range coding of a design coordinate: c + 2^31 (top bit inverted).
uint32_t RangeValue(int32_t design);

// Writes a little-endian word / a high-word-first int32 / a D-float at `at`,
// growing `bytes` with zeros when needed.
void PutWord(Bytes &bytes, size_t at, uint16_t value);
void PutInt32(Bytes &bytes, size_t at, uint32_t value);
void PutDFloat(Bytes &bytes, size_t at, double value);
void PutBytes(Bytes &bytes, size_t at, const Bytes &data);

// ---------------------------------------------------------------------------
// Generic element
// ---------------------------------------------------------------------------

// Display header fields (bytes 28-35).
struct Display {
  uint16_t graphic_group = 0;
  uint16_t properties = 0;
  uint8_t color = 0;
  uint8_t weight = 0;  // 0..31
  uint8_t style = 0;   // 0..7
};

// A design-unit box for the range block.
struct Range {
  int32_t low[3] = {0, 0, 0};
  int32_t high[3] = {0, 0, 0};
};

// A design-unit point (z ignored in 2D elements).
struct IPoint {
  int32_t x = 0;
  int32_t y = 0;
  int32_t z = 0;
};

// One raw element under construction.  Bytes are placed at absolute offsets
// or appended; Build() fills in words-to-follow (unless overridden) and pads
// the element to an even length.
class Element {
 public:
  explicit Element(int type, int level = 1);

  Element &Complex(bool on = true);
  Element &Deleted(bool on = true);
  // Raw header byte 0 as given (level bits, bit 6 and the complex bit).
  Element &LevelByte(uint8_t value);
  // Forces the words-to-follow field, e.g. to describe a truncated element.
  Element &WordsToFollow(uint16_t words);

  // Range block (bytes 4-27) from a design-unit box, or from raw values.
  Element &SetRange(const Range &range);
  Element &SetRangeRaw(const std::array<uint32_t, 6> &raw);
  // Display header (bytes 28-35); the attribute index is left to Build().
  Element &SetDisplay(const Display &display);

  // Appends at the current end.
  Element &Byte(uint8_t value);
  Element &Word(uint16_t value);
  Element &Int32(int32_t value);
  Element &DFloat(double value);
  Element &Raw(const Bytes &data);
  Element &Text(const std::string &text, bool terminator = true);
  Element &Points(const std::vector<IPoint> &points, int dimension);
  // Places at an absolute offset (growing with zeros as needed).
  Element &WordAt(size_t at, uint16_t value);
  Element &Int32At(size_t at, int32_t value);
  Element &DFloatAt(size_t at, double value);
  Element &BytesAt(size_t at, const Bytes &data);
  // Grows with zeros to at least `size` bytes.
  Element &PadTo(size_t size);

  // Attribute linkage appended after the body by Build(): sets properties bit
  // 0x0800 and points the attribute index (bytes 30-31) at it.
  Element &Attributes(const Bytes &linkage);
  // Forces the attribute index word (bytes 30-31).
  Element &AttrIndex(uint16_t words);

  size_t size() const { return bytes_.size(); }
  Bytes Build() const;

 private:
  Bytes bytes_;
  Bytes attributes_;
  bool words_forced_ = false;
  uint16_t words_ = 0;
  bool attr_index_forced_ = false;
  uint16_t attr_index_ = 0;
  bool has_display_ = false;
};

// ---------------------------------------------------------------------------
// Element makers (level 1 unless said otherwise; ranges computed from the geometry)
// ---------------------------------------------------------------------------

// The end-of-design marker FF FF.
Bytes EndOfDesign();

// TCB (type 9, 1536 bytes, level 8; 3D sets byte 0 to C8 and bit 6 of byte 1214).
struct TcbSpec {
  bool three_d = false;
  int32_t subunits_per_master = 10;
  int32_t uor_per_subunit = 1000;
  std::string master_units = "m ";
  std::string sub_units = "dm";
  double origin[3] = {0, 0, 0};  // global origin, design units
};
Bytes MakeTcb(const TcbSpec &want);

// Colour table (type 5 on level 1, 806 bytes); rgb[i] is colour index i.
Bytes MakeColorTable(const std::array<std::array<uint8_t, 3>, 256> &rgb, int level = 1);
// The 08 05 17 00 element that may start a 2D file (type 5, level 8, 23 words).
Bytes MakeGroupDataStart();

// Line (3) with two points, or line string / shape / curve / B-spline (4, 6, 11, 21).
Bytes MakeMultiPoint(int type, const std::vector<IPoint> &points, int dimension = 2,
                     const Display &display = {}, int level = 1);

// Ellipse (15) and arc (16).  Axes and origin in design units, angles in degrees.
struct ArcSpec {
  double primary_axis = 0;
  double secondary_axis = 0;
  double rotation = 0;
  double origin[3] = {0, 0, 0};
  double start_angle = 0;          // arc only
  double sweep_angle = 90;         // arc only; stored as sign and magnitude
  int32_t quat[4] = {0, 0, 0, 0};  // 3D only
};
Bytes MakeEllipse(const ArcSpec &want, int dimension = 2, const Display &display = {});
Bytes MakeArc(const ArcSpec &want, int dimension = 2, const Display &display = {});

// Text (17).  `raw_text` is stored as it is; the count byte is its length unless
// `count` is >= 0.  Use Text16 for the FF FD 16-bit form.
struct TextSpec {
  int font = 0;
  int justification = 0;
  int32_t length_mult = 1000;  // stored units
  int32_t height_mult = 1000;
  double rotation = 0;  // degrees, 2D only
  IPoint origin;
  Bytes raw_text;
  int count = -1;
};
Bytes MakeText(const TextSpec &want, int dimension = 2, const Display &display = {});
// The stored bytes of a 16-bit text: FF FD then the little-endian words.
Bytes Text16(const std::vector<uint16_t> &words);

// Complex chain / shape header (12, 14) and 3D surface / solid header (18, 19).
Bytes MakeComplexHeader(int type, uint16_t total_length, uint16_t num_elements,
                        uint16_t surface_type = 0, const Display &display = {});

// Cell header (2).
struct CellSpec {
  uint16_t total_length = 0;
  std::string name = "CELL01";  // six radix-50 characters
  uint16_t cell_class = 0;
  uint16_t levels[4] = {0, 0, 0, 0};
  IPoint range_low;
  IPoint range_high;
  int32_t matrix[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};  // 2D uses the first four
  IPoint origin;
};
Bytes MakeCellHeader(const CellSpec &want, int dimension = 2, const Display &display = {});

// Cell library cell (1).
struct CellLibSpec {
  std::string name = "LIBCEL";
  uint16_t cell_type = 0;
  uint16_t properties = 0;
  uint16_t class_and_levels[6] = {0, 0, 0, 0, 0, 0};
  std::string description = "A CELL";  // up to 27 radix-50 characters
};
Bytes MakeCellLibrary(const CellLibSpec &want);

// Cone (23); centres and radii in design units.
struct ConeSpec {
  uint16_t cone_word = 0;
  int32_t quat[4] = {0, 0, 0, 0};
  double center_1[3] = {0, 0, 0};
  double radius_1 = 0;
  double center_2[3] = {0, 0, 0};
  double radius_2 = 0;
};
Bytes MakeCone(const ConeSpec &want, const Display &display = {});

// Tag set definition (66 on level 24) and tag value (37).
struct TagDefSpec {
  std::string name;
  uint16_t id = 0;
  std::string prompt;
  uint16_t type = 1;         // 1 text, 3 integer, 4 real, 5 like 3
  std::string text_default;  // type 1
  int32_t int_default = 0;   // types 3, 5 (4 bytes little-endian)
  double real_default = 0;   // type 4
};
struct TagSetSpec {
  std::string name = "SET";
  uint16_t tag_set = 1;
  std::vector<TagDefSpec> defs;
  int count = -1;    // stored definition count; -1: defs.size()
  Bytes attributes;  // attribute linkage, e.g. 03 10 2F 7D flags...
};
Bytes MakeTagSet(const TagSetSpec &want, int level = 24);

struct TagValueSpec {
  uint32_t tag_set = 1;
  uint16_t tag_index = 0;
  uint16_t tag_type = 1;
  uint16_t tag_length = 0;
  std::string text;
  int32_t integer = 0;
  double real = 0;
};
Bytes MakeTagValue(const TagValueSpec &want);

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

// Joins elements into one byte vector.
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Concat(const std::vector<Bytes> &parts);
// Writes bytes to a file; false on failure.
bool WriteFile(const std::string &path, const Bytes &bytes);
// Reads a whole file (empty on failure).
Bytes ReadFile(const std::string &path);
// Reads a whole file as text (empty on failure).
std::string ReadText(const std::string &path);
// Gives `s` single-quoted for a POSIX shell command.
std::string ShellQuote(const std::string &s);
// The prefix that runs a built program of this build from a shell command:
// the emulator named by DGN_EMULATOR (the i386 build runs its programs under
// qemu-i386) followed by a blank, or nothing in a native build.
std::string ProgramPrefix();

// A temporary file that is removed when the object goes.
class TempFile {
 public:
  // A fresh name in the temporary folder, nothing written.
  explicit TempFile(const std::string &suffix = ".dgn");
  // A fresh file holding `bytes`.
  explicit TempFile(const Bytes &bytes, const std::string &suffix = ".dgn");
  ~TempFile();
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  const std::string &path() const { return path_; }
  const char *c_str() const { return path_.c_str(); }

 private:
  std::string path_;
};

// A small file using every element kind the reader decodes (2D unless three_d).
Bytes SampleFile(bool three_d = false);

}  // namespace dgnkit

#endif  // DGN_KIT_DGN_ELEMENTS_H
