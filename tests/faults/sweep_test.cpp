// Corruption sweep: the sample map cut at every byte offset, every bit of
// every element header flipped, and bytes changed at random positions (fixed
// seeds), each imported through the plug-in's exports.  Every import must
// return, read to its end and deliver well-formed records; in the sanitizer
// build any overflow or leak fails the test program itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "faults_util.h"

using namespace faultstest;

namespace {

class Sweep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plugintest::Lib().error.empty()) << plugintest::Lib().error;
    sample_ = SampleMap();
    ASSERT_GT(sample_.size(), 2000u) << "the sample map was not built";
    path_ = dir_.Path("map.dgn");
    full_ = ImportFile(sample_, path_);
    ASSERT_EQ(Breach(full_), "");
    ASSERT_TRUE(full_.opened);
    ASSERT_GT(full_.objects, 20) << "the sample map should hold lines, shapes and texts";
  }

  ScratchDir dir_;
  std::string path_;
  Bytes sample_;
  Import full_;
};

bool IsPrefix(const std::vector<std::string> &a, const std::vector<std::string> &b) {
  return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// A file cut at any offset imports the elements it still holds whole, exactly
// as the whole file delivers them, and nothing else.
TEST_F(Sweep, TruncatedAtEveryOffset) {
  const std::vector<Span> els = Elements(sample_);
  ASSERT_FALSE(els.empty());
  size_t last_drawn = 0;
  for (size_t cut = 0; cut <= sample_.size(); ++cut) {
    const Bytes prefix(sample_.begin(), sample_.begin() + static_cast<std::ptrdiff_t>(cut));
    const Import r = ImportFile(prefix, path_);
    ASSERT_EQ(Breach(r), "") << "cut at " << cut;
    if (cut < 4) {
      EXPECT_FALSE(r.opened) << "a file shorter than one element header is no design file";
      continue;
    }
    ASSERT_TRUE(r.opened) << cut;
    const int whole = static_cast<int>(std::count_if(
        els.begin(), els.end(), [cut](const Span &s) { return s.offset + s.size <= cut; }));
    EXPECT_EQ(r.total, whole) << "cut at " << cut;
    ASSERT_TRUE(IsPrefix(r.drawn, full_.drawn)) << "cut at " << cut;
    EXPECT_GE(r.drawn.size(), last_drawn) << "cut at " << cut;
    last_drawn = r.drawn.size();
    for (const std::string &layer : r.layers) {
      EXPECT_NE(std::find(full_.layers.begin(), full_.layers.end(), layer), full_.layers.end())
          << layer << ", cut at " << cut;
    }
  }
  EXPECT_EQ(last_drawn, full_.drawn.size());
}

// Every bit of every element header (level, type, words to follow) and of the
// end-of-design marker, flipped one at a time.
TEST_F(Sweep, EveryHeaderBitFlipped) {
  std::vector<size_t> positions;
  const std::vector<Span> els = Elements(sample_);
  for (const Span &s : els)
    for (size_t k = 0; k < 4; ++k) positions.push_back(s.offset + k);
  const size_t marker = els.back().offset + els.back().size;
  positions.push_back(marker);
  positions.push_back(marker + 1);
  int opened = 0;
  for (size_t at : positions) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes file = sample_;
      file[at] = static_cast<uint8_t>(file[at] ^ (1u << bit));
      const Import r = ImportFile(file, path_);
      ASSERT_EQ(Breach(r), "") << "byte " << at << " bit " << bit;
      opened += r.opened ? 1 : 0;
    }
  }
  // Only flips in the first element's header can make the file unopenable.
  EXPECT_GE(opened, static_cast<int>(8 * (positions.size() - 4)));
}

// Bytes anywhere in the file changed at random: one to eight of them, with
// fixed seeds so that any failure replays.
TEST_F(Sweep, RandomBytesChanged) {
  for (uint32_t seed = 1; seed <= 2000; ++seed) {
    std::mt19937 rng(seed);
    Bytes file = sample_;
    const int changes = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < changes; ++i) {
      const size_t at = rng() % file.size();
      // Half of the changes keep to the bytes after the TCB, where the
      // elements the import converts live.
      const size_t pos = (i % 2 == 0 && file.size() > 1536) ? 1536 + at % (file.size() - 1536) : at;
      file[pos] = static_cast<uint8_t>(file[pos] ^ (1 + rng() % 255));
    }
    const Import r = ImportFile(file, path_);
    ASSERT_EQ(Breach(r), "") << "seed " << seed;
  }
}

// Runs of bytes overwritten with the values that matter most to a decoder:
// zeros, FF (end-of-design marker, largest counts) and 7F.
TEST_F(Sweep, RunsOfZeroMarkerAndHighBytes) {
  std::mt19937 rng(77);
  for (int i = 0; i < 600; ++i) {
    Bytes file = sample_;
    const size_t length = 1 + rng() % 16;
    const size_t at = rng() % file.size();
    const uint8_t value = std::vector<uint8_t>{0x00, 0xFF, 0x7F}[i % 3];
    for (size_t k = at; k < std::min(file.size(), at + length); ++k) file[k] = value;
    const Import r = ImportFile(file, path_);
    ASSERT_EQ(Breach(r), "") << "run " << i;
  }
}

}  // namespace
