#pragma once

#include "numerics/field.h"

// A small hologram simulator whose truth is known: an object field is
// propagated to the sensor by the angular spectrum (exact for a sampled
// band-limited field) and recorded against a tilted plane reference wave.
namespace simulate {

/// Optical set-up of one recording; lengths in metres.
struct Setup {
  double wavelength = 532e-9;
  double pitch = 3.45e-6;
  double angle = 0.02;
  double distance = 5e-3;
  double referenceAmplitude = 1.0;
};

/// Propagates an m x m field by distance z in place. The simulation grid
/// should be larger than the sensor, so that light leaving the sensor is not
/// wrapped back onto it by the circular transform.
void propagate(ComplexField& field, double wavelength, double pitch, double z);

/// Propagates the object (an m x m field, m >= n) to the sensor and records
/// the centre n x n window as |U + R|^2 with the reference wave
/// R(r) = a exp(-i (2 pi / lambda) sin(angle) y_r), y_r centred on the
/// window as the reconstructions centre it.
RealField record(const ComplexField& object, int n, const Setup& setup);

}  // namespace simulate
