#include "stacks.h"

#include <cmath>
#include <set>

#include "measurement.h"
#include "names.h"
#include "run_context.h"
#include "shortest.h"

namespace {

/// The z step of the sweep when its z values are evenly spaced, else 0.
double uniformStep(const Experiment& experiment) {
  std::set<double> values;
  for (const ParameterSet& set : experiment.parameterSets) {
    values.insert(set.zDistance);
  }
  if (values.size() < 2) return 0.0;
  const double step = *std::next(values.begin()) - *values.begin();
  double previous = *values.begin();
  for (const double z : values) {
    if (z != previous && std::abs((z - previous) - step) > 1e-9 * step) {
      return 0.0;
    }
    previous = z;
  }
  return step;
}

}  // namespace

RunStacks::RunStacks(const RunContext& context,
                     std::vector<Quantity> quantities)
    : context_(context) {
  for (Quantity& quantity : quantities) {
    stacks_.push_back(std::make_unique<Stack>());
    stacks_.back()->quantity = std::move(quantity);
  }
}

std::vector<std::string> RunStacks::open() {
  const Experiment& experiment = context_.experiment;
  const ParameterSet& first = experiment.parameterSets.front();
  const int n = context_.inputs.gridEdge();
  StackRecord record;
  record.tiff.unit = lengthUnit(first.wavelength);
  // Fresnel's output pitch grows with z: one pitch for every page only when
  // there is one z.
  if (experiment.method == ReconstructionMethod::Fresnel &&
      experiment.valueCounts[2] > 1) {
    record.noCommonPitch = "the Fresnel method's output pitch changes with z";
  } else {
    record.tiff.pitch = std::abs(
        outputPitch(experiment.method, context_.inputs.gridSet(first), n));
  }
  record.spacing = uniformStep(experiment);
  record.tiff.properties = {
      {"wavelength", numerics::shortestText(first.wavelength)},
      {"angle", numerics::shortestText(first.angle)},
      {"ccdPixelDistance", numerics::shortestText(first.ccdPixelDistance)},
      {"method", nameOf(experiment.method)},
      {"kind", nameOf(experiment.type)}};
  const StackShape shape{n, static_cast<int>(experiment.parameterSets.size()),
                         static_cast<int>(context_.frames())};
  std::vector<std::string> problems;
  for (const auto& stack : stacks_) {
    StackRecord own = record;
    own.tiff.valueUnit = stack->quantity.valueUnit;
    own.tiff.properties.insert(own.tiff.properties.begin(),
                               {"quantity", stack->quantity.name});
    const std::string problem = stack->writer.open(
        context_.directory, stack->quantity.file, shape, own);
    if (!problem.empty()) problems.push_back(failure(*stack, problem));
  }
  return problems;
}

StackPage RunStacks::pageOf(std::size_t index) const {
  const int frame =
      context_.inputs.hologram.isSeries()
          ? context_.inputs.hologram
                .listed()[static_cast<std::size_t>(context_.frameOf(index))]
                .number
          : 1;
  return {static_cast<std::int64_t>(index), context_.setOf(index).zDistance,
          frame};
}

void RunStacks::fillTo(Stack& stack, std::size_t index) {
  for (; stack.next < index; ++stack.next) {
    stack.writer.appendFailed(pageOf(stack.next));
  }
}

std::string RunStacks::failure(Stack& stack, const std::string& problem) {
  if (stack.failed || problem.empty()) return {};
  stack.failed = true;
  return "Can't write " + stack.quantity.file + ".tif: " + problem;
}

std::string RunStacks::append(const std::string& file, std::size_t index,
                              const double* const* values) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (const auto& stack : stacks_) {
    if (stack->quantity.file != file) continue;
    turn_.wait(lock, [&] { return stack->next >= index; });
    if (stack->next != index) return {};  // given already
    const std::string problem = stack->writer.append(values, pageOf(index));
    ++stack->next;
    turn_.notify_all();
    return failure(*stack, problem);
  }
  return {};
}

void RunStacks::finish(std::size_t index) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (const auto& stack : stacks_) {
    turn_.wait(lock, [&] { return stack->next >= index; });
    fillTo(*stack, index + 1);
  }
  turn_.notify_all();
}

std::vector<std::string> RunStacks::close() {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> problems;
  for (const auto& stack : stacks_) {
    const std::string problem = failure(*stack, stack->writer.close());
    if (!problem.empty()) problems.push_back(problem);
  }
  return problems;
}
