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

/// " in shard 2/4" for a shard's own lines, else nothing.
std::string shardWords(const RunOptions& options) {
  return options.shard ? " in shard " + options.shard->text() : "";
}

/// z refined around set, the sharpest of the sweep, by a golden-section
/// search between its neighbours in z (the other values those of set),
/// computing the figure only, until the bracket is below a hundredth of
/// the z step; with the figures there. Nothing, with the reason in why,
/// when there is no bracket or the search fails.
std::optional<std::pair<ParameterSet, FocusFigures>> refineFocus(
    const RunContext& context, StepFields& fields, const ParameterSet& set,
    std::string& why) {
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
    return metricValue(metric, focusAt(context, fields, trial));
  };
  try {
    const numerics::SearchResult search =
        numerics::goldenSectionSearch(figure, bracket->below, bracket->above,
                                      (bracket->above - bracket->below) / 200.0,
                                      metric == FocusMetric::IntegratedAmplitude
                                          ? numerics::Extreme::minimum
                                          : numerics::Extreme::maximum);
    trial.zDistance = search.x;
    return std::pair{trial, focusAt(context, fields, trial)};
  } catch (...) {
    why = numerics::describeCurrentFailure();
    return std::nullopt;
  }
}

/// focus.csv: a header, then one line per set, and a last line "refined"
/// when refined holds a set.
std::string focusCsv(
    const Experiment& experiment, const std::vector<std::size_t>& sets,
    const std::vector<std::optional<FocusFigures>>& figures,
    const std::optional<std::pair<ParameterSet, FocusFigures>>& refined) {
  std::string csv = std::string(kFocusCsvHeader) + "\n";
  for (std::size_t j = 0; j < sets.size(); ++j) {
    csv += focusCsvLine(std::to_string(sets[j]),
                        experiment.parameterSets[sets[j]], figures[j]) +
           "\n";
  }
  if (refined) {
    csv += focusCsvLine("refined", refined->first, refined->second) + "\n";
  }
  return csv;
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

std::string reportFocus(
    const RunContext& context, StepFields& fields,
    const std::vector<std::size_t>& sets,
    const std::vector<std::optional<FocusFigures>>& figures) {
  const Experiment& experiment = context.experiment;
  const FocusOptions& focus = experiment.focus;
  const std::string where = shardWords(context.options);
  const std::optional<std::size_t> best = sharpestSet(focus.metric, figures);
  std::string line;
  std::optional<std::pair<ParameterSet, FocusFigures>> refined;
  if (best) {
    const ParameterSet& set = experiment.parameterSets[sets[*best]];
    line = sharpestLine(where, sets[*best], set, focus.metric);
    if (focus.refine) {
      std::string why;
      refined = refineFocus(context, fields, set, why);
      line += refined ? "; refined z = " + shownNumber(refined->first.zDistance)
                      : "; not refined: " + why;
    }
  } else {
    line = noSharpestLine(where, focus.metric);
  }
  const std::string file = context.options.shard
                               ? context.options.shard->focusFileName()
                               : "focus.csv";
  const std::string problem =
      writeWholeFile(context.directory + "/" + file,
                     focusCsv(experiment, sets, figures, refined));
  if (!problem.empty()) {
    context.listener.onError("Can't write " + file + ": " + problem);
  }
  return line;
}
