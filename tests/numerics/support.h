#pragma once

#include <cstddef>
#include <random>

#include "numerics/field.h"

// Small helpers shared by the numerics tests.

/// Pseudo-random grey levels in [0, 255], as a hologram picture gives them.
inline RealField randomHologram(int n, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> level(0.0, 255.0);
  RealField field(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) field[r][c] = level(random);
  }
  return field;
}

/// Pseudo-random complex samples with parts in [-1, 1].
inline ComplexField randomComplex(int n, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> part(-1.0, 1.0);
  ComplexField field(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) field[r][c] = {part(random), part(random)};
  }
  return field;
}

/// A field of edge n with every sample set to value.
inline RealField filledField(int n, double value) {
  RealField field(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) field[r][c] = value;
  }
  return field;
}

/// A copy of a complex field.
inline ComplexField copyOf(const ComplexField& source) {
  const int n = source.size();
  ComplexField field(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) field[r][c] = source[r][c];
  }
  return field;
}
