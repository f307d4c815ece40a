#include "spectra.h"

#include <algorithm>

std::shared_ptr<const numerics::HologramSpectrum> SpectrumCache::get(
    int position, int which, const numerics::PreparedHologram& hologram,
    const numerics::Optics& optics) {
  std::shared_ptr<Slot> slot;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto same = [&](const Entry& e) {
      return e.position == position && e.which == which &&
             e.wavelength == optics.wavelength && e.angle == optics.angle &&
             e.pitch == optics.pitch;
    };
    auto found = std::find_if(entries_.begin(), entries_.end(), same);
    if (found == entries_.end()) {
      // Room first: the least recently used spectrum no set holds goes.
      while (entries_.size() >= capacity_) {
        auto oldest = entries_.end();
        for (auto e = entries_.begin(); e != entries_.end(); ++e) {
          if (e->slot.use_count() == 1 &&
              (oldest == entries_.end() || e->used < oldest->used)) {
            oldest = e;
          }
        }
        if (oldest == entries_.end()) break;  // every one in use
        entries_.erase(oldest);
      }
      entries_.push_back({position, which, optics.wavelength, optics.angle,
                          optics.pitch, std::make_shared<Slot>(), 0});
      found = std::prev(entries_.end());
    }
    found->used = ++uses_;
    slot = found->slot;
  }
  std::call_once(slot->made, [&] {
    slot->spectrum = numerics::transformHologram(hologram, optics);
  });
  return {slot, &slot->spectrum};
}
