// The angular spectrum, the phase on the physical grid and the sideband
// filter on simulated holograms (256 x 256, 6.7 um, 632.8 nm: the
// Convolution method holds from z_c = 18.2 mm on); holosim's phase objects.

#include <algorithm>
#include <cmath>
#include <complex>
#include <initializer_list>
#include <iostream>
#include <numbers>
#include <vector>

#include "images.h"
#include "reconstruction.h"
#include "shortest.h"
#include "sideband.h"
#include "simulation.h"
#include "support.h"

using numerics::applySideband;
using numerics::ComplexField;
using numerics::filterSideband;
using numerics::kSidebandContrastThreshold;
using numerics::Method;
using numerics::PreparedHologram;
using numerics::prepareHologram;
using numerics::RealField;
using numerics::reconstruct;
using numerics::samplingDistance;
using numerics::shortestText;
using numerics::SidebandRequest;
using numerics::SidebandResult;

namespace {

using C = std::complex<double>;
constexpr int kN = 256;
constexpr double kPi = std::numbers::pi, kWavelength = 632.8e-9,
                 kPitch = 6.7e-6;
const double kZc = samplingDistance(kN, kPitch, kWavelength);
// A carrier of 96.3 frequency samples: the order's disk (radius 32) clear
// of the zero order, and not on a whole sample.
const double kAngle = std::asin(96.3 * kWavelength / (kN * kPitch));

C at(const ComplexField& u, int i) {  // sample i, row-major
  const int n = u.size();
  return {u[i / n][i % n].re, u[i / n][i % n].im};
}

ComplexField field(Method method, const PreparedHologram& hologram,
                   double angle, double z) {
  ComplexField u(hologram.size());
  reconstruct(method, hologram, {kWavelength, angle, z, kPitch},
              {.field = u.rows()});
  return u;
}

/// The object's index behind sample j of a reconstruction at z: the same on
/// the sensor's grid; Fresnel's grid has the pitch wavelength z / (n pitch)
/// about sample n / 2 (mirrored for z < 0).
int objectIndex(int j, int n, Method method, double z) {
  if (method != Method::fresnel) return j;
  const double scale = kWavelength * z / (n * kPitch * kPitch);
  return static_cast<int>(std::lround((j - n / 2) * scale + (n - 1) / 2.0));
}

/// Pearson correlation of |u| with the object as the method shows it at z.
double correlation(const ComplexField& u, const RealField& object,
                   Method method, double z) {
  double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, count = kN * kN;
  for (int i = 0; i < kN * kN; ++i) {
    const int r = objectIndex(i / kN, kN, method, z);
    const int c = objectIndex(i % kN, kN, method, z);
    const double x = std::abs(at(u, i));
    const double y =
        std::min(r, c) >= 0 && std::max(r, c) < kN ? object[r][c] : 0;
    sa += x, sb += y, saa += x * x, sbb += y * y, sab += x * y;
  }
  return (sab - sa * sb / count) /
         std::sqrt((saa - sa * sa / count) * (sbb - sb * sb / count));
}

/// The factor in factors whose reconstruction correlates best.
template <typename Correlation>
double bestOf(std::initializer_list<double> factors, Correlation correlation) {
  return *std::max_element(
      factors.begin(), factors.end(),
      [&](double a, double b) { return correlation(a) < correlation(b); });
}

// The object's light alone (the ideal off-axis order) at 0.25 z_c and 3 z_c
// focuses at z with the angular spectrum (the best correlated of 0.5 z to
// 2 z); at 0.25 z_c the Convolution method shows no object. At 1.5 z_c,
// where both hold, the two fields agree sample for sample.
TEST(SlowAngularSpectrum, FocusesNearAndFarAndAgreesWithConvolution) {
  const RealField bars = barsPattern(kN);
  const Method as = Method::angularSpectrum, convolution = Method::convolution;
  for (const double near : {0.25, 1.5, 3.0}) {
    SCOPED_TRACE(near);
    const double z = near * kZc;
    PreparedHologram wave;  // reference amplitude 1
    wave.complex =
        sensorWave(bars.rows(), nullptr, {kN, kWavelength, kPitch, z, 0.0});
    wave.referenceAmplitude = 1;
    const auto focus = [&](Method method, double f) {
      return correlation(field(method, wave, 0.0, f * z), bars, method, f * z);
    };
    EXPECT_EQ(bestOf({0.5, 0.7, 0.8, 0.9, 0.95, 1.0, 1.05, 1.1, 1.2, 2.0},
                     [&](double f) { return focus(as, f); }),
              1.0);
    if (near < 1) {
      EXPECT_LT(focus(convolution, 1.0), focus(as, 1.0) - 0.5);
    }
    if (near != 1.5) continue;
    const ComplexField a = field(as, wave, 0, z),
                       b = field(convolution, wave, 0, z);
    C sum;
    double na = 0, nb = 0;
    for (int i = 0; i < kN * kN; ++i) {
      sum += at(a, i) * std::conj(at(b, i));
      na += std::norm(at(a, i)), nb += std::norm(at(b, i));
    }
    EXPECT_GT(std::abs(sum) / std::sqrt(na * nb), 0.99);
  }
}

// holosim's phase object (a Gaussian bump of 3 rad, or flat)
// recorded off axis, sideband-filtered and reconstructed at focus: the phase
// over the window (less 4 samples at its edges) follows the object's, mean
// |error| below 0.3 rad once their mean difference is removed. The former
// Fresnel phase would show a checkerboard and, for even n, a ramp.
TEST(SlowPhase, FollowsThePhaseObjectOnThePhysicalGrid) {
  const ScratchDir dir;
  const RealField bump = phaseBump(
      phaseObject(RealField(kN).rows(), kN, 0).amplitude.rows(), kN, 255.0);
  std::vector<std::uint8_t> grey;
  for (int i = 0; i < kN * kN; ++i)
    grey.push_back(
        static_cast<std::uint8_t>(std::lround(bump[i / kN][i % kN])));
  ASSERT_EQ(saveGreyPng8(dir.path("phase.png"), grey.data(), kN, kN), "");
  const struct {
    const char* name;
    Method method;
    int n;
    double near, scale;
  } cases[] = {{"AngularSpectrumNear", Method::angularSpectrum, kN, 0.25, 3},
               {"ConvolutionFar", Method::convolution, kN, 1.5, 3},
               {"FresnelFlatEven", Method::fresnel, kN, 1.5, 0},
               {"FresnelFlatOdd", Method::fresnel, kN - 1, 1.5, 0}};
  for (const auto& [name, method, n, near, scale] : cases) {
    SCOPED_TRACE(name);
    const double z = near * kZc;
    const std::string words =
        "--size " + std::to_string(n) + " --wavelength 6.328e-7 --pitch " +
        "6.7e-6 --distance " + shortestText(z) + " --angle " +
        shortestText(kAngle) + " --phase-object phase.png --phase-scale " +
        shortestText(scale) + " h.png";
    ASSERT_EQ(runProgram(kHolosim, words, dir.dir).status, 0);
    RealField hologram;
    int size = 0;
    ASSERT_TRUE(loadSquareImage(dir.path("h.png"), hologram, size, std::cerr));
    const SidebandResult filtered =
        filterSideband(prepareHologram(hologram.rows(), n), {},
                       {kWavelength, kAngle, z, kPitch});
    const ComplexField u = field(method, filtered.hologram, kAngle, z);
    const int first = (n - n / 2) / 2 + 4, last = first + n / 2 - 8;
    std::vector<C> errors;  // exp(i (phase - object's phase))
    C mean;
    for (int i = 0; i < n * n; ++i) {
      const int r = objectIndex(i / n, n, method, z);
      const int c = objectIndex(i % n, n, method, z);
      if (std::min(r, c) < first || std::max(r, c) >= last) continue;
      const double truth = scale * grey[std::size_t(r * kN + c)] / 255.0;
      mean += errors.emplace_back(std::polar(1.0, std::arg(at(u, i)) - truth));
    }
    double error = 0.0;
    for (const C e : errors) error += std::abs(std::arg(e / mean));
    ASSERT_GT(errors.size(), 2000u);
    EXPECT_LT(error / double(errors.size()), 0.3);
  }
}

// On an off-axis hologram of the bars at 1.5 z_c the filter finds the
// carrier (predicted, and by a search), takes away nine tenths and more of
// the light outside the bars' image (zero order and twin; 8 samples of
// margin) and shows the object at least as faithfully; the filter applied
// again gives the same hologram. The twin order, centred, focuses at -z
// with Fresnel; an in-line hologram's centre does not stand out.
TEST(SlowSideband, IsolatesTheOrderAndFindsItsCentre) {
  const RealField object = barsPattern(kN);
  const double z = 1.5 * kZc;
  const auto record = [&](double angle) {
    const Holograms h =
        simulate(object.rows(), {{kN, kWavelength, kPitch, z, angle}});
    return prepareHologram(h.first.rows(), kN);
  };
  const PreparedHologram prepared = record(kAngle);
  SidebandResult filtered;
  for (const double angle : {0.0, kAngle}) {  // search, then predicted
    filtered = filterSideband(prepared, {}, {kWavelength, angle, z, kPitch});
    EXPECT_NEAR(filtered.sideband.centre.fx, 0.0, 1.0);
    EXPECT_NEAR(filtered.sideband.centre.fy, 96.3, 1.0);
    EXPECT_GT(filtered.sideband.contrast, kSidebandContrastThreshold);
  }
  const auto outside = [](const ComplexField& u) {
    double energy = 0.0;
    for (int i = 0; i < kN * kN; ++i) {
      const int r = i / kN, c = i % kN;
      if (std::min(r, c) < 88 || std::max(r, c) >= 168)
        energy += std::norm(at(u, i));
    }
    return energy;
  };
  for (const Method method : {Method::convolution, Method::angularSpectrum}) {
    const ComplexField raw = field(method, prepared, kAngle, z);
    const ComplexField clean = field(method, filtered.hologram, kAngle, z);
    EXPECT_GT(outside(raw), 10 * outside(clean));
    EXPECT_GE(correlation(clean, object, method, z),
              correlation(raw, object, method, z));
  }
  const PreparedHologram again = applySideband(prepared, filtered.sideband);
  for (int i = 0; i < kN * kN; ++i)
    ASSERT_EQ(at(again.complex, i), at(filtered.hologram.complex, i));
  SidebandRequest twinOrder;  // the twin, moved to the zero frequency
  twinOrder.order = -1;
  twinOrder.center = true;
  const SidebandResult twin =
      filterSideband(prepared, twinOrder, {kWavelength, kAngle, z, kPitch});
  EXPECT_EQ(bestOf({-2.0, -1.5, -1.2, -1.1, -1.0, -0.9, -0.8, -0.5, 1.0},
                   [&](double f) {
                     return correlation(
                         field(Method::fresnel, twin.hologram, 0.0, f * z),
                         object, Method::fresnel, f * z);
                   }),
            -1.0);
  const SidebandResult none =
      filterSideband(record(0.0), {}, {kWavelength, 0.0, z, kPitch});
  EXPECT_LT(none.sideband.contrast, kSidebandContrastThreshold);
}

// Status 2 for bad phase-object arguments, 1 for a picture it cannot read.
TEST(Holosim, PhaseObjectArguments) {
  const ScratchDir dir;
  dir.write("text.png", "not a picture");
  const struct {
    const char* words;
    int status;
    const char* message;
  } cases[] = {
      {"--phase-scale 2 a.png", 2, "--phase-scale needs --phase-object"},
      {"--object bars --phase-object p.png a.png", 2, "exclude each other"},
      {"--phase-object p.png --phase-scale 1e7 a.png", 2, "phase scale must"},
      {"--size 32 --phase-object text.png a.png", 1,
       "can't read the phase object picture 'text.png'"}};
  for (const auto& [words, status, message] : cases) {
    const RunOutcome outcome = runProgram(kHolosim, words, dir.dir);
    EXPECT_EQ(outcome.status, status) << words;
    EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
  }
  EXPECT_NE(runProgram(kHolosim, "--help", dir.dir).out.find("--phase-object"),
            std::string::npos);
}

}  // namespace
