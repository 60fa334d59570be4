// dgnhost's numbers: GeoJSON coordinates must be exactly what printf writes
// ("%.15g", or "%.17g" when that does not read back) and SVG pixels "%.2f",
// whichever way the fast writer takes.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "dgnhost_text.h"

namespace {

std::string Printf(const char *format, double v) {
  char buf[512];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

std::string Reference(double v) {
  const std::string shorter = Printf("%.15g", v);
  return std::strtod(shorter.c_str(), nullptr) == v || std::isnan(v) ? shorter : Printf("%.17g", v);
}

std::string Num(double v) {
  std::string s;
  AppendNum(s, v);
  return s;
}

std::string Px(double v) {
  std::string s;
  AppendPx(s, v);
  return s;
}

TEST(HostText, NumbersAreWhatPrintfWrites) {
  std::vector<double> values = {0.0,
                                -0.0,
                                1.0,
                                -1.0,
                                0.5,
                                0.1 + 0.2,
                                1e-4,
                                9.99999999999999e-5,
                                0.00010000000000000001,
                                1e-5,
                                1e15,
                                999999999999999.9,
                                999999999999999.0,
                                99999.999999999999,
                                9.9999999999999995,
                                123456.789,
                                -9015.3479999999981,
                                96465.902999999991,
                                4503599627370496.0,
                                1e22,
                                1e300,
                                DBL_MIN,
                                DBL_MAX,
                                DBL_TRUE_MIN,
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity()};
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 50000; ++i) {
    // Any bits; decimals of a few places; design units over a scale and
    // past an origin, as the plug-in makes coordinates; values near a
    // power of ten.
    uint64_t bits = rng();
    double any;
    std::memcpy(&any, &bits, sizeof any);
    if (!std::isnan(any)) values.push_back(any);
    const double units =
        static_cast<double>(static_cast<int64_t>(rng() % 4000000000ull) - 2000000000);
    values.push_back(units / std::pow(10.0, static_cast<double>(rng() % 8)));
    values.push_back(units / 1000.0 + (static_cast<double>(rng() % 200000) - 100000.0));
    values.push_back(std::pow(10.0, static_cast<double>(rng() % 24) - 6.0) *
                     (1.0 - static_cast<double>(rng() % 5) * DBL_EPSILON));
  }
  int failures = 0;
  for (const double v : values) {
    const std::string got = Num(v), want = Reference(v);
    if (got != want && ++failures <= 10) ADD_FAILURE() << "%g of " << want << " gave " << got;
    const std::string px = Px(v), pxWant = Printf("%.2f", v);
    if (std::fabs(v) < 1e20 && px != pxWant && ++failures <= 10)
      ADD_FAILURE() << "%.2f of " << pxWant << " gave " << px;
  }
  EXPECT_EQ(failures, 0) << "of " << values.size() << " numbers";
}

}  // namespace
