// fuzz_corpus: writes the seed corpus of one fuzz target into a folder.
//
//   fuzz_corpus KIND DIR [FILE.dgn ...]
//
// KIND is ini, paths, import, goto, export or gpkgblob; `large` writes instead
// the two maps that measure the memory of a whole-map import (chains of 65,535
// tall half ellipses or whole loops, and one of 10,000 curves of 100
// vertices), which are too big for seeds.  The DGN kinds are built with
// the raw element builder of the tests; extra design files named on the
// command line (the sample map written by dgnsample) join the import and goto
// seeds.  Nothing here is a committed binary: every seed is made at build
// time.  Exit status: 0 written, 1 failure, 2 usage.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dgn_elements.h"
#include "dgnhost_gpkgblob.h"

namespace {

using dgnkit::Bytes;

int g_written = 0;
std::string g_dir;

bool Put(const std::string &name, const Bytes &bytes) {
  const std::string path = g_dir + "/" + name;
  if (!dgnkit::WriteFile(path, bytes)) {
    std::fprintf(stderr, "fuzz_corpus: cannot write %s\n", path.c_str());
    return false;
  }
  ++g_written;
  return true;
}

Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

// ---- INI seeds: flags, section NUL key NUL value NUL, INI text -----------

Bytes IniSeed(uint8_t flags, const std::string &section, const std::string &key,
              const std::string &value, const std::string &ini) {
  Bytes b;
  b.push_back(flags);
  for (const std::string *s : {&section, &key, &value}) {
    b.insert(b.end(), s->begin(), s->end());
    b.push_back(0);
  }
  b.insert(b.end(), ini.begin(), ini.end());
  return b;
}

bool MakeIni() {
  const std::string host =
      "; host settings\r\n[General]\r\nLanguage=es\r\n\r\n[Mapa]\r\n; seed used by exports\r\n"
      "Other = keep me \r\n\r\n[Rutas]\r\nDir=C:\\maps";
  const std::string unix = "[Mapa]\nDGN_Seed_File=seed3d.dgn\nZoom=4\n[Rutas]\nDir=/maps\n";
  const std::string bom = "\xEF\xBB\xBF[Mapa]\nDGN_Seed_File = a b \n";
  const std::string twice = "[mapa]\nA=1\n[Other]\nB=2\n[MAPA]\ndgn_seed_file=x\n";
  const std::string broken = "[Mapa\nkey without value\n=empty name\n;c=1\n#d=2\n[]\nE=\n";
  const std::string encoded =
      "[Mapa]\nDGN_Seed_File=line1\xFE\xFFline2\nNul=a" + std::string(1, '\0') + "b\n";
  const std::string longValue = "[Mapa]\nDGN_Seed_File=" + std::string(300, 'v') + "\n";
  struct Seed {
    uint8_t flags;
    const char *section;
    const char *key;
    const char *value;
    const std::string *ini;
  } seeds[] = {
      {0, "Mapa", "DGN_Seed_File", "seed2d.dgn", &host},
      {1, "Mapa", "DGN_Seed_File", "seed2d.dgn", &host},
      {0, "Mapa", "Other", "changed", &host},
      {0, "Nueva", "Clave", "valor", &host},
      {0, "Mapa", "DGN_Seed_File", "seed2d.dgn", &unix},
      {1, "Mapa", "DGN_Seed_File", "seed2d.dgn", &unix},
      {0, "Mapa", "DGN_Seed_File", "c:\\seeds\\s.dgn", &bom},
      {0, "MAPA", "DGN_SEED_FILE", "y", &twice},
      {0, "Mapa", "key without value", "v", &broken},
      {0, "", "E", "v", &broken},
      {1, "Mapa", "DGN_Seed_File", "d", &encoded},
      {0, "Mapa", "Nul", "z", &encoded},
      {1, "Mapa", "DGN_Seed_File", "d", &longValue},
      {0, "Mapa", "DGN_Seed_File", "foca_noE", &unix},
      {0, "Mapa", "Bad", "a\r\nb", &unix},
      {0, "Ma]pa", "K=ey", "v", &unix},
  };
  int n = 0;
  for (const Seed &s : seeds) {
    if (!Put("ini_" + std::to_string(n++), IniSeed(s.flags, s.section, s.key, s.value, *s.ini)))
      return false;
  }
  return Put("ini_empty_file", IniSeed(0, "Mapa", "DGN_Seed_File", "seed2d.dgn", ""));
}

// ---- Path seeds: path NUL rel NUL name NUL separators -----------------------

bool MakePaths() {
  const char *seeds[][4] = {
      {"C:\\a\\b\\f.dgn", "..", "b.dgn", "\\"},
      {"C:\\a\\b\\f.dgn", "x\\..\\y", "f.dgn", "\\/"},
      {"C:\\a\\b\\f.dgn", "D:\\s", "", "\\"},
      {"seed2d.dgn", "symbols\\dgnseeds", "gps.ini", "\\"},
      {"..\\seeds\\my.dgn", ".", "x", ";"},
      {"C:/a/b.dgn", "\\", "a", "\\"},
      {"C:\\f.dgn", "..\\..\\..", "f", "\\"},
      {"\\\\server\\share\\f.dgn", "a\\\\b", "", "\\"},
      {"ab:c", "c:", "d\\", "\\:"},
      {"/tmp/x.dgn", "/proc/self", "status", "/"},
      {"", "", "", ""},
  };
  int n = 0;
  for (const auto &s : seeds) {
    Bytes b;
    for (int i = 0; i < 4; ++i) {
      const Bytes t = Text(s[i]);
      b.insert(b.end(), t.begin(), t.end());
      if (i < 3) b.push_back(0);
    }
    if (!Put("paths_" + std::to_string(n++), b)) return false;
  }
  return true;
}

// ---- DGN seeds ---------------------------------------------------------------

// One complex chain of `arcs` half ellipses, each standing `height` design
// units tall on a base of 1000 and starting where the one before ends (with
// a sweep of -360 each is a whole loop instead, starting a base further on).
dgnkit::Bytes ArcChain(int arcs, double height, double sweep = -180) {
  using namespace dgnkit;
  std::vector<Bytes> parts = {MakeTcb({}),
                              MakeComplexHeader(12, 0xFFFF, static_cast<uint16_t>(arcs))};
  ArcSpec arc;
  arc.primary_axis = 500;
  arc.secondary_axis = height;
  arc.start_angle = 180;
  arc.sweep_angle = sweep;
  for (int i = 0; i < arcs; ++i) {
    arc.origin[0] = 1000.0 * i + 500;
    Bytes part = MakeArc(arc);
    part[0] |= 0x80;  // complex component
    parts.push_back(std::move(part));
  }
  parts.push_back(EndOfDesign());
  return Concat(parts);
}

// One complex chain of `curves` zig-zag curves of `vertices` vertices each,
// every one passing on from where the one before ends.
dgnkit::Bytes CurveChain(int curves, int vertices) {
  using namespace dgnkit;
  std::vector<Bytes> parts = {MakeTcb({}),
                              MakeComplexHeader(12, 0xFFFF, static_cast<uint16_t>(curves))};
  const int32_t inner = vertices - 4;  // the vertices the curve passes through
  for (int c = 0; c < curves; ++c) {
    std::vector<IPoint> v;
    const int32_t x0 = c * (inner - 1) * 100;
    for (int32_t k = -2; k < vertices - 2; ++k)
      v.push_back({x0 + k * 100, ((c * (inner - 1) + k) & 1) * 300});
    Bytes part = MakeMultiPoint(11, v);
    part[0] |= 0x80;  // complex component
    parts.push_back(std::move(part));
  }
  parts.push_back(EndOfDesign());
  return Concat(parts);
}

// Small design files: each element kind on its own after a TCB, the two
// sample files of the builder, and a few broken forms.
std::vector<Bytes> DesignFiles(const std::vector<std::string> &extra) {
  using namespace dgnkit;
  std::vector<Bytes> files;
  const Bytes tcb2 = MakeTcb({});
  TcbSpec three_d;
  three_d.three_d = true;
  const Bytes tcb3 = MakeTcb(three_d);
  files.push_back(SampleFile(false));
  files.push_back(SampleFile(true));
  files.push_back(Concat({tcb2, EndOfDesign()}));
  files.push_back(Concat(
      {MakeGroupDataStart(), tcb2, MakeMultiPoint(4, {{0, 0}, {10, 10}, {20, 0}}), EndOfDesign()}));
  TextSpec text;
  text.raw_text = {'A', 'b', 'c'};
  files.push_back(Concat({tcb2, MakeText(text), MakeText(text), EndOfDesign()}));
  files.push_back(Concat({tcb3, MakeMultiPoint(6, {{0, 0, 1}, {5, 0, 2}, {5, 5, 3}, {0, 0, 1}}, 3),
                          MakeText(text, 3), EndOfDesign()}));
  // Elements after the end-of-design marker, and a file cut inside an element.
  const Bytes line = MakeMultiPoint(3, {{0, 0}, {100, 100}}, 2, {}, 7);
  files.push_back(Concat({tcb2, line, EndOfDesign(), line}));
  Bytes cut = Concat({tcb2, line, line});
  cut.resize(cut.size() - 5);
  files.push_back(cut);
  // A multi-point element whose vertex count exceeds its bytes.
  files.push_back(Concat(
      {tcb2,
       Element(4, 2).SetRange({}).SetDisplay({}).Word(500).Points({{1, 2}, {3, 4}}, 2).Build(),
       EndOfDesign()}));
  // What the whole map joins and strokes, and hostile forms of it: a
  // complex header announcing 65535 components, arcs whose stored reals
  // hold the largest exponent (no D-float is a NaN; these are the nearest),
  // curves of too few vertices, a 16-bit text, a 3D arc with a quaternion.
  ArcSpec arc;
  arc.primary_axis = arc.secondary_axis = 500;
  arc.start_angle = -90;
  arc.sweep_angle = 90;
  arc.origin[0] = arc.origin[1] = 500;
  Bytes wild = MakeArc(arc);
  for (size_t k = 36; k < wild.size(); ++k) wild[k] = 0xFF;
  const Bytes chain = MakeComplexHeader(12, 65535, 65535);
  Bytes part1 = MakeMultiPoint(4, {{0, 0}, {500, 0}});
  Bytes part2 = MakeArc(arc);
  Bytes part3 = MakeMultiPoint(11, {{0, 0}, {1, 1}, {2, 2}, {5, 9}, {9, 5}, {12, 12}, {13, 13}});
  for (Bytes *part : {&part1, &part2, &part3}) (*part)[0] |= 0x80;  // complex component
  files.push_back(Concat({tcb2, chain, part1, part2, part3, wild, MakeComplexHeader(14, 60, 3),
                          part1, part2, part3, MakeEllipse(arc), MakeMultiPoint(11, {}),
                          MakeMultiPoint(11, {{0, 0}, {1, 1}, {2, 2}}),
                          MakeMultiPoint(11, {{0, 0}, {1, 1}, {2, 2}, {3, 3}}), EndOfDesign()}));
  TextSpec wide;
  wide.raw_text = Text16({0x20AC, 'a', 0x2713, 0});
  ArcSpec tilted = arc;
  tilted.quat[0] = tilted.quat[1] = 1518500250;  // 90 degrees about x
  files.push_back(
      Concat({tcb3, MakeText(wide, 3), MakeArc(tilted, 3), MakeEllipse(tilted, 3), EndOfDesign()}));
  // Corners of the whole map: a chain of tall half ellipses; a curve of 5
  // vertices inside a chain (no point of its own); curves with a vertex
  // repeated at each place of the run and a zig-zag one; a half ellipse 999
  // by 1e9; ends exactly one design unit apart at millimetre units; a 16-bit
  // text with U+0000 inside and a surrogate pair; a header announcing 5
  // components of which 2 follow.
  files.push_back(ArcChain(40, 200000));
  files.push_back(CurveChain(3, 9));
  Bytes five = MakeMultiPoint(11, {{0, 0}, {100, 0}, {150, 500}, {100, 0}, {200, 0}});
  five[0] |= 0x80;
  Bytes lineA = MakeMultiPoint(4, {{0, 0}, {100, 0}});
  Bytes lineB = MakeMultiPoint(4, {{200, 0}, {300, 0}});
  lineA[0] |= 0x80;
  lineB[0] |= 0x80;
  TcbSpec millimetres;
  millimetres.subunits_per_master = 1000;
  millimetres.uor_per_subunit = 1;
  Bytes apartA = MakeMultiPoint(4, {{1234, 0}, {1235, 0}});
  Bytes apartB = MakeMultiPoint(4, {{1236, 0}, {1300, 50}});
  apartA[0] |= 0x80;
  apartB[0] |= 0x80;
  ArcSpec flat;
  flat.primary_axis = 999;
  flat.secondary_axis = 1e9;
  flat.start_angle = 0;
  flat.sweep_angle = 180;
  TextSpec nul;
  nul.raw_text = Text16({'a', 0, 'b', 0xD83D, 0xDE00, 'c'});
  files.push_back(Concat(
      {MakeTcb(millimetres), MakeComplexHeader(12, 60, 3), lineA, five, lineB,
       MakeMultiPoint(11, {{0, 0}, {100, 0}, {200, 0}, {200, 0}, {300, 0}, {400, 0}, {500, 0}}),
       MakeMultiPoint(11, {{0, 0}, {100, 0}, {200, 0}, {300, 0}, {300, 0}, {400, 0}, {500, 0}}),
       MakeMultiPoint(11, {{0, 0}, {0, 0}, {200, 0}, {300, 0}, {400, 0}, {500, 0}, {500, 0}}),
       MakeMultiPoint(11, {{0, 0}, {1, 1}, {2, 0}, {3, 1}, {400, 0}, {5, 1}, {6, 0}, {7, 1}}),
       MakeArc(flat), MakeComplexHeader(12, 60, 2), apartA, apartB, MakeText(nul),
       MakeComplexHeader(14, 60, 5), lineA, lineB, EndOfDesign()}));
  for (const std::string &path : extra) {
    const Bytes b = ReadFile(path);
    if (b.empty()) {
      std::fprintf(stderr, "fuzz_corpus: cannot read %s\n", path.c_str());
      std::exit(1);
    }
    files.push_back(b);
  }
  return files;
}

bool MakeImport(const std::vector<std::string> &extra) {
  int n = 0;
  for (const Bytes &f : DesignFiles(extra)) {
    if (!Put("import_" + std::to_string(n++), f)) return false;
  }
  return true;
}

// Options byte, jump count, jumps (little-endian 32-bit), then the file.
bool MakeGoto(const std::vector<std::string> &extra) {
  int n = 0;
  const std::vector<uint32_t> jumps = {3, 1, 0, 2, 0xFFFFFFFFu, 7, 5, 0x80000000u, 100000, 4};
  for (const Bytes &f : DesignFiles(extra)) {
    for (uint8_t options : {uint8_t(0x01 | (2 << 2)), uint8_t(0x02 | (7 << 2))}) {
      Bytes b = {options, static_cast<uint8_t>(jumps.size())};
      for (uint32_t j : jumps) {
        for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(j >> (8 * k)));
      }
      b.insert(b.end(), f.begin(), f.end());
      if (!Put("goto_" + std::to_string(n++), b)) return false;
    }
  }
  return true;
}

// The export target reads its input through FuzzedDataProvider, which has
// no layout to follow: seeds of pseudo-random bytes (fixed seed) of several
// lengths give it polylines of every size to start from.
bool MakeExport() {
  uint32_t state = 0x2545F491u;
  int n = 0;
  for (size_t length : {16u, 64u, 200u, 600u, 1500u, 3000u, 6000u}) {
    for (int copy = 0; copy < 3; ++copy) {
      Bytes b(length);
      for (uint8_t &x : b) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        x = static_cast<uint8_t>(state >> 24);
      }
      if (!Put("export_" + std::to_string(n++), b)) return false;
    }
  }
  return true;
}

}  // namespace

// ---- GeoPackage geometry blobs: each shape dgnhost writes, and the others -

bool MakeGpkgBlob() {
  const Vertex pts[] = {{0, 0, 1}, {10, 0, 2}, {10, 10, 3}, {0, 10, 4}};
  std::string blob;
  bool ok = true;
  int n = 0;
  for (BlobShape shape : {BlobShape::kPoint, BlobShape::kLineString, BlobShape::kPolygon}) {
    for (bool z : {false, true}) {
      WriteGeometryBlob(blob, -1, shape, pts, 4, z);
      ok = Put("blob" + std::to_string(n++), Text(blob)) && ok;
    }
  }
  // A big-endian header over a multi-polygon with a hole, a collection, and
  // a line with m values: forms only other writers make.
  const std::string le = std::string("GP\0\0\0\0\0\0", 8);
  auto u32 = [](uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
  };
  auto f64 = [](double d) {
    uint64_t v;
    std::memcpy(&v, &d, 8);
    std::string s;
    for (int i = 0; i < 8; ++i) s += static_cast<char>(v >> (8 * i));
    return s;
  };
  auto ring = [&](double a, double b) {
    return u32(4) + f64(a) + f64(a) + f64(b) + f64(a) + f64(b) + f64(b) + f64(a) + f64(a);
  };
  const std::string polygon = std::string("\1") + u32(3) + u32(2) + ring(0, 9) + ring(1, 2);
  ok = Put("multipolygon", Text(le + "\1" + u32(6) + u32(2) + polygon + polygon)) && ok;
  ok = Put("collection",
           Text(le + "\1" + u32(7) + u32(2) + "\1" + u32(1) + f64(1) + f64(2) + polygon)) &&
       ok;
  ok = Put("line_m", Text(le + "\1" + u32(2002) + u32(2) + f64(0) + f64(0) + f64(7) + f64(1) +
                          f64(1) + f64(8))) &&
       ok;
  return ok;
}

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(
        stderr,
        "usage: fuzz_corpus ini|paths|import|goto|export|gpkgblob|large DIR [FILE.dgn ...]\n");
    return 2;
  }
  const std::string kind = argv[1];
  g_dir = argv[2];
  std::vector<std::string> extra(argv + 3, argv + argc);
  bool ok;
  if (kind == "ini")
    ok = MakeIni();
  else if (kind == "paths")
    ok = MakePaths();
  else if (kind == "import")
    ok = MakeImport(extra);
  else if (kind == "goto")
    ok = MakeGoto(extra);
  else if (kind == "export")
    ok = MakeExport();
  else if (kind == "gpkgblob")
    ok = MakeGpkgBlob();
  else if (kind == "large")
    ok = Put("arc_chain_65535.dgn", ArcChain(65535, 200000)) &&
         Put("arc_loops_65535.dgn", ArcChain(65535, 200000, -360)) &&
         Put("curve_chain_10000.dgn", CurveChain(10000, 100));
  else {
    std::fprintf(stderr, "fuzz_corpus: unknown kind %s\n", kind.c_str());
    return 2;
  }
  if (!ok) return 1;
  std::printf("fuzz_corpus: %d seeds for %s in %s\n", g_written, kind.c_str(), g_dir.c_str());
  return 0;
}
