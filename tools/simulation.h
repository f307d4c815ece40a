#pragma once

#include <cstdint>
#include <string>

#include "field.h"

// Simulated off-axis recordings whose truth is known.
//
// The object sits at distance z in front of the sensor; its light travels to
// the sensor as exp(+i k r) and meets a tilted plane reference wave
// R(r, c) = a exp(-i (2 pi / lambda) sin(angle) y_r), y_r = (r - (N - 1) / 2)
// * pitch along the rows, row 0 being the bottom line of the picture. That is
// the reference wave holorecon multiplies a hologram by, and its
// reconstructions propagate back with exp(-i k r), so holorecon given the
// same wavelength, angle, pitch and distance focuses the object.

/// Optical set-up of one recording. Lengths share one unit of the user's
/// choice; the angle is in radians.
struct Recording {
  int size = 512;              ///< sensor edge N in pixels
  double wavelength = 532e-9;  ///< light
  double pitch = 3.45e-6;      ///< distance between sensor pixel centres
  double distance = 0.01;      ///< object plane to sensor
  double angle = 0.05;         ///< tilt of the reference wave along the rows
};

/// Largest sensor edge holosim accepts: its propagation grid of 2N x 2N
/// complex samples then takes 1 GiB.
inline constexpr int kMaxSensorSize = 4096;

/// Why a recording cannot be simulated, as one sentence for the user; empty
/// when it can.
std::string recordingProblem(const Recording& recording);

/// The built-in object: an amplitude mask (0 or 1) of groups of three bars,
/// horizontal and vertical, getting finer, and an "F" that shows any flip or
/// turn, within a centred square of about a quarter of the edge n.
numerics::RealField barsPattern(int n);

/// Propagates the m x m field (pitch apart, in place) over distance by the
/// angular spectrum, exactly for every plane wave the grid holds. Directions
/// that would carry light more than half the grid sideways are dropped, as
/// are evanescent ones, so nothing wraps round the periodic grid.
void propagate(numerics::Complex* const* field, int m, double pitch,
               double wavelength, double distance);

/// The object's wave on the sensor: amplitude times exp(i phase) (phase may
/// be null for none), both N x N in the object plane on the sensor's grid,
/// propagated on a 2N x 2N grid and cut back to the central N x N.
numerics::ComplexField sensorWave(const double* const* amplitude,
                                  const double* const* phase,
                                  const Recording& recording);

/// The tilted plane reference wave of amplitude a on the N x N sensor.
numerics::ComplexField referenceWave(const Recording& recording,
                                     double amplitude);

/// Smooth phase bump exp(-d^2 / (2 s^2)) * peak, centred on the bright part
/// of the amplitude (its bounding box), s a quarter of the box's larger side.
numerics::RealField phaseBump(const double* const* amplitude, int n,
                              double peak);

/// Everything a simulation needs besides the optics.
struct SimulationOptions {
  Recording recording;
  bool diffuse = false;    ///< random phase on the object, uniform in 2 pi
  std::uint64_t seed = 1;  ///< for the diffuse phase and the noise
  double noise = 0.0;      ///< camera noise, standard deviation in grey levels
  bool deformed = false;   ///< record a second, deformed picture as well
  double deform = 0.0;     ///< peak of the deformation's phase bump, radians
};

/// The recorded pictures as grey levels 0 to 255 (whole numbers, exactly the
/// values the PNG files hold), row 0 the bottom line.
struct Holograms {
  numerics::RealField first;
  numerics::RealField second;  ///< the deformed object; empty unless asked for
};

/// Records the object (amplitude mask N x N, not all zero) once, or twice
/// with the deformation. The deformed object's light arrives earlier by the
/// bump (phase minus bump), so the interference phase holorecon forms, first
/// minus second, shows the bump itself. Both pictures share one grey scale,
/// the full 0..255 range over the two, as one camera with a fixed gain.
Holograms simulate(const double* const* amplitude,
                   const SimulationOptions& options);

/// simulate with the object's own phase in radians (N x N; null for none),
/// added to the diffuse phase.
Holograms simulate(const double* const* amplitude, const double* const* phase,
                   const SimulationOptions& options);

/// A pure phase object: what light passing a transparent sample through a
/// square window in an opaque screen carries.
struct PhaseObject {
  numerics::RealField
      amplitude;  ///< 1 over the central square of side N / 2, else 0
  numerics::RealField phase;  ///< scale * picture / 255, radians
};

/// The phase object whose phase is the picture (N x N grey levels, 0 to 255
/// giving 0 to scale) over the window. The window keeps the object's light
/// within reach of the sensor and leaves a dark margin, so its
/// reconstruction has an edge to be told from the rest.
PhaseObject phaseObject(const double* const* picture, int n, double scale);

/// A z sweep for an experiment file: value i = min + i * step, five values,
/// the middle one exactly the distance.
struct ZSweep {
  double min = 0.0;
  double max = 0.0;
  double step = 0.0;
};

/// Five distances from 0.75 z to 1.25 z whose middle one is z exactly.
ZSweep zSweepAround(double z);

/// What an experiment file for the simulated pictures says.
struct ExperimentDescription {
  bool dhi = false;
  bool convolution = true;
  std::string hologram;   ///< path as holorecon should read it
  std::string hologram2;  ///< DHI only
  Recording recording;
};

/// The experiment file's text (XML).
std::string experimentXml(const ExperimentDescription& description);
