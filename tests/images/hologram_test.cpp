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

struct HologramCase {
  const char* name;
  int width, height;  // 0: no file
  int preferredSize;
  ClipType clip;
  int sizeAfter;      // size starts at -7
  const char* error;  // null: loads; otherwise the start of the one report
};

TEST(LoadHologram, ModesReportsAndSizes) {
  const HologramCase cases[] = {
      {"whole square picture", 32, 32, 0, ClipType::Center, 32, nullptr},
      {"window of a wide picture", 64, 48, 16, ClipType::Right, 16, nullptr},
      {"not square", 64, 48, 0, ClipType::Center, -7,
       "The image must be square\n"},
      {"missing", 0, 0, 0, ClipType::Center, -7,
       "The image couldn't be loaded\n"},
      {"missing, clipped", 0, 0, 24, ClipType::Left, 24,
       "The image couldn't be loaded\n"},
      {"1 x 1", 1, 1, 0, ClipType::Center, 1, "The image size couldn't be 1\n"},
      {"negative preferred size", 8, 8, -4, ClipType::Center, -4,
       "The preferred size must be positive\n"},
      {"window larger than memory", 8, 8, INT_MAX, ClipType::Center, INT_MAX,
       "Not enough memory for the hologram\n"},
  };
  const ScratchDir dir;
  for (const HologramCase& h : cases) {
    SCOPED_TRACE(h.name);
    if (h.preferredSize == INT_MAX && !availableMemoryBytes()) {
      // Without the system's word the allocation itself would be tried.
      continue;
    }
    const std::string path = dir.path("hologram.png");
    std::filesystem::remove(path);
    if (h.width > 0) {
      savePicture(
          makeColourPicture(h.width, h.height, 24,
                            [](int x, int y) { return rgb(x + y, 0, 0); })
              .get(),
          FIF_PNG, path);
    }
    Experiment experiment;
    experiment.preferredSize = h.preferredSize;
    experiment.clipType = h.clip;
    RecordingListener listener;
    RealField samples;
    int size = -7;
    experiment.loadHologram(&listener, path, samples, size);
    EXPECT_EQ(size, h.sizeAfter);
    if (h.error == nullptr) {
      EXPECT_TRUE(listener.errors.empty());
      ASSERT_EQ(samples.size(), size);
      // Right-aligned window of 16 on 64 x 48: origin (48, 16).
      const int x0 = h.preferredSize == 0 ? 0 : h.width - size;
      const int y0 = h.preferredSize == 0 ? 0 : (h.height - size) / 2;
      EXPECT_EQ(samples[size - 1][size - 1], x0 + y0 + 2 * (size - 1));
    } else {
      EXPECT_FALSE(samples);
      ASSERT_EQ(listener.errors.size(), 1U);
      EXPECT_EQ(listener.errors[0].rfind(h.error, 0), 0U) << listener.errors[0];
    }
    // Without a listener the same load reports nothing and still works.
    RealField quiet;
    int quietSize = -7;
    experiment.loadHologram(nullptr, path, quiet, quietSize);
    EXPECT_EQ(bool(quiet), h.error == nullptr);
  }
}

}  // namespace
