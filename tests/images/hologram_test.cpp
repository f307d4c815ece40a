// Experiment::loadHologram: the mode chosen by preferredSize, what reaches
// the listener, and the size left behind.

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "app/listener.h"
#include "experiment/experiment.h"
#include "experiment/memory.h"
#include "images/images.h"
#include "pictures.h"

namespace {

class RecordingListener : public Vantor::IExperimentListener {
 public:
  std::vector<std::string> errors;
  void onStart(const std::string&, const std::tm*, int, int) override {}
  void onFinish() override {}
  void onStep(std::uint32_t, std::uint32_t, double, double) override {}
  void onError(const std::string& message) override {
    errors.push_back(message);
  }
};

TEST(LoadHologram, ModesReportsAndSizes) {
  struct Case {
    const char* name;
    int width, height;  // 0: no file
    int preferredSize;
    int sizeAfter;      // size starts at -7
    const char* error;  // null: loads; else the start of the one report
  };
  const Case cases[] = {
      {"whole square picture", 32, 32, 0, 32, nullptr},
      {"smallest square picture", 2, 2, 0, 2, nullptr},
      {"right-aligned window", 64, 48, 16, 16, nullptr},
      {"not square", 64, 48, 0, -7, "The image must be square\n"},
      {"missing", 0, 0, 0, -7, "The image couldn't be loaded\n"},
      {"missing, clipped", 0, 0, 24, 24, "The image couldn't be loaded\n"},
      {"1 x 1", 1, 1, 0, 1, "The image size couldn't be 1\n"},
      {"negative size", 8, 8, -4, -4, "The preferred size must be positive\n"},
      {"larger than memory", 8, 8, INT_MAX, INT_MAX,
       "Not enough memory for the hologram\n"},
  };
  const ScratchDir dir;
  for (const Case& h : cases) {
    SCOPED_TRACE(h.name);
    // Without the system's word the allocation itself would be tried.
    if (h.preferredSize == INT_MAX && !availableMemoryBytes()) continue;
    const std::string path = dir.path(std::string(h.name) + ".png");
    if (h.width > 0) {
      savePicture(patternPicture(h.width, h.height).get(), FIF_PNG, path);
    }
    Experiment experiment;
    experiment.preferredSize = h.preferredSize;
    experiment.clipType = ClipType::Right;
    RecordingListener listener;
    RealField samples;
    int size = -7;
    experiment.loadHologram(&listener, path, samples, size);
    EXPECT_EQ(size, h.sizeAfter);
    if (h.error == nullptr) {
      EXPECT_TRUE(listener.errors.empty());
      ASSERT_EQ(samples.size(), size);
      const int x0 = h.width - size;  // 0 for the whole picture
      const int y0 = (h.height - size) / 2;
      EXPECT_EQ(samples[size - 1][0], pattern(x0, y0 + size - 1));
    } else {
      EXPECT_FALSE(samples);
      ASSERT_EQ(listener.errors.size(), 1U);
      EXPECT_EQ(listener.errors[0].rfind(h.error, 0), 0U) << listener.errors[0];
    }
    RealField quiet;  // without a listener: no report, same outcome
    experiment.loadHologram(nullptr, path, quiet, size);
    EXPECT_EQ(bool(quiet), h.error == nullptr);
  }
}

}  // namespace
