#include <ap.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <utility>

#include "fft.h"
#include "literal.h"
#include "reconstruction.h"

namespace {

using C = std::complex<double>;
using literal::each;
constexpr double kPi = std::numbers::pi;

RealField filled(int n, double value) {
  RealField field(n);
  each(n, [&](int r, int c) { field[r][c] = value; });
  return field;
}

ComplexField randomComplex(int n, unsigned seed) {  // parts in [-1, 1]
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> part(-1.0, 1.0);
  ComplexField field(n);
  each(n, [&](int r, int c) { field[r][c] = {part(random), part(random)}; });
  return field;
}

double largestDifference(const ComplexField& a, const ComplexField& b) {
  double d = 0.0;
  each(a.size(), [&](int r, int c) {
    d = std::max({d, std::abs(a[r][c].re - b[r][c].re),
                  std::abs(a[r][c].im - b[r][c].im)});
  });
  return d;
}

TEST(Field, RowsAreSeparateZeroFilledAndMoveOnlyImpossibleSizesFail) {
  ComplexField field(3);
  ASSERT_TRUE(field && field.size() == 3 && field[0] != field[1]);
  each(3, [&](int r, int c) {
    EXPECT_TRUE(field[r][c].re == 0.0 && field[r][c].im == 0.0);
  });
  field.rows()[2][1] = Complex{1.0, -2.0};
  Complex* const row = field[1];  // moving hands it over, emptying the source
  ComplexField moved(std::move(field)), other(5);
  EXPECT_TRUE(!field && field.size() == 0 && field.rows() == nullptr);
  other = std::move(moved);  // other's own rows are released, not leaked
  EXPECT_TRUE(other.size() == 3 && other[1] == row && other[2][1].im == -2.0);
  other.release();
  EXPECT_FALSE(other);
  // Impossible sizes fail instead of allocating short (32 EiB here).
  EXPECT_THROW(RealField(-1), std::bad_alloc);
  EXPECT_FALSE(RealField::tryCreate(-8));
  EXPECT_FALSE(RealField::tryCreate(std::numeric_limits<int>::max()));
}

// Against the O(n^4) definition with ALGLIB's signs and scaling (inverse
// divided by n^2) on small sizes; forward then inverse restores the field;
// the block transform and its mirrored-column variant do, to the last bit,
// what one fftc1d call per line does; overflow in the column pass is refused.
TEST(Fft2d, MatchesTheDefinitionInvertsAndAgreesWithAlglibPerLine) {
  for (int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 16, 17, 31, 64, 100, 129}) {
    for (int mode : {0, 1, 2}) {  // forward, inverse, mirrored forward
      SCOPED_TRACE(testing::Message() << "n = " << n << " mode " << mode);
      ComplexField in = randomComplex(n, 7u), out = randomComplex(n, 7u),
                   slow = randomComplex(n, 7u), naive(n);
      each(mode == 2 ? n : 0, [&](int r, int c) {
        in[r][c] = out[r][c] = slow[r][c] = slow[r][std::min(c, n - 1 - c)];
      });
      const bool forward = mode != 1;
      mode == 2 ? fft2dMirrored(out.rows(), n) : fft2d(out.rows(), n, forward);
      literal::fft2d(slow.rows(), n, forward);
      EXPECT_EQ(largestDifference(out, slow), 0.0);
      each(n <= 17 ? n : 0, [&](int u, int v) {
        C sum = 0.0;
        each(n, [&](int r, int c) {
          const double angle = 2 * kPi * ((u * r + v * c) % n) / n;
          sum += C(in[r][c].re, in[r][c].im) *
                 std::polar(1.0, forward ? -angle : angle);
        });
        if (!forward) sum /= n * n;
        naive[u][v] = {sum.real(), sum.imag()};
      });
      EXPECT_LT(n > 17 ? 0 : largestDifference(out, naive),
                1e-13 * (forward ? n * n : 1));
      if (mode != 0) continue;
      fft2d(out.rows(), n, false);
      EXPECT_LT(largestDifference(out, in), 1e-14 * std::log2(n + 1.0) + 1e-15);
    }
  }
  ComplexField huge(4);
  for (int r = 0; r < 4; ++r) huge[r][1] = {1e308, 0.0};
  EXPECT_THROW(fft2d(huge.rows(), 4, true), alglib::ap_error);
}

// Sample (r, c) moves to ((r + row shift) mod n, (c + column shift) mod n).
// Cases: n, row and column shift, from row, column, to row, column.
TEST(FftShift2d, KnownMoves) {
  const int moves[][7] = {{1, 0, 0, 0, 0, 0, 0}, {4, 2, 2, 0, 0, 2, 2},
                          {4, 2, 2, 3, 1, 1, 3}, {5, 2, 2, 0, 0, 2, 2},
                          {5, 2, 2, 3, 3, 0, 0}, {5, 0, 3, 1, 4, 1, 2},
                          {6, 1, 4, 5, 1, 0, 5}};
  for (const auto& s : moves) {
    ComplexField f(s[0]);
    each(s[0], [&](int r, int c) { f[r][c] = {1.0 * r, 1.0 * c}; });
    fftShift2d(f.rows(), s[0], s[1], s[2]);
    EXPECT_TRUE(f[s[5]][s[6]].re == s[3] && f[s[5]][s[6]].im == s[4]) << s[0];
  }
}

using Reconstruct = void (*)(const double* const*, int, double* const*,
                             double* const*, PhaseOutput, double, double,
                             double, double);
const Reconstruct kFast[] = {reconstructFresnel, reconstructConvolution};
constexpr auto kTangent = PhaseOutput::tangent, kWrapped = PhaseOutput::wrapped;

// Against the plain transcription: intensities to 1e-9 of the largest
// intensity, wrapped phases (asked for without intensity) to 1e-6 and
// tangents to 1e-6 relative where the sample is not dark and the real part
// not tiny (|U_re| above 1e-3 |U| keeps the tangent's condition number below
// about 1e6 times the rounding of U itself). Interferometry on two copies of
// the hologram writes the same intensities and a phase difference of 0.
TEST(Reconstruction, AgreesWithThePlainFormulas) {
  const double optics[][4] = {{532e-9, 0.02, 5e-3, 3.45e-6},
                              {633e-9, -0.1, 0.3, 6.7e-6},
                              {1.0, 0.5, 250.0, 2.0}};
  for (int method : {0, 1}) {
    const auto slow = method == 0 ? literal::fresnel : literal::convolution;
    for (int n : {1, 2, 3, 8, 17, 64, 101}) {
      int compared = 0;
      for (const auto& o : optics) {
        const ComplexField random = randomComplex(n, static_cast<unsigned>(n));
        RealField h(n);  // grey levels in [0, 255]
        each(n, [&](int r, int c) { h[r][c] = 127.5 * (1 + random[r][c].re); });
        RealField i(n), t(n), w(n), sI(n), sT(n), sW(n), i1(n), i2(n);
        kFast[method](h.rows(), n, i.rows(), t.rows(), kTangent, o[0], o[1],
                      o[2], o[3]);
        kFast[method](h.rows(), n, nullptr, w.rows(), kWrapped, o[0], o[1],
                      o[2], o[3]);
        slow(h.rows(), n, sI.rows(), sT.rows(), o[0], o[1], o[2], o[3],
             sW.rows());
        RealField d = filled(n, 9.0);
        reconstructDhi(method > 0, h.rows(), h.rows(), n, i1.rows(), i2.rows(),
                       d.rows(), o[0], o[1], o[2], o[3]);
        double top = 0.0;
        each(n, [&](int r, int c) { top = std::max(top, sI[r][c]); });
        for (int k = 0; k < n * n; ++k) {
          const int r = k / n, c = k % n;
          SCOPED_TRACE(testing::Message() << "method, n, sample: " << method
                                          << ", " << n << ", " << k);
          ASSERT_NEAR(i[r][c], sI[r][c], 1e-9 * top);
          ASSERT_TRUE(i1[r][c] == i[r][c] && i2[r][c] == i[r][c] &&
                      d[r][c] == 0);
          if (sI[r][c] < 1e-12 * top) continue;
          ASSERT_NEAR(std::remainder(w[r][c] - sW[r][c], 2 * kPi), 0, 1e-6);
          if (1.0 + sT[r][c] * sT[r][c] >= 1e6) continue;
          ASSERT_NEAR(t[r][c], sT[r][c],
                      1e-6 * std::max(1.0, std::abs(sT[r][c])));
          ++compared;
        }
      }
      EXPECT_GT(compared, n * n) << method << " n = " << n;
    }
  }
}

// A constant 9 filters to 9 minus one per in-field neighbour. For n = 1 the
// filtered 8 gives a_R = sqrt(8) and the intensity 512 / (lambda z)^2 for
// both methods whatever the angle; Convolution ignores the sign of z.
TEST(Reconstruction, ConstantHologramKnownValues) {
  const double sums[] = {8.0, 20.0, 32.0, 44.0};
  const double filtered3[3][3] = {{5, 3, 5}, {3, 0, 3}, {5, 3, 5}};
  for (int n = 1; n <= 4; ++n) {
    const RealField hologram = filled(n, 9.0);
    RealField out(n);
    EXPECT_EQ(subtractLocalMean(hologram.rows(), n, out.rows()), sums[n - 1]);
    each(n == 3 ? 3 : 0, [&](int r, int c) {
      EXPECT_EQ(out[r][c], filtered3[r][c]);
      EXPECT_EQ(hologram[r][c], 9.0);  // the input is only read
    });
  }
  EXPECT_NEAR(referenceAmplitude(32.0, 3), 1.8856, 1e-4);
  const double kz = 2 * kPi / 0.5 * 0.3, intensity = 512.0 / (0.15 * 0.15);
  const double cases[][3] = {{0, 0.3, std::cos(-kz) / std::sin(-kz)},
                             {1, 0.3, std::cos(kz) / std::sin(kz)},
                             {1, -0.3, std::cos(kz) / std::sin(kz)}};
  for (const auto& c : cases) {  // method, z, tangent
    for (const double angle : {0.0, 0.7}) {
      RealField i(1), t(1);
      kFast[c[0] > 0](filled(1, 9.0).rows(), 1, i.rows(), t.rows(), kTangent,
                      0.5, angle, c[1], 1e-3);
      EXPECT_NEAR(i[0][0], intensity, 1e-12 * intensity) << c[0] << c[1];
      EXPECT_NEAR(t[0][0], c[2], 1e-12 * std::abs(c[2])) << c[0] << c[1];
    }
  }
}

// Zero wavelength or distance fail with ALGLIB's message of the transform
// that meets the non-finite data, before any output sample is written. Even
// n puts no sample on the axis, and zero pitch all at rho = |z|, so
// Convolution goes on; zero pitch makes Fresnel's outputs non-finite (L = 0).
// Cases: method, n, wavelength, z, pitch, throws.
TEST(Reconstruction, DegenerateParameters) {
  const double cases[][6] = {
      {0, 4, 0.0, 5e-3, 3.45e-6, 1},   {0, 5, 532e-9, 0.0, 3.45e-6, 1},
      {0, 1, 532e-9, 0.0, 3.45e-6, 1}, {1, 4, 0.0, 5e-3, 3.45e-6, 1},
      {1, 5, 532e-9, 0.0, 3.45e-6, 1}, {1, 1, 532e-9, 0.0, 3.45e-6, 1},
      {1, 4, 532e-9, 0.0, 3.45e-6, 0}, {1, 4, 532e-9, 5e-3, 0.0, 0},
      {0, 4, 532e-9, 5e-3, 0.0, 0}};
  for (const auto& c : cases) {
    const int n = static_cast<int>(c[1]);
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
    const RealField h = filled(n, 9.0);
    const RealField out[] = {filled(n, 41.0), filled(n, 42.0)};
    try {
      kFast[c[0] > 0](h.rows(), n, out[0].rows(), out[1].rows(), kTangent, c[2],
                      0.02, c[3], c[4]);
      EXPECT_EQ(c[5], 0) << "no error";
      EXPECT_EQ(std::isfinite(out[0][0][0]), c[4] != 0.0 || c[0] > 0);
    } catch (const alglib::ap_error& error) {
      EXPECT_EQ(c[5], 1);
      EXPECT_EQ(error.msg, std::string(c[0] > 0 ? "FFTC1D" : "FFTC1DInv") +
                               ": A contains infinite or NAN values!");
      for (int k = 0; k < 2; ++k)
        each(n, [&](int r, int col) { EXPECT_EQ(out[k][r][col], 41 + k); });
    }
  }
}

// The examples given for tangents, read as phases with positive real parts;
// real parts of opposite sign (tangent 2 at phi and phi - pi); the ends of
// [0, 2 pi), where -1e-17 rounds up to 2 pi, which is the phase 0.
TEST(InterferencePhase, KnownValues) {
  const double t2 = std::atan(2.0), t1 = std::atan(1.0), th = std::atan(0.5);
  const double cases[][3] = {{t1, -t1, kPi / 2},
                             {-t1, t1, 3 * kPi / 2},
                             {t2, th, 0.6435011087932844},
                             {th, t2, 5.639684198386302},
                             {t2, t2 - kPi, kPi},
                             {kPi, -kPi, 0.0},
                             {0.0, 1e-17, 0.0}};
  for (const auto& c : cases) {  // phase1, phase2, expected
    const double d = interferencePhase(c[0], c[1]);
    EXPECT_NEAR(d, c[2], 1e-12) << c[0] << " - " << c[1];
    EXPECT_TRUE(d >= 0.0 && d < 2 * kPi) << d;
  }
  EXPECT_TRUE(std::isnan(interferencePhase(std::nan(""), 0.0)));
}

// A small simulator whose truth is known: the object, in the middle of a grid
// twice the sensor's (so that no light leaving the sensor wraps back), is
// propagated by the angular spectrum, exact for a sampled band-limited field,
// and the centre recorded as |U + R|^2 with R = a exp(-i q y_r) (q = k sin
// angle, y_r centred as the reconstructions centre it).
constexpr int kSensor = 256;
struct Optics {
  double wavelength = 532e-9, pitch = 3.45e-6, angle = 0.02, z = 5e-3;
  double reference = 1.0;
};

RealField record(const ComplexField& object, const Optics& o) {
  const int m = 2 * kSensor, at = kSensor / 2;
  ComplexField u(m);
  each(kSensor, [&](int r, int c) { u[r + at][c + at] = object[r][c]; });
  fft2d(u.rows(), m, true);
  // Index j stands for j cycles per grid, from m / 2 on for j - m.
  const auto f = [&](int j) { return (j < m / 2 ? j : j - m) / (m * o.pitch); };
  each(m, [&](int r, int c) {
    const double axial = std::pow(o.wavelength, -2) - f(r) * f(r) - f(c) * f(c);
    const C v = C(u[r][c].re, u[r][c].im) *  // evanescent waves die
                std::polar(axial > 0 ? 1.0 : 0.0,
                           2 * kPi * o.z * std::sqrt(std::max(axial, 0.0)));
    u[r][c] = {v.real(), v.imag()};
  });
  fft2d(u.rows(), m, false);
  const double q = 2 * kPi / o.wavelength * std::sin(o.angle);
  RealField hologram(kSensor);
  each(kSensor, [&](int r, int c) {
    hologram[r][c] = std::norm(
        C(u[r + at][c + at].re, u[r + at][c + at].im) +
        std::polar(o.reference, -q * (r - 0.5 * (kSensor - 1)) * o.pitch));
  });
  return hologram;
}

// An object of value 1 in the boxes {top, left, height, width}, else 0.
ComplexField mask(std::initializer_list<std::array<int, 4>> boxes) {
  ComplexField field(kSensor);
  for (const auto& b : boxes) {
    for (int r = b[0]; r < b[0] + b[2]; ++r)
      for (int c = b[1]; c < b[1] + b[3]; ++c) field[r][c].re = 1.0;
  }
  return field;
}

// The amplitude of the reconstruction resembles the object (two bars and two
// blocks) best at the distance it was recorded from, over 0.5 z0 to 2 z0.
TEST(Physics, ConvolutionFocusesAtTheRecordingDistance) {
  const Optics o;
  const ComplexField object = mask({{70, 80, 100, 8},
                                    {70, 110, 8, 70},
                                    {120, 120, 30, 30},
                                    {160, 150, 20, 40}});
  const RealField hologram = record(object, o);
  RealField intensity(kSensor), tangent(kSensor);
  double corr[16];
  for (int i = 0; i <= 15; ++i) {
    reconstructConvolution(hologram.rows(), kSensor, intensity.rows(),
                           tangent.rows(), o.wavelength, o.angle,
                           o.z * (0.5 + 0.1 * i), o.pitch);
    // Pearson correlation of the amplitude with the object.
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, count = kSensor * kSensor;
    each(kSensor, [&](int r, int c) {
      const double a = std::sqrt(intensity[r][c]), b = object[r][c].re;
      sa += a, sb += b, saa += a * a, sbb += b * b, sab += a * b;
    });
    corr[i] = (sab - sa * sb / count) /
              std::sqrt((saa - sa * sa / count) * (sbb - sb * sb / count));
  }
  const double* best = std::max_element(corr, corr + 16);
  EXPECT_EQ(best - corr, 5);
  EXPECT_GT(*best, std::max({0.5, corr[3] + 0.05, corr[7] + 0.05}));
}

// A deformation of 0.5 to 2.5 rad between two recordings of a speckled object
// is the interference phase on every bright object sample (darker ones are
// noise), also where the real parts differ in sign (tangents are off by pi
// there). A steeper reference moves the twin image (2 z0 sin(angle) away)
// off the object; a weak one keeps the terms common to both recordings small.
TEST(Physics, InterferencePhaseRecoversADeformation) {
  const Optics o{.angle = 0.05, .reference = 0.2};
  // Speckle: random samples, low-passed so that the light stays within the
  // simulation grid's band and mostly on the sensor.
  ComplexField first = mask({{60, 40, 40, 176}}), second(kSensor),
               speckle = randomComplex(kSensor, 17u);
  fft2d(speckle.rows(), kSensor, true);
  each(kSensor, [&](int r, int c) {
    const int fr = std::min(r, kSensor - r), fc = std::min(c, kSensor - c);
    if (fr * fr + fc * fc > 24 * 24) speckle[r][c] = {0.0, 0.0};
  });
  fft2d(speckle.rows(), kSensor, false);
  const auto deformation = [](int c) { return 0.5 + 2.0 * (c - 40) / 175.0; };
  each(kSensor, [&](int r, int c) {
    const C s = first[r][c].re * C(speckle[r][c].re, speckle[r][c].im);
    const C deformed = s * std::polar(1.0, -deformation(c));
    first[r][c] = {s.real(), s.imag()};
    second[r][c] = {deformed.real(), deformed.imag()};
  });
  const RealField h1 = record(first, o), h2 = record(second, o);
  RealField i1(kSensor), i2(kSensor), phase(kSensor), w1(kSensor), w2(kSensor);
  reconstructDhi(true, h1.rows(), h2.rows(), kSensor, i1.rows(), i2.rows(),
                 phase.rows(), o.wavelength, o.angle, o.z, o.pitch);
  for (auto [h, w] : {std::pair{&h1, &w1}, std::pair{&h2, &w2}}) {
    reconstructConvolution(h->rows(), kSensor, nullptr, w->rows(), kWrapped,
                           o.wavelength, o.angle, o.z, o.pitch);
  }
  double mean = 0.0;  // over the object's 40 x 176 samples
  for (int r = 60; r < 100; ++r)
    for (int c = 40; c < 216; ++c) mean += i1[r][c] / (40 * 176);
  int checked = 0, oppositeSigns = 0;
  for (int r = 62; r < 98; ++r) {  // bright samples well inside the object
    for (int c = 42; c < 214; ++c) {
      if (i1[r][c] < mean) continue;
      ++checked;
      oppositeSigns += std::cos(w1[r][c]) * std::cos(w2[r][c]) < 0.0;
      const double error = phase[r][c] - deformation(c);
      ASSERT_LT(std::abs(std::remainder(error, 2 * kPi)), 0.8)
          << r << ", " << c;
    }
  }
  EXPECT_GT(checked, 40 * 176 / 4);
  EXPECT_GT(oppositeSigns, checked / 5);
}

}  // namespace
