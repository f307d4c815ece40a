#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/listener.h"
#include "experiment/experiment.h"

namespace fs = std::filesystem;

namespace {

/// Records what a step reports.
class RecordingListener : public Vantor::IExperimentListener {
 public:
  void onStart(const std::string&, const std::tm*, int, int) override {}
  void onFinish() override {}
  void onStep(std::uint32_t, std::uint32_t, double, double) override {}
  void onError(const std::string& message) override {
    errors.push_back(message);
  }
  std::vector<std::string> errors;
};

class StepsTest : public ::testing::Test {
 protected:
  static constexpr int kN = 8;
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("holorecon_steps_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (int r = 0; r < kN; ++r) {
      for (int c = 0; c < kN; ++c) {
        hologram1_[r][c] = (r * 7 + c * 3) % 11;
        hologram2_[r][c] = (r * 5 + c * 2) % 13;
      }
    }
  }
  void TearDown() override { fs::remove_all(dir_); }

  void reconstruct(Vantor::IExperimentListener* listener, int index,
                   const std::string& directory) {
    experiment_.reconstructionStep(listener, index, hologram1_.rows(), kN,
                                   work_[0].rows(), work_[1].rows(),
                                   parameters_, experiment_.output, directory);
  }
  void interfere(Vantor::IExperimentListener* listener, int index,
                 const std::string& directory) {
    experiment_.dhiStep(listener, index, hologram1_.rows(), hologram2_.rows(),
                        kN, work_[0].rows(), work_[1].rows(), work_[2].rows(),
                        parameters_, experiment_.output, directory);
  }

  fs::path dir_;
  Experiment experiment_;
  ParameterSet parameters_{532e-9, 0.01, 0.05, 3.45e-6};
  RealField hologram1_{kN};
  RealField hologram2_{kN};
  RealField work_[3] = {RealField(kN), RealField(kN), RealField(kN)};
};

TEST_F(StepsTest, PicturesAreNamedByZeroPaddedIndex) {
  for (const auto method :
       {ReconstructionMethod::Fresnel, ReconstructionMethod::Convolution}) {
    experiment_.method = method;
    for (const int index : {0, 9, 10, 100}) reconstruct(nullptr, index, dir_);
  }
  interfere(nullptr, 3, dir_.string());
  for (const char* name :
       {"result_00.png", "result_09.png", "result_10.png", "result_100.png",
        "result_03_intensity1.png", "result_03_intensity2.png",
        "result_03_phaseDiff.png"}) {
    EXPECT_TRUE(fs::exists(dir_ / name)) << name;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 7);
}

TEST_F(StepsTest, EveryFailedWriteIsReportedOnceWithAnEmptyText) {
  const std::string nowhere = (dir_ / "missing").string();
  RecordingListener listener;
  reconstruct(&listener, 0, nowhere);
  EXPECT_EQ(listener.errors, std::vector<std::string>{""});
  listener.errors.clear();
  for (const auto method :
       {ReconstructionMethod::Fresnel, ReconstructionMethod::Convolution}) {
    experiment_.method = method;
    interfere(&listener, 1, nowhere);
  }
  EXPECT_EQ(listener.errors, std::vector<std::string>(6, ""));
  // Without a listener the failures pass silently.
  reconstruct(nullptr, 2, nowhere);
  interfere(nullptr, 2, nowhere);
  EXPECT_FALSE(fs::exists(nowhere));
}

}  // namespace
