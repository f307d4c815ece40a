#include "app/run.h"

#include <cstdint>
#include <iomanip>
#include <sstream>
#include <system_error>
#include <vector>

#include "app/listener.h"
#include "experiment/experiment.h"
#include "numerics/failure.h"

namespace fs = std::filesystem;

namespace {

/// More same-second runs than anyone starts; bounds the search for a name.
constexpr int kMaxNameSuffix = 10000;

void report(Vantor::IExperimentListener* listener, const std::string& text) {
  if (listener) listener->onError(text);
}

std::tm localStartTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

std::string withSuffix(const std::string& stem, int suffix,
                       const std::string& extension) {
  if (suffix < 2) return stem + extension;
  return stem + "_" + std::to_string(suffix) + extension;
}

/// Copies source into params under its own file name, or the first free
/// variant of it. A failed copy is not reported: the results are written
/// already, and the archive is a convenience.
void archive(const std::string& source, const fs::path& params) {
  std::error_code ignored;
  fs::copy_file(source, freeNameIn(params, extractFileName(source)), ignored);
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return a == b || fs::equivalent(a, b, error);
}

/// The holograms and work arrays of one run.
struct RunFields {
  RealField hologram1;
  RealField hologram2;
  std::vector<RealField> work;
  int n = 0;
};

}  // namespace

std::string runDirectoryName(const std::tm& time) {
  std::ostringstream name;
  name.fill('0');
  name << time.tm_year + 1900;
  for (const int field : {time.tm_mon + 1, time.tm_mday, time.tm_hour,
                          time.tm_min, time.tm_sec}) {
    name << "_" << std::setw(2) << field;
  }
  return name.str();
}

std::optional<std::string> createRunDirectory(const std::string& name) {
  for (int suffix = 1; suffix <= kMaxNameSuffix; ++suffix) {
    const std::string candidate = withSuffix(name, suffix, "");
    std::error_code error;
    if (fs::create_directory(candidate, error)) return candidate;
    // Only a name that is taken is worth another try.
    if (error || !fs::exists(candidate, error)) return std::nullopt;
  }
  return std::nullopt;
}

std::string extractFileName(const std::string& path) {
  std::size_t start = 0;
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') ||
       (path[0] >= 'a' && path[0] <= 'z'))) {
    start = 2;
  }
  const std::size_t separator = path.find_last_of("/\\");
  if (separator != std::string::npos && separator >= start) {
    start = separator + 1;
  }
  return path.substr(start);
}

fs::path freeNameIn(const fs::path& directory, const std::string& name) {
  const fs::path plain(name);
  // "holo.bmp" -> stem "holo", extension ".bmp"; ".profile" keeps its name.
  const std::string stem = plain.stem().string();
  const std::string extension = plain.extension().string();
  std::error_code error;
  for (int suffix = 1; suffix <= kMaxNameSuffix; ++suffix) {
    const fs::path candidate = directory / withSuffix(stem, suffix, extension);
    if (!fs::exists(candidate, error)) return candidate;
  }
  return directory / name;
}

void Experiment::run(const std::string& path,
                     Vantor::IExperimentListener* listener) {
  const std::tm startTime = localStartTime();
  const std::string wanted = runDirectoryName(startTime);
  const std::optional<std::string> directory = createRunDirectory(wanted);
  if (!directory) {
    report(listener, "Can't create the run directory " + wanted);
    return;
  }

  if (!load(path)) {
    report(listener, "Can't load a experiment");
    report(listener, loadError);
    return;
  }
  if (listener) {
    listener->onStart(path, &startTime, static_cast<int>(type),
                      static_cast<int>(method));
    listener->onRunDirectory(*directory);
  }

  totalTimer.reset();
  totalTimer.start();
  double sum = 0.0;
  const bool dhi = type == ExperimentType::DHI;

  RunFields fields;
  loadHologram(listener, hologramPath, fields.hologram1, fields.n);
  if (!fields.hologram1) return;
  if (dhi) {
    loadHologram(listener, hologramPath2, fields.hologram2, fields.n);
    if (!fields.hologram2) return;
    if (fields.hologram1.size() != fields.hologram2.size()) {
      report(listener, "The holograms must have the same size");
      return;
    }
  }
  const int n = fields.n;
  for (int i = 0; i < (dhi ? 3 : 2); ++i) {
    fields.work.push_back(RealField::tryCreate(n));
    if (!fields.work.back()) {
      report(listener, "Not enough memory for the work arrays");
      return;
    }
  }

  const auto count = static_cast<std::uint32_t>(parameterSets.size());
  for (std::uint32_t i = 0; i < count; ++i) {
    stepTimer.reset();
    stepTimer.start();
    try {
      const int index = static_cast<int>(i);
      if (dhi) {
        dhiStep(listener, index, fields.hologram1.rows(),
                fields.hologram2.rows(), n, fields.work[0].rows(),
                fields.work[1].rows(), fields.work[2].rows(), parameterSets[i],
                output, *directory);
      } else {
        reconstructionStep(listener, index, fields.hologram1.rows(), n,
                           fields.work[0].rows(), fields.work[1].rows(),
                           parameterSets[i], output, *directory);
      }
    } catch (...) {
      // A set whose values the numerics cannot use (a zero distance, say)
      // loses its pictures, not the rest of the sweep.
      report(listener, describeCurrentFailure());
    }
    stepTimer.stop();
    const double stepTime = stepTimer.elapsed();
    sum = sum + stepTime;
    const std::uint32_t stepNumber = i + 1;
    const double runningAverage = sum / stepNumber;
    if (listener) listener->onStep(stepNumber, count, stepTime, runningAverage);
  }

  const double average = sum / count;
  fields = RunFields();
  totalTimer.stop();
  saveResults(*directory + "/results.xml", totalTimer.elapsed(), average);

  const fs::path params = fs::path(*directory) / "params";
  std::error_code ignored;
  fs::create_directory(params, ignored);
  archive(hologramPath, params);
  if (dhi && !sameFile(hologramPath, hologramPath2)) {
    archive(hologramPath2, params);
  }
  archive(path, params);
  if (listener) listener->onFinish();
}
