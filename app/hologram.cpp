#include <sstream>

#include "access.h"
#include "experiment.h"
#include "images.h"
#include "listener.h"
#include "memory.h"

void Experiment::loadHologram(Vantor::IExperimentListener* listener,
                              const std::string& path, RealField& samples,
                              int& size) const {
  std::ostringstream stream;
  // Linux overcommits: a hologram that is allocated but does not fit gets
  // the process killed when its pages are first written, so ask first.
  const FitsInMemory fits = [this](int n) { return runFitsInMemory(*this, n); };
  bool loaded = false;
  if (preferredSize != 0) {
    size = preferredSize;
    loaded = loadClippedImage(path, samples, size, clipType, stream, fits);
  } else {
    loaded = loadSquareImage(path, samples, size, stream, fits);
  }
  if (!loaded && listener != nullptr) listener->onError(stream.str());
}
