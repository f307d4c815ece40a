#include <sstream>

#include "experiment.h"
#include "images.h"
#include "listener.h"
#include "memory.h"
#include "steps.h"

using numerics::RealField;

void Experiment::loadHologram(Vantor::IExperimentListener* listener,
                              const std::string& path, RealField& samples,
                              int& size, std::string& bytes) const {
  std::ostringstream stream;
  PictureFile file;
  // Linux overcommits: a hologram that is allocated but does not fit gets
  // the process killed when its pages are first written, so ask first.
  const FitsInMemory fits = [this](int n) {
    return stepsThatFit(hologramBytes(*this, n), stepBytes(*this, n), 1) == 1;
  };
  const bool clipped = preferredSize != 0;
  if (clipped) size = preferredSize;
  const bool loaded =
      readPictureFile(path, file, stream) &&
      (clipped ? loadClippedImage(file, samples, size, clipType, stream, fits)
               : loadSquareImage(file, samples, size, stream, fits));
  if (loaded) bytes = std::move(file.bytes);
  if (!loaded && listener != nullptr) listener->onError(stream.str());
}
