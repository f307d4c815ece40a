#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "reconstruction.h"

/// The spectra of a run's prepared holograms, shared by the sets that
/// share a frame's hologram, wavelength, angle and pitch (a z sweep shares
/// one): the angular spectrum then costs one transform per set, Convolution
/// two, and the results are those of a reconstruction from the hologram to
/// the last bit. A spectrum is made by the first set that needs it while
/// others wait for it; at most `capacity` are kept besides those in use,
/// the least recently used going first.
class SpectrumCache {
 public:
  explicit SpectrumCache(std::size_t capacity) : capacity_(capacity) {}

  /// The spectrum of hologram (the first or second, which, of the frame at
  /// position) for optics; held while the pointer lives.
  std::shared_ptr<const numerics::HologramSpectrum> get(
      int position, int which, const numerics::PreparedHologram& hologram,
      const numerics::Optics& optics);

  /// Whether method reconstructs from a spectrum (all but Fresnel).
  static bool serves(numerics::Method method) {
    return method != numerics::Method::fresnel;
  }

 private:
  struct Slot {
    std::once_flag made;
    numerics::HologramSpectrum spectrum;
  };
  struct Entry {
    int position;
    int which;
    double wavelength, angle, pitch;
    std::shared_ptr<Slot> slot;
    std::uint64_t used;
  };

  std::size_t capacity_;
  std::mutex mutex_;
  std::vector<Entry> entries_;
  std::uint64_t uses_ = 0;
};
