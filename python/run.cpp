// run: a whole run of an experiment file, as the console program does it.

#include <pybind11/stl.h>

#include <csignal>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "command_line.h"
#include "experiment.h"
#include "images.h"
#include "listener.h"

namespace holopy {

namespace {

using namespace pybind11::literals;

/// Hears the run on its own thread without the GIL, and takes the GIL only
/// to call into Python: progress per set, warnings as UserWarning, the
/// console's other lines to the "holorecon" logger. Errors are kept for the
/// exception raised once the run is over. The first exception a callback
/// raises stops further calls and is raised after the run instead.
class PythonListener : public Vantor::IExperimentListener {
 public:
  explicit PythonListener(py::object progress)
      : progress_(std::move(progress)) {}

  void onStart(const std::string&, const std::tm*, ExperimentType,
               ReconstructionMethod) override {}
  void onFinish() override {}
  void onRunDirectory(const std::string& directory) override {
    directory_ = directory;
  }
  void onError(const std::string& message) override {
    errors_.push_back(message);
  }
  void onErrorReason(const std::string& reason) override {
    errors_.push_back(reason);
  }
  void onStep(std::uint32_t step, std::uint32_t count, double seconds,
              double) override {
    callPython([&] {
      if (!progress_.is_none()) progress_(step - 1, count, seconds);
    });
  }
  void onWarning(const std::string& text) override {
    callPython([&] {
      // Python writes the warning to stderr, which a frame being decoded
      // may have pointed at /dev/null for a moment.
      const std::lock_guard<std::recursive_mutex> lock(standardErrorLock());
      warn(text);
    });
  }
  void onNote(const std::string& text) override {
    callPython([&] {
      py::module_::import("logging")
          .attr("getLogger")("holorecon")
          .attr("info")(text);
    });
  }

  /// Raises what a callback raised, or the run's errors: OSError when the
  /// first is about a file, ValueError otherwise. Needs the GIL.
  void raiseFailures() {
    if (failure_) throw *failure_;
    if (errors_.empty()) return;
    std::string text;
    for (const std::string& error : errors_) {
      if (!text.empty()) text += '\n';
      text += error;
    }
    const bool file = isFileError(errors_.front());
    PyErr_SetString(file ? PyExc_OSError : PyExc_ValueError, text.c_str());
    throw py::error_already_set();
  }

  const std::string& directory() const { return directory_; }

 private:
  static bool isFileError(const std::string& error) {
    for (const char* start : {"Can't write", "Can't archive", "Can't create",
                              "Can't run in", "The image couldn't be loaded"}) {
      if (error.rfind(start, 0) == 0) return true;
    }
    return false;
  }

  template <typename Call>
  void callPython(Call call) {
    py::gil_scoped_acquire gil;
    if (failure_) return;
    try {
      call();
    } catch (py::error_already_set& raised) {
      failure_ = std::move(raised);
    }
  }

  py::object progress_;
  std::string directory_;
  std::vector<std::string> errors_;
  std::optional<py::error_already_set> failure_;
};

std::string run(const py::object& experimentPath, const py::object& output,
                const std::optional<int>& threads, const py::object& progress) {
  const auto path = [](const py::object& p) {
    return py::module_::import("os").attr("fspath")(p).cast<std::string>();
  };
  RunOptions options = everyCore();
  if (threads) {
    if (*threads < 1) {
      throw py::value_error("threads must be a whole number from 1, not " +
                            std::to_string(*threads));
    }
    options.threads = *threads;
  }
  if (!output.is_none()) options.outputDirectory = path(output);
  const std::string file = path(experimentPath);
  PythonListener listener(progress);
  {
    py::gil_scoped_release release;
    // As in the console program: a file-size limit makes writes fail with
    // a reason instead of killing the interpreter.
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    Experiment experiment;
    experiment.run(file, &listener, options);
    std::signal(SIGXFSZ, previous);
  }
  listener.raiseFailures();
  return std::filesystem::absolute(listener.directory()).string();
}

constexpr const char* kRunDoc =
    R"(run(experiment_path, *, output=None, threads=None, progress=None)

Runs the experiment file as `holorecon [--threads N] [--output DIR]
experiment_path` does: the same run directory, pictures, TIFFs,
results.xml, focus.csv and params/, and returns the run directory's
absolute path.

experiment_path  the experiment file (str or path-like); relative picture
                 paths in it are read from the current directory.
output           the run directory (made if missing), or None for one
                 named after the start time in the current directory.
threads          sets reconstructed at once; None: one per core.
progress         None, or a function progress(set_index, sets, seconds)
                 called in set order after each set, with the set's time
                 in seconds, instead of the console's step lines.

Warnings (sets closer than their method samples correctly, a sideband
that does not stand out) come as UserWarning, the console's other lines
(the sideband filter's centre, the sharpest set) as INFO records of the
logger "holorecon". The run works without the GIL; progress takes it.

Raises, once the run is over, what progress raised, or the run's errors
with the console's texts, one per line: OSError when the first concerns a
file ("Can't write result_03.png: No space left on device", "The image
couldn't be loaded"), ValueError otherwise ("Can't load a experiment"
with the reason, "Set 3: the z distance must not be 0"). Sets that fail
leave the others' results in the run directory.
)";

}  // namespace

void bindRun(py::module_& module) {
  module.def("run", &run, kRunDoc, "experiment_path"_a, py::kw_only(),
             "output"_a = py::none(), "threads"_a = py::none(),
             "progress"_a = py::none());
}

}  // namespace holopy
