#pragma once

#include <cstdint>
#include <optional>
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

/// How the object plane is lit, and what lies around the object's N x N
/// picture there (the propagation grid is 2N x 2N).
struct Lighting {
  /// The amplitude around the picture: 0 an opaque screen, 1 a transparent
  /// surround that passes the light.
  double surround = 0.0;
  /// 1/e^2 radius, in pixels, of a Gaussian beam (its intensity falls to
  /// 1/e^2 there, its amplitude exp(-r^2 / W^2)) centred on the sensor;
  /// 0 for uniform light.
  double beamRadius = 0.0;
  /// Radius R of a spherical wave's curvature, exp(i pi r^2 /
  /// (wavelength R)) with r the distance from the sensor's centre in the
  /// object plane (a microscope objective's); 0 for a plane wave.
  double curvature = 0.0;
};

/// The wave behind the object plane on the sensor: the picture's amplitude
/// times exp(i phase) (phase may be null), the surround around it, both
/// times the light, propagated as sensorWave does.
numerics::ComplexField objectWave(const double* const* amplitude,
                                  const double* const* phase,
                                  const Recording& recording,
                                  const Lighting& lighting);

/// A camera that writes grey = offset + gain * I, rounded and clamped to 0
/// .. 255 as an 8-bit camera saturates, with I the intensity in units of
/// the reference wave's at the beam's centre (in line: the light's). One
/// scale for every picture of a recording, so that a hologram, its empty
/// frame and its dark frame can be combined.
struct Camera {
  double offset = 0.0;  ///< the dark level, grey levels
  double gain = 60.0;   ///< grey levels per unit intensity
};

/// Everything a simulation needs besides the optics.
struct SimulationOptions {
  Recording recording;
  bool diffuse = false;    ///< random phase on the object, uniform in 2 pi
  std::uint64_t seed = 1;  ///< for the diffuse phase and the noise
  double noise = 0.0;      ///< camera noise, standard deviation in grey levels
  bool deformed = false;   ///< record a second, deformed picture as well
  double deform = 0.0;     ///< peak of the deformation's phase bump, radians
  /// A Gabor in-line hologram: no reference wave; the object is a plate
  /// whose transmittance is the amplitude (and phase) given, lit by the
  /// light, which passes around it (lighting.surround is taken as 1).
  bool inLine = false;
  Lighting lighting = {};
  /// A fixed grey scale; without one every recording spans 0 .. 255 over
  /// its pictures together.
  std::optional<Camera> camera = std::nullopt;
  /// Also record the empty frame: the same set-up without the object (the
  /// surround everywhere), with a noise of its own, its reference's carrier
  /// moved by carrierShift frequency samples (1 / (N pitch)) along the
  /// rows, as two exposures' carriers differ.
  bool background = false;
  double carrierShift = 0.0;
  /// Also record the dark frame: the camera's offset and noise only.
  bool dark = false;
};

/// The recorded pictures as grey levels 0 to 255 (whole numbers, exactly the
/// values the PNG files hold), row 0 the bottom line.
struct Holograms {
  numerics::RealField first;
  numerics::RealField second;  ///< the deformed object; empty unless asked for
  numerics::RealField background;  ///< the empty frame; empty unless asked
  numerics::RealField dark;        ///< the dark frame; empty unless asked
};

/// Records the object (amplitude mask N x N, not all zero) once, or twice
/// with the deformation. The deformed object's light arrives earlier by the
/// bump (phase minus bump), so the interference phase holorecon forms, first
/// minus second, shows the bump itself. All pictures share one grey scale:
/// the camera's, or the full 0..255 range over the lit ones, as one camera
/// with a fixed gain. The noise is drawn for the pictures in the order of
/// Holograms' members.
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
  std::string method = "Convolution";
  std::string hologram;   ///< path as holorecon should read it
  std::string hologram2;  ///< DHI only
  Recording recording;
  /// An in-line recording: its zero order is the mean (dc="Mean"), and an
  /// empty frame flat-fields it (mode="Divide").
  bool inLine = false;
  /// The empty and dark frames' paths as holorecon should read them; empty
  /// when not recorded. Off axis, an empty frame makes the file a phase
  /// measurement: the sideband centred, the phase relative to the empty
  /// frame's field, unwrapped and compensated.
  std::string background;
  std::string dark;
  bool curvature = false;  ///< compensate a curvature too
};

/// The experiment file's text (XML).
std::string experimentXml(const ExperimentDescription& description);
