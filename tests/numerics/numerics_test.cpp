#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "failure.h"
#include "fft.h"
#include "literal.h"
#include "prepare.h"
#include "reconstruction.h"

using numerics::Complex;
using numerics::ComplexField;
using numerics::describeCurrentFailure;
using numerics::fft2d;
using numerics::fft2dMirrored;
using numerics::Field;
using numerics::interferencePhase;
using numerics::Method;
using numerics::NonFiniteData;
using numerics::PhaseOutput;
using numerics::PreparedHologram;
using numerics::prepareHologram;
using numerics::RealField;
using numerics::reconstruct;
using numerics::reconstructDhi;
using numerics::referenceAmplitude;
using numerics::subtractLocalMean;

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

RealField randomHologram(int n, unsigned seed) {  // grey levels in [0, 255]
  const ComplexField random = randomComplex(n, seed);
  RealField h(n);
  each(n, [&](int r, int c) { h[r][c] = 127.5 * (1 + random[r][c].re); });
  return h;
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
  EXPECT_EQ(largestDifference(field, ComplexField(3)), 0.0);  // zero-filled
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

// The 2-D DFT by its definition, one dimension after the other: forward
// unscaled, inverse over n^2.
ComplexField definition(const ComplexField& in, bool forward) {
  const int n = in.size();
  std::vector<C> w, half(static_cast<std::size_t>(n * n));
  for (int k = 0; k < n; ++k)  // w[k] = exp(-+2 pi i k / n)
    w.push_back(std::polar(1.0, (forward ? -2 : 2) * kPi * k / n));
  ComplexField out(n);
  each(n, [&](int u, int c) {  // sums over the rows
    for (int r = 0; r < n; ++r)
      half[u * n + c] += C(in[r][c].re, in[r][c].im) * w[u * r % n];
  });
  each(n, [&](int u, int v) {
    C sum = 0.0;
    for (int c = 0; c < n; ++c) sum += half[u * n + c] * w[v * c % n];
    if (!forward) sum /= n * n;
    out[u][v] = {sum.real(), sum.imag()};
  });
  return out;
}

// Against the definition to rounding and against ALGLIB's transform per line
// (whose transform of lengths with large prime factors is good to about
// 1e-13 only), on odd, even and prime sizes; the mirrored-column variant
// gives fft2d's results to the last bit; a transform followed by the
// opposite one restores the field.
TEST(Fft2d, MatchesTheDefinitionAndAlglibAndInverts) {
  for (int n : {1, 2, 3, 4, 7, 8, 9, 12, 13, 16, 17, 31, 64, 97, 100, 129}) {
    for (const bool forward : {true, false}) {
      SCOPED_TRACE(testing::Message() << "n = " << n << " forward " << forward);
      ComplexField in = randomComplex(n, 7u), out = randomComplex(n, 7u),
                   alglib = randomComplex(n, 7u), mirrored(n);
      each(forward ? n : 0, [&](int r, int c) {  // columns c, n - 1 - c equal
        in[r][c] = out[r][c] = alglib[r][c] = mirrored[r][c] =
            alglib[r][std::min(c, n - 1 - c)];
      });
      fft2d(out.rows(), n, forward);
      literal::fft2d(alglib.rows(), n, forward);
      const ComplexField exact = definition(in, forward);
      const double top = largestDifference(exact, ComplexField(n));
      EXPECT_LT(largestDifference(out, exact), 1e-14 * top);
      EXPECT_LT(largestDifference(out, alglib), 1e-12 * top);
      if (forward) {
        fft2dMirrored(mirrored.rows(), n);
        EXPECT_EQ(largestDifference(mirrored, out), 0.0);
      }
      fft2d(out.rows(), n, !forward);
      EXPECT_LT(largestDifference(out, in), 1e-15 * std::log2(n + 1.0) + 1e-15);
    }
  }
}

// An infinity or a NaN anywhere, or a column pass that overflows, fails with
// the text of the direction (the mirrored variant: DegenerateParameters).
TEST(Fft2d, NonFiniteDataFailsWithTheTextOfTheDirection) {
  const std::string text[] = {"FFTC1DInv: A contains infinite or NAN values!",
                              "FFTC1D: A contains infinite or NAN values!"};
  const struct {
    const char* name;
    bool forward;
    int n, row;  // in column 0; all its rows when negative
    double value;
  } cases[] = {{"NaN", true, 5, 2, NAN},
               {"infinity", false, 1, 0, -INFINITY},
               {"column of 1e308 overflows", false, 4, -1, 1e308}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    ComplexField field(test.n);
    for (int r = 0; r < test.n; ++r)
      if (r == test.row || test.row < 0) field[r][0] = {0.5, test.value};
    try {
      fft2d(field.rows(), test.n, test.forward);
      ADD_FAILURE() << "no error";
    } catch (const NonFiniteData&) {
      EXPECT_EQ(describeCurrentFailure(), text[test.forward]);
    }
  }
}

using Reconstruct = void (*)(const double* const*, int, double* const*,
                             double* const*, PhaseOutput, double, double,
                             double, double);
// A method in the shape of the plain transcription: the hologram prepared,
// then reconstructed.
template <Method method>
void prepared(const double* const* h, int n, double* const* intensity,
              double* const* phase, PhaseOutput kind, double wavelength,
              double angle, double z, double pitch) {
  reconstruct(method, prepareHologram(h, n), {wavelength, angle, z, pitch},
              {intensity, phase, kind});
}
const Reconstruct kFast[] = {prepared<Method::fresnel>,
                             prepared<Method::convolution>,
                             prepared<Method::angularSpectrum>};
constexpr auto kTangent = PhaseOutput::tangent, kWrapped = PhaseOutput::wrapped;

// Against the plain transcription: intensities to 1e-9 of the largest
// intensity, wrapped phases (asked for without intensity) to 1e-6 and
// tangents to 1e-6 relative where the sample is not dark and the real part
// not tiny (|U_re| above 1e-3 |U| keeps the tangent's condition number below
// about 1e6 times the rounding of U itself). Interferometry of two prepared
// copies of the hologram writes the same intensities, a phase difference of
// 0, and a field whose |U|^2 is the intensity. The optics put the angular
// spectrum's band limit (the last three) and evanescent waves (the last) in
// play.
TEST(Reconstruction, AgreesWithThePlainFormulas) {
  const double optics[][4] = {{532e-9, 0.02, 5e-3, 3.45e-6},
                              {633e-9, -0.1, 0.3, 6.7e-6},
                              {1.0, 0.5, 250.0, 2.0},
                              {1.0, 0.3, 2.0, 0.4}};
  for (int method : {0, 1, 2}) {
    const auto slow = std::array{literal::fresnel, literal::convolution,
                                 literal::angularSpectrum}[method];
    for (int n : {1, 2, 3, 8, 17, 64, 101}) {
      int compared = 0;
      for (const auto& o : optics) {
        const RealField h = randomHologram(n, static_cast<unsigned>(n));
        RealField i(n), t(n), w(n), sI(n), sT(n), sW(n), i1(n), i2(n);
        kFast[method](h.rows(), n, i.rows(), t.rows(), kTangent, o[0], o[1],
                      o[2], o[3]);
        kFast[method](h.rows(), n, nullptr, w.rows(), kWrapped, o[0], o[1],
                      o[2], o[3]);
        slow(h.rows(), n, sI.rows(), sT.rows(), o[0], o[1], o[2], o[3],
             sW.rows());
        RealField d = filled(n, 9.0);
        const PreparedHologram p = prepareHologram(h.rows(), n);
        ComplexField u(n);  // the field, from which the intensity is made
        reconstructDhi(static_cast<Method>(method), p, p,
                       {o[0], o[1], o[2], o[3]},
                       {i1.rows(), i2.rows(), d.rows(), u.rows()});
        double top = 0.0;
        each(n, [&](int r, int c) { top = std::max(top, sI[r][c]); });
        for (int k = 0; k < n * n; ++k) {
          const int r = k / n, c = k % n;
          SCOPED_TRACE(testing::Message() << "method, n, sample: " << method
                                          << ", " << n << ", " << k);
          ASSERT_NEAR(i[r][c], sI[r][c], 1e-9 * top);
          ASSERT_TRUE(i1[r][c] == i[r][c] && i2[r][c] == i[r][c] &&
                      d[r][c] == 0);
          ASSERT_NEAR(std::norm(C(u[r][c].re, u[r][c].im)), i[r][c],
                      1e-9 * top);
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

// Zero wavelength or distance fail with the message of the transform that
// meets the non-finite data, before any output sample is written. Even
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
    } catch (const NonFiniteData& error) {
      EXPECT_EQ(c[5], 1);
      EXPECT_EQ(error.what(), std::string(c[0] > 0 ? "FFTC1D" : "FFTC1DInv") +
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

// Every output sample of the five reconstructions (Fresnel, Convolution,
// the angular spectrum, interferometry by the first two) of random
// holograms of edge n.
std::vector<double> outputs(int n) {
  const RealField h1 = randomHologram(n, 1u), h2 = randomHologram(n, 2u);
  std::vector<double> all;
  for (int kind = 0; kind < 5; ++kind) {
    RealField a(n), b(n), c(n);
    kind < 3 ? kFast[kind](h1.rows(), n, a.rows(), b.rows(), kWrapped, 532e-9,
                           0.02, 5e-3, 3.45e-6)
             : reconstructDhi(
                   static_cast<Method>(kind - 3), prepareHologram(h1.rows(), n),
                   prepareHologram(h2.rows(), n), {532e-9, 0.02, 5e-3, 3.45e-6},
                   {a.rows(), b.rows(), c.rows()});
    for (const RealField* field : {&a, &b, &c})
      each(n, [&](int r, int col) { all.push_back((*field)[r][col]); });
  }
  return all;
}

// Reconstructions on three threads at once, of sizes no test has planned
// yet, some shared and some not, give what one thread gives to the last bit.
TEST(Reconstruction, ThreadsAtOnceGiveTheSingleThreadedResults) {
  using Results = std::pair<std::vector<double>, std::vector<double>>;
  const auto jobs = [](int t) { return Results(outputs(40), outputs(41 + t)); };
  Results threaded[3];
  {
    std::jthread threads[] = {std::jthread([&] { threaded[0] = jobs(0); }),
                              std::jthread([&] { threaded[1] = jobs(1); }),
                              std::jthread([&] { threaded[2] = jobs(2); })};
  }  // joined here
  for (int t = 0; t < 3; ++t) EXPECT_TRUE(threaded[t] == jobs(t)) << t;
}

}  // namespace
