#include "numerics/fft.h"

#include <ap.h>
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <string>

#include "literal.h"
#include "support.h"

namespace {

using Dft = std::complex<double>;

// O(n^4) transform straight from the definition, with ALGLIB's signs and
// scaling: forward unscaled, inverse divided by n^2.
ComplexField naiveDft(const ComplexField& in, bool forward) {
  const int n = in.size();
  const double sign = forward ? -1.0 : 1.0;
  ComplexField out(n);
  for (int u = 0; u < n; ++u) {
    for (int v = 0; v < n; ++v) {
      Dft sum = 0.0;
      for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
          const double angle =
              sign * 2.0 * std::numbers::pi * ((u * r + v * c) % n) / n;
          sum += Dft(in[r][c].re, in[r][c].im) * std::polar(1.0, angle);
        }
      }
      if (!forward) sum /= static_cast<double>(n) * n;
      out[u][v] = {sum.real(), sum.imag()};
    }
  }
  return out;
}

double largestDifference(const ComplexField& a, const ComplexField& b) {
  double largest = 0.0;
  for (int r = 0; r < a.size(); ++r) {
    for (int c = 0; c < a.size(); ++c) {
      largest = std::max(largest, std::abs(a[r][c].re - b[r][c].re));
      largest = std::max(largest, std::abs(a[r][c].im - b[r][c].im));
    }
  }
  return largest;
}

TEST(Fft2d, MatchesTheDefinitionOnOddEvenAndPrimeSizes) {
  for (const int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 16, 17}) {
    for (const bool forward : {true, false}) {
      const ComplexField input = randomComplex(n, static_cast<unsigned>(n));
      ComplexField field = copyOf(input);
      fft2d(field.rows(), n, forward);
      const double scale = forward ? n * n : 1.0;
      EXPECT_LT(largestDifference(field, naiveDft(input, forward)),
                1e-13 * scale)
          << "n = " << n << (forward ? " forward" : " inverse");
    }
  }
}

// The planned block transform does what one fftc1d call per line does, so
// it must agree with it exactly, not only to rounding.
TEST(Fft2d, AgreesBitForBitWithOneAlglibCallPerLine) {
  for (const int n : {1, 2, 3, 5, 8, 9, 15, 16, 17, 31, 64, 100}) {
    for (const bool forward : {true, false}) {
      ComplexField fast = randomComplex(n, 7u + static_cast<unsigned>(n));
      ComplexField slow = copyOf(fast);
      fft2d(fast.rows(), n, forward);
      literal::fft2d(slow.rows(), n, forward);
      EXPECT_EQ(largestDifference(fast, slow), 0.0)
          << "n = " << n << (forward ? " forward" : " inverse");
    }
  }
}

TEST(Fft2d, MirroredColumnsGiveTheSameBits) {
  for (const int n : {1, 2, 5, 8, 17, 30}) {
    ComplexField fast = randomComplex(n, 21u);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n / 2; ++c) fast[r][n - 1 - c] = fast[r][c];
    }
    ComplexField slow = copyOf(fast);
    fft2dMirrored(fast.rows(), n);
    literal::fft2d(slow.rows(), n, true);
    EXPECT_EQ(largestDifference(fast, slow), 0.0) << "n = " << n;
  }
}

TEST(Fft2d, ForwardThenInverseRestoresTheField) {
  for (const int n : {1, 7, 64, 129}) {
    const ComplexField input = randomComplex(n, 99u);
    ComplexField field = copyOf(input);
    fft2d(field.rows(), n, true);
    fft2d(field.rows(), n, false);
    EXPECT_LT(largestDifference(field, input),
              1e-14 * std::log2(n + 1.0) + 1e-15)
        << "n = " << n;
  }
}

TEST(Fft2d, NonFiniteSamplesRaiseAlglibsMessage) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    int n, row, column;
    Complex bad;
    bool forward;
    const char* message;
  };
  const Case cases[] = {
      {1, 0, 0, {nan, 0.0}, true, "FFTC1D: A contains infinite or NAN values!"},
      {1,
       0,
       0,
       {0.0, inf},
       false,
       "FFTC1DInv: A contains infinite or NAN values!"},
      {9,
       4,
       8,
       {-inf, 0.0},
       true,
       "FFTC1D: A contains infinite or NAN values!"},
      {16,
       15,
       3,
       {0.0, nan},
       false,
       "FFTC1DInv: A contains infinite or NAN values!"},
  };
  for (const Case& c : cases) {
    ComplexField field = randomComplex(c.n, 3u);
    field[c.row][c.column] = c.bad;
    try {
      fft2d(field.rows(), c.n, c.forward);
      ADD_FAILURE() << "no error for n = " << c.n;
    } catch (const alglib::ap_error& error) {
      EXPECT_EQ(error.msg, c.message);
    }
  }
}

// Huge finite values overflow in the column pass; the row pass must then
// refuse the infinities it was handed.
TEST(Fft2d, OverflowInTheColumnPassIsCaughtInTheRowPass) {
  ComplexField field(4);
  for (int r = 0; r < 4; ++r) field[r][1] = {1e308, 0.0};
  EXPECT_THROW(fft2d(field.rows(), 4, true), alglib::ap_error);
}

TEST(FftShift2d, MovesEverySampleByTheShifts) {
  struct Case {
    int n, rowShift, columnShift;
  };
  for (const Case& s : {Case{1, 0, 0}, Case{4, 2, 2}, Case{5, 2, 2},
                        Case{5, 0, 3}, Case{6, 1, 4}}) {
    ComplexField field(s.n);
    for (int r = 0; r < s.n; ++r) {
      for (int c = 0; c < s.n; ++c) field[r][c] = {1.0 * r, 1.0 * c};
    }
    fftShift2d(field.rows(), s.n, s.rowShift, s.columnShift);
    for (int r = 0; r < s.n; ++r) {
      for (int c = 0; c < s.n; ++c) {
        const Complex moved =
            field[(r + s.rowShift) % s.n][(c + s.columnShift) % s.n];
        EXPECT_EQ(moved.re, r);
        EXPECT_EQ(moved.im, c);
      }
    }
  }
}

TEST(FftShift2d, KnownMovesForFourAndFive) {
  // (from row, from column, n, to row, to column) with both shifts n / 2.
  const int moves[][5] = {
      {0, 0, 4, 2, 2}, {3, 1, 4, 1, 3}, {0, 0, 5, 2, 2}, {3, 3, 5, 0, 0}};
  for (const auto& m : moves) {
    ComplexField field(m[2]);
    field[m[0]][m[1]] = {1.0, 0.0};
    fftShift2d(field.rows(), m[2], m[2] / 2, m[2] / 2);
    EXPECT_EQ(field[m[3]][m[4]].re, 1.0);
  }
}

TEST(SubtractLocalMean, ConstantHologramsGiveTheKnownSums) {
  // A constant 9: each sample loses one per in-field neighbour.
  const double sums[] = {8.0, 20.0, 32.0, 44.0};
  for (int n = 1; n <= 4; ++n) {
    const RealField hologram = filledField(n, 9.0);
    RealField filtered(n);
    EXPECT_DOUBLE_EQ(subtractLocalMean(hologram.rows(), n, filtered.rows()),
                     sums[n - 1])
        << "n = " << n;
  }
  const RealField hologram = filledField(3, 9.0);
  RealField filtered(3);
  subtractLocalMean(hologram.rows(), 3, filtered.rows());
  const double expected[3][3] = {{5, 3, 5}, {3, 0, 3}, {5, 3, 5}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c)
      EXPECT_DOUBLE_EQ(filtered[r][c], expected[r][c]);
  }
  EXPECT_NEAR(referenceAmplitude(32.0, 3), 1.8856, 1e-4);
  EXPECT_EQ(hologram[1][1], 9.0);  // the input is only read
}

TEST(SubtractLocalMean, ReadsOnlyTheHologram) {
  // A single bright sample: its neighbours each lose 1/9 of it, itself 8/9.
  RealField hologram(5);
  hologram[2][2] = 9.0;
  RealField filtered(5);
  const double sum = subtractLocalMean(hologram.rows(), 5, filtered.rows());
  EXPECT_DOUBLE_EQ(filtered[2][2], 8.0);
  EXPECT_DOUBLE_EQ(filtered[1][3], -1.0);
  EXPECT_DOUBLE_EQ(filtered[0][0], 0.0);
  EXPECT_NEAR(sum, 0.0, 1e-14);
}

TEST(FillReferenceWave, RowsAreConstantAndMirrorRowsConjugate) {
  const int n = 6;
  ComplexField field = randomComplex(n, 5u);
  fillReferenceWave(n, field.rows(), 0.0, 532e-9, 2.5, 3.45e-6);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      EXPECT_EQ(field[r][c].re, 2.5);
      EXPECT_EQ(field[r][c].im, 0.0);
    }
  }
  fillReferenceWave(n, field.rows(), 0.3, 532e-9, 2.5, 3.45e-6);
  for (int r = 0; r < n; ++r) {
    for (int c = 1; c < n; ++c) {
      EXPECT_EQ(field[r][c].re, field[r][0].re);
      EXPECT_EQ(field[r][c].im, field[r][0].im);
    }
    EXPECT_NEAR(field[r][0].re, field[n - 1 - r][0].re, 1e-9);
    EXPECT_NEAR(field[r][0].im, -field[n - 1 - r][0].im, 1e-9);
    EXPECT_NEAR(std::hypot(field[r][0].re, field[r][0].im), 2.5, 1e-15);
  }
  EXPECT_GT(std::abs(field[0][0].im), 0.1);
}

}  // namespace
