// fuzz_dgn_read_seeds DIR: writes the seed corpus of fuzz_dgn_read, built
// with the raw element builder of the tests (no committed binaries): the 2D
// and 3D sample files, one small file per element kind, short and damaged
// files.  Exit status: 0 written, 1 failure, 2 usage.
#include <cstdio>
#include <string>
#include <vector>

#include "dgn_elements.h"

namespace {

using dgnkit::Bytes;

std::string g_dir;
int g_written = 0;

bool Put(const std::string &name, const Bytes &bytes) {
  if (!dgnkit::WriteFile(g_dir + "/" + name, bytes)) {
    std::fprintf(stderr, "fuzz_dgn_read_seeds: cannot write %s/%s\n", g_dir.c_str(), name.c_str());
    return false;
  }
  ++g_written;
  return true;
}

// The elements of a file, each as its own byte vector.
std::vector<Bytes> Split(const Bytes &file) {
  std::vector<Bytes> out;
  size_t at = 0;
  while (at + 4 <= file.size() && !(file[at] == 0xFF && file[at + 1] == 0xFF)) {
    const size_t size = 4 + 2 * static_cast<size_t>(file[at + 2] | file[at + 3] << 8);
    if (at + size > file.size()) break;
    out.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at),
                     file.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += size;
  }
  return out;
}

bool MakeSeeds() {
  bool ok = true;
  for (bool three_d : {false, true}) {
    const std::string dim = three_d ? "3d" : "2d";
    const Bytes sample = dgnkit::SampleFile(three_d);
    ok = ok && Put("sample_" + dim, sample);
    const std::vector<Bytes> elements = Split(sample);
    if (elements.empty()) return false;
    // One file per element: the TCB, that element, the end marker.
    for (size_t i = 1; i < elements.size(); ++i) {
      ok = ok && Put("one_" + dim + "_" + std::to_string(i),
                     dgnkit::Concat({elements[0], elements[i], dgnkit::EndOfDesign()}));
    }
    // The same element cut short after a long one, without the end marker.
    ok = ok &&
         Put("cut_" + dim, dgnkit::Concat({elements[0], elements[1],
                                           Bytes(elements[2].begin(), elements[2].begin() + 20)}));
  }
  ok = ok &&
       Put("group_data_start", dgnkit::Concat({dgnkit::MakeGroupDataStart(),
                                               dgnkit::MakeMultiPoint(4, {{0, 0, 0}, {5, 5, 0}}),
                                               dgnkit::MakeTcb({}), dgnkit::EndOfDesign()}));
  ok = ok && Put("header_only", Bytes{0x08, 0x09, 0xFE, 0x02});
  dgnkit::TcbSpec tcb;
  tcb.uor_per_subunit = 0;
  ok = ok && Put("zero_units", dgnkit::Concat({dgnkit::MakeTcb(tcb), dgnkit::EndOfDesign()}));
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_dgn_read_seeds DIR\n");
    return 2;
  }
  g_dir = argv[1];
  if (!MakeSeeds()) return 1;
  std::printf("fuzz_dgn_read_seeds: %d seeds in %s\n", g_written, g_dir.c_str());
  return 0;
}
