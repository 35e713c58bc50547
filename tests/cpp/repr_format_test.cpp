// The error format of SearchResult's representation (src/python), which has
// no Python dependency so that its non-finite cases can be tested directly:
// a search never returns a result with a NaN or infinite error.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>

#include "python/repr_format.hpp"

namespace {

struct Case {
  double value;
  const char* text;
};

// Readable test names in gtest and ctest output.
void PrintTo(const Case& c, std::ostream* os) { *os << c.text; }

class ErrorFormat : public ::testing::TestWithParam<Case> {};

TEST_P(ErrorFormat, SixDecimalsAndBareExponent) {
  EXPECT_EQ(vok::py::format_error_value(GetParam().value), GetParam().text);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Values, ErrorFormat,
    ::testing::Values(Case{0.00123, "1.230000e-3"}, Case{12345.0, "1.234500e4"},
                      Case{0.0, "0.000000e0"}, Case{-0.0, "-0.000000e0"},
                      Case{0.00000025, "2.500000e-7"}, Case{1.0, "1.000000e0"},
                      Case{-2.5, "-2.500000e0"}, Case{9.9999995e-5, "9.999999e-5"},
                      Case{9.9999996e-5, "1.000000e-4"},  // rounding carries into the exponent
                      Case{1e100, "1.000000e100"}, Case{1.7976931348623157e308, "1.797693e308"},
                      Case{5e-324, "4.940656e-324"}, Case{1e10, "1.000000e10"},
                      Case{kInf, "inf"}, Case{-kInf, "-inf"},
                      Case{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      Case{-std::numeric_limits<double>::quiet_NaN(), "NaN"}));

}  // namespace
