#include "focus_search.h"

#include <cmath>
#include <set>

#include "failure.h"
#include "files.h"
#include "focus_record.h"
#include "numbers.h"
#include "sizes.h"
#include "steps.h"

using numerics::FocusFigures;

namespace {

/// z refined around set, the sharpest of its frame, by a golden-section
/// search between its neighbours in z (the other values those of set),
/// computing the figure only, until the bracket is below a hundredth of
/// the z step; with the figures there. Nothing, with the reason in why,
/// when there is no bracket or the search fails.
std::optional<std::pair<ParameterSet, FocusFigures>> refineFocus(
    const RunContext& context, StepFields& fields, const PreparedFrame& frame,
    const ParameterSet& set, std::string& why) {
  if (context.options.shard) {
    why = "each shard sees only its own sets";
    return std::nullopt;
  }
  const std::optional<ZBracket> bracket =
      refinementBracket(context.experiment, set.zDistance, why);
  if (!bracket) return std::nullopt;
  if (bracket->below < 0.0 && bracket->above > 0.0) {
    why = "its neighbours in z lie on both sides of 0";
    return std::nullopt;
  }
  const FocusMetric metric = context.experiment.focus.metric;
  ParameterSet trial = set;
  const auto figure = [&](double z) {
    trial.zDistance = z;
    return metricValue(metric, focusAt(context, fields, frame, trial));
  };
  try {
    const numerics::SearchResult search =
        numerics::goldenSectionSearch(figure, bracket->below, bracket->above,
                                      (bracket->above - bracket->below) / 200.0,
                                      metric == FocusMetric::IntegratedAmplitude
                                          ? numerics::Extreme::minimum
                                          : numerics::Extreme::maximum);
    trial.zDistance = search.x;
    return std::pair{trial, focusAt(context, fields, frame, trial)};
  } catch (...) {
    why = numerics::describeCurrentFailure();
    return std::nullopt;
  }
}

/// The frame number of index in a series; nothing without one.
std::optional<int> frameNumberOf(const RunContext& context, std::size_t index) {
  const PictureSource& source = context.inputs.hologram;
  if (!source.isSeries()) return std::nullopt;
  return source.listed()[static_cast<std::size_t>(context.frameOf(index))]
      .number;
}

}  // namespace

numerics::FocusRegion fieldRegion(const FocusOptions& focus, int n) {
  if (!focus.region) return {0, 0, n, n};
  const PictureRegion& region = *focus.region;
  return {n - region.y - region.height, region.x, region.height, region.width};
}

FocusFigures measureFocus(const FocusOptions& focus,
                          const double* const* intensity, int n) {
  return numerics::focusFigures(intensity, n, fieldRegion(focus, n));
}

std::optional<ZBracket> refinementBracket(const Experiment& experiment,
                                          double z, std::string& why) {
  std::set<double> distances;
  for (const ParameterSet& set : experiment.parameterSets) {
    distances.insert(set.zDistance);
  }
  if (distances.size() < 2) {
    why = "the sweep has no z range";
    return std::nullopt;
  }
  const auto at = distances.find(z);
  if (at == distances.begin() || std::next(at) == distances.end()) {
    why = std::string("the sharpest z is the ") +
          (at == distances.begin() ? "first" : "last") +
          " of the sweep, and the focus may lie beyond it";
    return std::nullopt;
  }
  return ZBracket{*std::prev(at), *std::next(at)};
}

void FocusReport::ownFields(StepFields fields) { own_ = std::move(fields); }

void FocusReport::frameDone(
    StepFields& fields, const PreparedFrame& frame,
    const std::vector<std::size_t>& indices,
    const std::vector<std::optional<FocusFigures>>& figures, std::size_t begin,
    std::size_t end) {
  const FocusOptions& focus = context_.experiment.focus;
  const std::optional<int> number = frameNumberOf(context_, indices[begin]);
  std::string where = number ? " in frame " + std::to_string(*number) : "";
  if (context_.options.shard) {
    where +=
        (number ? ", shard " : " in shard ") + context_.options.shard->text();
  }
  const std::vector<std::optional<FocusFigures>> own(
      figures.begin() + static_cast<std::ptrdiff_t>(begin),
      figures.begin() + static_cast<std::ptrdiff_t>(end));
  const std::optional<std::size_t> best = sharpestSet(focus.metric, own);
  std::string line;
  if (best) {
    const std::size_t index = indices[begin + *best];
    const ParameterSet& set = context_.setOf(index);
    line = sharpestLine(where, index, set, focus.metric);
    if (focus.refine) {
      std::string why;
      const std::optional<std::pair<ParameterSet, FocusFigures>> refined =
          refineFocus(context_, own_ ? *own_ : fields, frame, set, why);
      line += refined ? "; refined z = " + shownNumber(refined->first.zDistance)
                      : "; not refined: " + why;
      if (refined)
        refined_.push_back({number, refined->first, refined->second});
    }
  } else {
    line = noSharpestLine(where, focus.metric);
  }
  if (number) {
    context_.listener.onNote(line);
  } else {
    lines_.push_back(line);
  }
}

void FocusReport::write(
    const std::vector<std::size_t>& indices,
    const std::vector<std::optional<FocusFigures>>& figures) const {
  const bool series = context_.inputs.hologram.isSeries();
  std::string csv = focusCsvHeader(series) + "\n";
  for (std::size_t j = 0; j < indices.size(); ++j) {
    csv += focusCsvLine(std::to_string(indices[j]),
                        frameNumberOf(context_, indices[j]),
                        context_.setOf(indices[j]), figures[j]) +
           "\n";
  }
  for (const Refined& refined : refined_) {
    csv +=
        focusCsvLine("refined", refined.frame, refined.set, refined.figures) +
        "\n";
  }
  const std::string file = context_.options.shard
                               ? context_.options.shard->focusFileName()
                               : "focus.csv";
  const std::string problem =
      writeWholeFile(context_.directory + "/" + file, csv);
  if (!problem.empty()) {
    context_.listener.onError("Can't write " + file + ": " + problem);
  }
}

void FocusReport::sayLines() const {
  for (const std::string& line : lines_) context_.listener.onNote(line);
}
