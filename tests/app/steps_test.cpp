#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "experiment.h"
#include "experiment_listener.h"

namespace fs = std::filesystem;

namespace {

class StepsTest : public ::testing::Test {
 protected:
  static constexpr int kN = 8;
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("holorecon_steps_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    for (int r = 0; r < kN; ++r) {
      for (int c = 0; c < kN; ++c) {
        hologram1_[r][c] = (r * 7 + c * 3) % 11;
        hologram2_[r][c] = (r * 5 + c * 2) % 13;
      }
    }
  }
  void TearDown() override { fs::remove_all(dir_); }

  /// Runs a plain and an interferometry step with both methods.
  void stepAll(Vantor::IExperimentListener* listener, int index,
               const std::string& directory) {
    for (const auto method :
         {ReconstructionMethod::Fresnel, ReconstructionMethod::Convolution}) {
      experiment_.method = method;
      experiment_.reconstructionStep(
          listener, index, hologram1_.rows(), kN, work_[0].rows(),
          work_[1].rows(), parameters_, experiment_.output, directory);
      experiment_.dhiStep(listener, index, hologram1_.rows(), hologram2_.rows(),
                          kN, work_[0].rows(), work_[1].rows(), work_[2].rows(),
                          parameters_, experiment_.output, directory);
    }
  }

  fs::path dir_;
  Experiment experiment_;
  ParameterSet parameters_{532e-9, 0.01, 0.05, 3.45e-6};
  RealField hologram1_{kN}, hologram2_{kN};
  RealField work_[3] = {RealField(kN), RealField(kN), RealField(kN)};
};

TEST_F(StepsTest, PicturesAreNamedByZeroPaddedIndex) {
  for (const int index : {0, 9, 100}) stepAll(nullptr, index, dir_.string());
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{
                "result_00.png", "result_00_intensity1.png",
                "result_00_intensity2.png", "result_00_phaseDiff.png",
                "result_09.png", "result_09_intensity1.png",
                "result_09_intensity2.png", "result_09_phaseDiff.png",
                "result_100.png", "result_100_intensity1.png",
                "result_100_intensity2.png", "result_100_phaseDiff.png"}));
}

TEST_F(StepsTest, EveryFailedWriteIsReportedOnce) {
  ErrorCountingListener counting(nullptr);
  stepAll(&counting, 1, (dir_ / "missing").string());
  EXPECT_EQ(counting.errors(), 2 * (1 + 3));
  stepAll(nullptr, 2, (dir_ / "missing").string());  // silently, no listener
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

}  // namespace
