// Realistic recordings of known truth reconstructed as recorded holograms
// need; the recorded holograms of ../shared/data.

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <iostream>
#include <numbers>
#include <vector>

#include "compensation.h"
#include "images.h"
#include "prepare.h"
#include "reconstruction.h"
#include "sideband.h"
#include "simulation.h"
#include "support.h"
#include "unwrap.h"

namespace numerics {
namespace {

constexpr int kN = 256;
constexpr double kPi = std::numbers::pi, kWavelength = 632.8e-9,
                 kPitch = 6.7e-6;
const double kAngle = std::asin(96.3 * kWavelength / (kN * kPitch));

/// inside within five disks ("cells") covering a share of the picture,
/// outside elsewhere.
RealField cells(double share, double inside = 1, double outside = 0) {
  RealField field(kN);
  const double radius = std::sqrt(share * kN * kN / (5 * kPi));
  for (int i = 0; i < kN * kN; ++i) {
    field[i / kN][i % kN] = outside;
    for (const auto& [y, x] :
         {std::pair{70, 80}, {90, 180}, {150, 120}, {190, 60}, {185, 190}})
      if (std::hypot(i / kN - y, i % kN - x) < radius)
        field[i / kN][i % kN] = inside;
  }
  return field;
}

/// The reconstruction at z; p shows p + 1/2, where the truth is the mean of
/// the 2 x 2 samples from p.
ComplexField field(const PreparedHologram& h, double angle, double z) {
  ComplexField u(kN);
  reconstruct(Method::angularSpectrum, h, {kWavelength, angle, z, kPitch},
              {.field = u.rows()});
  return u;
}
double truthAt(const RealField& f, int r, int c) {
  return 0.25 * (f[r][c] + f[r + 1][c] + f[r][c + 1] + f[r + 1][c + 1]);
}

// Absorbing cells (transmittance 0.5) in line, in a Gaussian beam, through a
// camera with an offset, noise, an empty and a dark frame. Flat-fielded and
// less their mean, the amplitude at z correlates with the absorption; the
// local mean takes the cells' low frequencies and with them the cells.
TEST(SlowRecorded, InLineCellsShowWithTheMeanAndAFlatField) {
  const double z = 5e-3;
  const RealField t = cells(0.2, 0.5, 1);
  SimulationOptions options{{kN, kWavelength, kPitch, z, 0.0}};
  options.noise = 1, options.inLine = true, options.lighting.beamRadius = 150;
  options.camera = Camera{10, 80}, options.background = options.dark = true;
  Holograms h = simulate(t.rows(), options);
  EXPECT_LT(  // in line: nothing stands out
      filterSideband(prepareHologram(h.first.rows(), kN), {}, {1, 0, 1, 1})
          .sideband.contrast,
      kSidebandContrastThreshold);
  correctBackground(h.first.rows(), h.background.rows(), h.dark.rows(), kN,
                    Extent::whole(kN), BackgroundMode::divide);
  for (const ZeroOrder zeroOrder : {ZeroOrder::mean, ZeroOrder::localMean}) {
    const ComplexField u = field(
        prepareHologram(h.first.rows(), kN, zeroOrder, Extent::whole(kN), true),
        0.0, z);
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, count = 0;
    for (int r = 0; r + 1 < kN; ++r)
      for (int c = 0; c + 1 < kN; ++c, ++count) {
        const double a = std::hypot(u[r][c].re, u[r][c].im);
        const double b = 1 - truthAt(t, r, c);  // the absorption
        sa += a, sb += b, saa += a * a, sbb += b * b, sab += a * b;
      }
    const double correlation =
        (sab - sa * sb / count) /
        std::sqrt((saa - sa * sa / count) * (sbb - sb * sb / count));
    std::cout << (zeroOrder == ZeroOrder::mean ? "mean" : "local mean")
              << ": correlation " << correlation << "\n";
    EXPECT_TRUE(zeroOrder == ZeroOrder::mean ? correlation >= 0.85
                                             : correlation <= 0.5);
  }
}

// Phase cells of 2 rad (more optical path) over a fifth of a transparent
// field; a curved wave (R = 0.2 m), Gaussian light; the empty frame's
// carrier 3 samples off. Against it, or alone, unwrapped and compensated:
// the cells to 0.05 rad (a sign slip gives -2), the background at 0.
TEST(SlowRecorded, OffAxisPhaseAgainstItsEmptyFrameAndCompensated) {
  const double z = 4.5e-3;
  const RealField phase = cells(0.2, 2), ones = cells(0, 0, 1);
  SimulationOptions options{{kN, kWavelength, kPitch, z, kAngle}};
  options.noise = 1, options.lighting = {1.0, 200, 0.2};
  options.camera = Camera{5, 50}, options.background = true,
  options.carrierShift = 3;
  const Holograms h = simulate(ones.rows(), phase.rows(), options);
  const auto filtered = filterSideband(prepareHologram(h.first.rows(), kN), {},
                                       {kWavelength, kAngle, z, kPitch});
  EXPECT_GT(filtered.sideband.contrast, kSidebandContrastThreshold);
  const ComplexField u = field(filtered.hologram, kAngle, z);
  const ComplexField empty =
      field(applySideband(prepareHologram(h.background.rows(), kN),
                          filtered.sideband),
            kAngle, z);
  for (const bool relative : {true, false}) {
    RealField wrapped(kN), out(kN);
    ComplexField plane(kN);  // U against U_B, or against 1
    for (int i = 0; i < kN * kN; ++i) plane[i / kN][i % kN] = {1, 0};
    relativeField(u.rows(), relative ? empty.rows() : plane.rows(), kN,
                  wrapped.rows(), nullptr);
    ASSERT_EQ(unwrapPhase(wrapped.rows(), kN, out.rows()), "");
    const Compensation fit =
        compensatePhase(out.rows(), kN, {true, true, {}}, out.rows());
    ASSERT_EQ(fit.problem, "");
    // Against the empty frame, the carriers' difference: 3 turns.
    EXPECT_NEAR(std::abs(fit.surface.c), relative ? 2 * kPi * 3 / kN : 0,
                0.004);
    std::vector<double> around;
    double error = 0, count = 0;
    for (int r = 16; r < kN - 16; ++r)  // the field's edge rings
      for (int c = 16; c < kN - 16; ++c) {
        const double truth = truthAt(phase, r, c);
        if (truth == 2) error += out[r][c] - truth, ++count;
        if (truth == 0) around.push_back(out[r][c]);
      }
    const auto median = around.begin() + around.size() / 2;
    std::nth_element(around.begin(), median, around.end());
    std::cout << (relative ? "against the empty frame" : "alone")
              << ": mean error over the cells " << error / count
              << " rad, median around them " << *median << " rad\n";
    EXPECT_LT(std::abs(error / count), 0.05);
    EXPECT_LT(std::abs(*median), 0.05);
  }
}

// The recorded off-axis holograms stand out above the threshold, their
// lobes found by the search; the Fresnel lens's carrier (2, 44) lies within
// the search's zero-order disk and is given.
TEST(SlowRecorded, SidebandStandsOutOnRecordedOffAxisHolograms) {
  const fs::path data = fs::path(HOLORECON_SOURCE_DIR) / "../shared/data";
  if (!fs::exists(data)) GTEST_SKIP() << data << " is absent";
  const struct {
    const char* file;
    int n;
    Frequency centre;
    bool given;
  } holograms[] = {
      {"pydhm/die_1.jpg", 512, {176, 1}, false},
      {"pydhm/horse.bmp", 1024, {-301, 250}, false},
      {"pydhm/usaf_1_cut.jpg", 1080, {-126, 93}, false},
      {"pydhm/RBC.jpg", 1023, {-164, 175}, false},
      {"pydhm/I0_Fresnel_Lens.bmp", 1024, {2, 44}, true},
      {"qpretrieve/hologram_cell_data.png", 200, {-24, 39}, false}};
  for (const auto& [file, n, centre, given] : holograms) {
    RealField h;
    ASSERT_TRUE(loadClippedImage((data / file).string(), h, n, ClipType::Center,
                                 std::cerr));
    SidebandRequest request;
    if (given) request.centre = centre;
    const auto found = filterSideband(prepareHologram(h.rows(), n), request,
                                      {kWavelength, 0.0, 0.1, kPitch})
                           .sideband;
    std::cout << file << ": centre (" << found.centre.fx << ", "
              << found.centre.fy << "), contrast " << found.contrast << "\n";
    EXPECT_EQ(std::pair(found.centre.fx, found.centre.fy),
              std::pair(centre.fx, centre.fy));
    EXPECT_GT(found.contrast, kSidebandContrastThreshold) << file;
  }
}

}  // namespace
}  // namespace numerics
