#include "run.h"

#include <cstdint>
#include <iomanip>
#include <sstream>
#include <system_error>
#include <vector>

#include "experiment.h"
#include "failure.h"
#include "files.h"
#include "listener.h"
#include "sweep.h"

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

/// "Set 3: ", the start of every report about one parameter set.
std::string setName(std::uint32_t index) {
  return "Set " + std::to_string(index) + ": ";
}

std::string withSuffix(const std::string& stem, int suffix,
                       const std::string& extension) {
  if (suffix < 2) return stem + extension;
  return stem + "_" + std::to_string(suffix) + extension;
}

/// Writes the bytes the run read from source into params, under source's
/// own file name or the first free variant of it; a copy that cannot be
/// written whole is reported, and the run goes on.
void archive(Vantor::IExperimentListener* listener, const std::string& source,
             const std::string& bytes, const fs::path& params) {
  const fs::path target = freeNameIn(params, extractFileName(source));
  const std::string problem = writeWholeFile(target, bytes);
  if (!problem.empty()) {
    report(listener,
           "Can't archive " + target.filename().string() + ": " + problem);
  }
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return a == b || fs::equivalent(a, b, error);
}

/// The holograms and work arrays of one run, and the hologram files as
/// they were read.
struct RunFields {
  RealField hologram1;
  RealField hologram2;
  std::vector<RealField> work;
  int n = 0;
  std::string file1;
  std::string file2;
};

/// Loads the hologram(s) and allocates the work arrays, or reports why the
/// run cannot go on and returns false. A step never sees a field that is
/// missing or of another size.
bool prepareFields(const Experiment& experiment,
                   Vantor::IExperimentListener* listener, RunFields& fields) {
  const bool dhi = experiment.type == ExperimentType::DHI;
  experiment.loadHologram(listener, experiment.hologramPath, fields.hologram1,
                          fields.n, fields.file1);
  if (!fields.hologram1) return false;
  if (dhi) {
    experiment.loadHologram(listener, experiment.hologramPath2,
                            fields.hologram2, fields.n, fields.file2);
    if (!fields.hologram2) return false;
    if (fields.hologram1.size() != fields.hologram2.size()) {
      report(listener, "The holograms must have the same size");
      return false;
    }
  }
  for (int i = 0; i < (dhi ? 3 : 2); ++i) {
    fields.work.push_back(RealField::tryCreate(fields.n));
    if (!fields.work.back()) {
      report(listener, "Not enough memory for the work arrays");
      return false;
    }
  }
  return true;
}

/// Reconstructs parameter set index and writes its pictures. A set whose
/// values the numerics cannot use (a zero distance, say) is reported and
/// loses its pictures, not the rest of the sweep.
void runStep(const Experiment& experiment,
             Vantor::IExperimentListener* listener, const RunFields& fields,
             std::uint32_t index, const std::string& directory) {
  const ParameterSet& parameters = experiment.parameterSets[index];
  const auto i = static_cast<int>(index);
  const std::string problem = parameterSetProblem(parameters);
  if (!problem.empty()) {
    report(listener, setName(index) + problem);
    return;
  }
  try {
    if (experiment.type == ExperimentType::DHI) {
      experiment.dhiStep(
          listener, i, fields.hologram1.rows(), fields.hologram2.rows(),
          fields.n, fields.work[0].rows(), fields.work[1].rows(),
          fields.work[2].rows(), parameters, experiment.output, directory);
    } else {
      experiment.reconstructionStep(
          listener, i, fields.hologram1.rows(), fields.n, fields.work[0].rows(),
          fields.work[1].rows(), parameters, experiment.output, directory);
    }
  } catch (...) {
    report(listener, setName(index) + describeCurrentFailure());
  }
}

/// Writes the holograms and the experiment file, as the run read them, into
/// directory/params, so that the run directory documents itself.
void archiveInputs(const Experiment& experiment,
                   Vantor::IExperimentListener* listener,
                   const std::string& path, const RunFields& fields,
                   const std::string& directory) {
  const fs::path params = fs::path(directory) / "params";
  std::error_code error;
  if (!fs::create_directory(params, error) && error) {
    report(listener, "Can't archive the inputs: " + error.message());
    return;
  }
  archive(listener, experiment.hologramPath, fields.file1, params);
  if (experiment.type == ExperimentType::DHI &&
      !sameFile(experiment.hologramPath, experiment.hologramPath2)) {
    archive(listener, experiment.hologramPath2, fields.file2, params);
  }
  archive(listener, path, experiment.fileBytes, params);
}

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
  RunFields fields;
  if (!prepareFields(*this, listener, fields)) return;
  // Archived before the first step, from the very bytes the run decoded:
  // replacing an input during the run cannot falsify the record. Writing
  // the archive is not run time.
  totalTimer.stop();
  archiveInputs(*this, listener, path, fields, *directory);
  totalTimer.start();

  double sum = 0.0;
  const auto count = static_cast<std::uint32_t>(parameterSets.size());
  for (std::uint32_t i = 0; i < count; ++i) {
    stepTimer.reset();
    stepTimer.start();
    runStep(*this, listener, fields, i, *directory);
    stepTimer.stop();
    const double stepTime = stepTimer.elapsed();
    sum = sum + stepTime;
    const std::uint32_t stepNumber = i + 1;
    if (listener)
      listener->onStep(stepNumber, count, stepTime, sum / stepNumber);
  }
  const double average = sum / count;
  fields = RunFields();
  totalTimer.stop();

  const std::string problem =
      saveResults(*directory + "/results.xml", totalTimer.elapsed(), average);
  if (!problem.empty()) report(listener, "Can't write results.xml: " + problem);
  if (listener) listener->onFinish();
}
