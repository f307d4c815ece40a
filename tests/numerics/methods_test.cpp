// The angular spectrum against the diffraction integral; reconstructions
// from a shared spectrum against those from the hologram; the sideband
// filter's refusals.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "literal.h"
#include "reconstruction.h"
#include "sideband.h"

using numerics::ComplexField;
using numerics::DhiOutputs;
using numerics::filterSideband;
using numerics::Frequency;
using numerics::HologramSpectrum;
using numerics::Method;
using numerics::Optics;
using numerics::PhaseOutput;
using numerics::PreparedHologram;
using numerics::prepareHologram;
using numerics::RealField;
using numerics::reconstruct;
using numerics::reconstructDhi;
using numerics::reconstructDhiFromSpectra;
using numerics::reconstructFromSpectrum;
using numerics::ReconstructionOutputs;
using numerics::Sideband;
using numerics::SidebandRequest;
using numerics::SidebandResult;
using numerics::transformHologram;

namespace {

using C = std::complex<double>;
using literal::each;
constexpr double kPi = std::numbers::pi, kWavelength = 532e-9, kPitch = 3.45e-6;

// A Gaussian spot (waist 3 samples) taken back over z, against the
// Rayleigh-Sommerfeld integral as a plain sum,
//   U(x) = sum U0 z / (2 pi d^2) (1 / d + i k) exp(-i k d) pitch^2,
// at the place the sample shows (half a sample on for even n, one for odd
// n, as with the Convolution method) and on its scale (over pitch^2). The
// band limit stays beyond the spot's frequencies.
TEST(AngularSpectrum, MatchesTheRayleighSommerfeldSum) {
  const double k = 2 * kPi / kWavelength;
  for (const int n : {64, 63}) {
    const double middle = (n - 1) / 2.0, shift = n % 2 ? 1.0 : 0.5;
    PreparedHologram spot;  // the object's wave alone, reference amplitude 1
    spot.complex = ComplexField(n);
    spot.referenceAmplitude = 1;
    each(n, [&](int r, int c) {
      const double d2 =
          (r - middle) * (r - middle) + (c - middle) * (c - middle);
      spot.complex[r][c].re = std::exp(-d2 / 9);
    });
    for (const double z : {1e-3, 2e-3}) {
      ComplexField u(n);
      reconstruct(Method::angularSpectrum, spot, {kWavelength, 0.0, z, kPitch},
                  {.field = u.rows()});
      const double top = std::hypot(u[31][31].re, u[31][31].im);
      for (const auto& [y, x] :
           {std::pair{31, 31}, {28, 35}, {36, 30}, {31, 24}}) {
        C sum;
        each(n, [&](int r, int c) {
          const double d =
              std::hypot((x + shift - c) * kPitch, (y + shift - r) * kPitch, z);
          sum += spot.complex[r][c].re * z / (2 * kPi * d * d) * C(1 / d, k) *
                 std::polar(1.0, -k * d);
        });
        SCOPED_TRACE(testing::Message()
                     << n << " " << z << " " << y << " " << x);
        EXPECT_NEAR(u[y][x].re, sum.real(), 1e-5 * top);
        EXPECT_NEAR(u[y][x].im, sum.imag(), 1e-5 * top);
        printf("%g %g %g %g\n", top, std::abs(sum), u[y][x].re - sum.real(),
               u[y][x].im - sum.imag());
      }
    }
  }
}

// The bits of every output of one set: intensity, wrapped phase and field,
// then the tangent; for a pair both intensities, the interference phase and
// both fields. reconstruct(outputs) writes them.
template <bool pair, typename Reconstruct>
std::vector<std::uint64_t> bitsOf(int n, Reconstruct reconstruct) {
  RealField a(n), b(n), c(n), d(n);
  ComplexField u(n), v(n);
  if constexpr (pair) {
    reconstruct(DhiOutputs{a.rows(), b.rows(), c.rows(), u.rows(), v.rows()});
  } else {
    reconstruct(ReconstructionOutputs{a.rows(), b.rows(), PhaseOutput::wrapped,
                                      u.rows()});
    reconstruct(ReconstructionOutputs{nullptr, d.rows(), PhaseOutput::tangent});
  }
  std::vector<std::uint64_t> bits;
  each(n, [&](int r, int col) {
    for (const double x :
         {a[r][col], b[r][col], c[r][col], d[r][col], u[r][col].re,
          u[r][col].im, v[r][col].re, v[r][col].im})
      bits.push_back(std::bit_cast<std::uint64_t>(x));
  });
  return bits;
}

// Sets that share a hologram's spectrum give what reconstruct and
// reconstructDhi give, to the last bit: both methods, even and odd n, real
// and complex (filtered) holograms and one of zeros, z from the whole band
// to its zero frequency alone, all from one spectrum per hologram, which
// three threads read at once. Fresnel and optics the spectrum was not made
// for are refused.
TEST(HologramSpectrum, GivesTheReconstructionsToTheLastBit) {
  for (const int n : {32, 33}) {
    std::mt19937 random(static_cast<unsigned>(n));
    std::uniform_real_distribution<double> level(0.0, 255.0);
    RealField picture(n);
    PreparedHologram complex, zeros;
    complex.complex = ComplexField(n);
    zeros.real = RealField(n);
    each(n, [&](int r, int c) {
      picture[r][c] = level(random);
      complex.complex[r][c] = {level(random) - 128, level(random) - 128};
    });
    complex.referenceAmplitude = 0.3;
    const PreparedHologram real = prepareHologram(picture.rows(), n);
    const PreparedHologram* holograms[] = {&real, &complex, &zeros};
    const Optics optics{kWavelength, 0.02, 0.0, kPitch};
    std::vector<HologramSpectrum> spectra;
    for (const PreparedHologram* h : holograms)
      spectra.push_back(transformHologram(*h, optics));
    for (const Method method : {Method::convolution, Method::angularSpectrum}) {
      for (int k = 0; k < 3; ++k) {
        const PreparedHologram& h = *holograms[k];
        const PreparedHologram& second = *holograms[(k + 1) % 3];
        std::vector<std::uint64_t> expected[3];
        std::jthread threads[3];
        const double zs[] = {1e-5, 5e-3, 0.2};  // band full, 3, 1 (n = 32)
        for (int i = 0; i < 3; ++i) {
          const Optics set{kWavelength, 0.02, zs[i], kPitch};
          SCOPED_TRACE(testing::Message()
                       << n << " " << int(method) << " " << k << " " << zs[i]);
          expected[i] = bitsOf<false>(n, [&](const auto& outputs) {
            reconstruct(method, h, set, outputs);
          });
          threads[i] = std::jthread([&, i, set] {
            const auto got = bitsOf<false>(n, [&](const auto& outputs) {
              reconstructFromSpectrum(method, spectra[k], set, outputs);
            });
            EXPECT_TRUE(got == expected[i]) << "from the spectrum, z " << zs[i];
          });
          EXPECT_TRUE(bitsOf<true>(n, [&](const auto& outputs) {
                        reconstructDhi(method, h, second, set, outputs);
                      }) == bitsOf<true>(n, [&](const auto& outputs) {
                        reconstructDhiFromSpectra(method, spectra[k],
                                                  spectra[(k + 1) % 3], set,
                                                  outputs);
                      }));
        }
      }
    }
    RealField untouched(n);
    const ReconstructionOutputs outputs{untouched.rows()};
    EXPECT_THROW(
        reconstructFromSpectrum(Method::fresnel, spectra[0], optics, outputs),
        std::invalid_argument);
    for (const Optics other : {Optics{6.3e-7, 0.02, 0.1, kPitch},
                               Optics{kWavelength, 0.03, 0.1, kPitch},
                               Optics{kWavelength, 0.02, 0.1, 2 * kPitch}}) {
      EXPECT_THROW(reconstructFromSpectrum(Method::convolution, spectra[0],
                                           other, outputs),
                   std::invalid_argument);
    }
    each(n, [&](int r, int c) { EXPECT_EQ(untouched[r][c], 0.0); });
  }
}

/// The n x n field interpolated at the points x = (q n / m, q n / m) by its
/// Fourier series (a band-limited field, its frequencies below n / 2):
/// what the field holds between its samples, a direct sum.
ComplexField resampled(const ComplexField& field, int m) {
  const int n = field.size();
  const auto at = [](int j, double x, int length) {
    const int k = j < (length + 1) / 2 ? j : j - length;
    return std::polar(1.0, 2.0 * std::numbers::pi * k * x / length);
  };
  std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(n * n));
  each(n, [&](int r, int c) {  // the DFT of the samples, one sum a bin
    std::complex<double> sum = 0.0;
    each(n, [&](int y, int x) {
      sum += std::complex<double>(field[y][x].re, field[y][x].im) *
             std::conj(at(r, y, n)) * std::conj(at(c, x, n));
    });
    spectrum[static_cast<std::size_t>(r * n + c)] = sum / double(n * n);
  });
  ComplexField out(m);
  each(m, [&](int i, int j) {
    std::complex<double> sum = 0.0;
    each(n, [&](int r, int c) {
      sum += spectrum[static_cast<std::size_t>(r * n + c)] *
             at(r, double(i) * n / m, n) * at(c, double(j) * n / m, n);
    });
    out[i][j] = {sum.real(), sum.imag()};
  });
  return out;
}

/// A random n x n picture and its sideband about the whole frequency
/// (7, -10), radius 5, moved to the zero frequency.
struct CroppingCase {
  PreparedHologram prepared;
  SidebandResult centred;
};

CroppingCase croppingCase(int n) {
  std::mt19937 random(static_cast<unsigned>(n));
  std::uniform_real_distribution<double> level(0.0, 255.0);
  RealField picture(n);
  each(n, [&](int r, int c) { picture[r][c] = level(random); });
  CroppingCase out{prepareHologram(picture.rows(), n), {}};
  const SidebandRequest request{Frequency{7, -10}, 1, 5.0, 2.0, true};
  out.centred =
      filterSideband(out.prepared, request, {kWavelength, 0.0, 1.0, kPitch});
  return out;
}

/// The largest distance of got from expected over an m x m window whose
/// top-left sample is (first, first) in expected, relative to expected's
/// largest magnitude there.
double relativeDistance(const ComplexField& got, const ComplexField& expected,
                        int first) {
  double largest = 0.0, worst = 0.0;
  each(got.size(), [&](int r, int c) {
    const numerics::Complex e = expected[r + first][c + first];
    largest = std::max(largest, std::hypot(e.re, e.im));
    worst =
        std::max(worst, std::hypot(got[r][c].re - e.re, got[r][c].im - e.im));
  });
  return worst / largest;
}

/// The fields the centred and the cropped hologram give at z by method,
/// each at its own pitch.
std::pair<ComplexField, ComplexField> bothFields(
    Method method, const CroppingCase& hologram,
    const PreparedHologram& cropped, double z) {
  const int n = hologram.prepared.size(), m = cropped.size();
  std::pair<ComplexField, ComplexField> fields{ComplexField(n),
                                               ComplexField(m)};
  ReconstructionOutputs outputs;
  outputs.field = fields.first.rows();
  reconstruct(method, hologram.centred.hologram, {kWavelength, 0.0, z, kPitch},
              outputs);
  outputs.field = fields.second.rows();
  reconstruct(method, cropped, {kWavelength, 0.0, z, kPitch * n / m}, outputs);
  return fields;
}

// Cropped to the frequencies around the disk, the angular spectrum gives on
// the coarse grid what it gives on the camera's with the order centred, at
// the same points and on the same scale, for even and odd edges.
TEST(Sideband, CroppedAngularSpectrumIsTheUncroppedOneResampled) {
  for (const int n : {48, 45}) {
    const CroppingCase hologram = croppingCase(n);
    ASSERT_EQ(hologram.centred.problem, "");
    const int m = numerics::croppedEdge(hologram.centred.sideband, n);
    EXPECT_EQ(m, 9);  // the disk holds offsets below 5: -4 .. 4
    const PreparedHologram cropped =
        numerics::cropSideband(hologram.prepared, hologram.centred.sideband, m,
                               Method::angularSpectrum);
    const auto [whole, coarse] =
        bothFields(Method::angularSpectrum, hologram, cropped, 0.004);
    EXPECT_LT(relativeDistance(coarse, resampled(whole, m), 0), 1e-9) << n;
  }
}

// Fresnel keeps its output pitch: the cropped picture is the middle m x m of
// the uncropped one, on the same scale, where the coarser samples still
// follow the chirp: far beyond z_c n / m, the difference falls as 1 / z
// (8e-3 at 5 cm, 2e-3 at 20 cm).
TEST(Sideband, CroppedFresnelIsTheMiddleOfTheUncroppedOne) {
  for (const auto& [n, m] : {std::pair{48, 16}, std::pair{45, 15}}) {
    const CroppingCase hologram = croppingCase(n);
    const PreparedHologram cropped = numerics::cropSideband(
        hologram.prepared, hologram.centred.sideband, m, Method::fresnel);
    const auto [whole, coarse] =
        bothFields(Method::fresnel, hologram, cropped, 2.0);
    EXPECT_LT(relativeDistance(coarse, whole, n / 2 - m / 2), 1e-3) << n;
  }
}

// Requests the filter cannot meet name the reason and give no hologram.
TEST(Sideband, RefusesWhatItCannotMeet) {
  const struct {
    std::optional<Frequency> centre;
    int order;
    double radius, edge, wavelength, angle;
    const char* problem;
  } cases[] = {
      {{}, 2, 0, 4, 1, 0.1, "order must be 1 or -1"},
      {{}, 1, -1, 4, 1, 0.1, "radius must be 0 (automatic) or a positive"},
      {Frequency{0, 0}, 1, 0, 4, 1, 0.1, "centre is the zero frequency"},
      {Frequency{0, 8.5}, 1, 0, 4, 1, 0.1,
       "centre (0, 8.5) lies beyond the highest frequency of the hologram, 8 "},
      {Frequency{2.5, 2.5}, 1, 0.3, 4, 1, 0.1,
       "disk of radius 0.3 holds no frequency sample"},
      {{}, 1, 0, 4, 1, 0.6, "lies beyond the highest"},  // 16 sin(0.6) = 9
  };
  RealField hologram(16);
  each(16, [&](int r, int c) { hologram[r][c] = (r * 7 + c * c) % 11; });
  const PreparedHologram prepared = prepareHologram(hologram.rows(), 16);
  for (const auto& test : cases) {
    const SidebandRequest request{test.centre, test.order, test.radius,
                                  test.edge, false};
    const SidebandResult result = filterSideband(
        prepared, request, {test.wavelength, test.angle, 1.0, 1.0});
    EXPECT_NE(result.problem.find(test.problem), std::string::npos)
        << result.problem;
    EXPECT_EQ(result.hologram.size(), 0);
  }
}

}  // namespace
