#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "experiment.h"
#include "focus.h"
#include "reconstruction.h"
#include "run_context.h"

// One step of the sweep: index i of the sweep (parameter set i mod P of
// frame i / P) reconstructed, its pictures and measurement data written,
// its focus figures measured.

/// The arrays one step fills, one set of them per thread: the intensity
/// (both intensities and the interference phase for interferometry), the
/// reconstructed fields when the measurement data need amplitude or phase,
/// and one more array for the data written from them.
struct StepFields {
  std::vector<numerics::RealField> work;
  numerics::ComplexField field1;
  numerics::ComplexField field2;
  numerics::RealField scratch;
};

/// Allocates the arrays of one step for experiment at edge n; empty when
/// memory runs out.
StepFields allocateStepFields(const Experiment& experiment, int n);

/// Bytes the prepared holograms of a run at edge n take, saturating: one
/// frame's, and the empty frame's fields of every set with <Background
/// mode="Field">.
std::size_t hologramBytes(const Experiment& experiment, int n);

/// Bytes one step in flight takes at edge n: its fields and what the
/// numerics hold on its thread. Saturating.
std::size_t stepBytes(const Experiment& experiment, int n);

/// Bytes the preparation of one frame at edge n holds besides the frame.
std::size_t preparingBytes(const Experiment& experiment, int n);

/// Bytes a prepared frame takes at edge n.
std::size_t frameBytes(const Experiment& experiment, int n);

/// The numerics' name of a method.
numerics::Method methodOf(ReconstructionMethod method);

/// The numerics' record of a set's values.
numerics::Optics opticsOf(const ParameterSet& set);

/// What a step gave: whether everything of it was written, and its focus
/// figures (of the first hologram) when the experiment asks for them and
/// the set was reconstructed.
struct StepResult {
  bool written = false;
  std::optional<numerics::FocusFigures> figures;
};

/// Reconstructs index from its frame into fields and writes its pictures
/// into the run directory, reporting to listener (the run's, or a collector
/// of a worker thread). A set whose values the numerics cannot use (a zero
/// distance, say) or whose frame could not be read is reported and loses
/// its pictures, not the rest of the sweep.
StepResult runStep(const RunContext& context,
                   Vantor::IExperimentListener& listener, StepFields& fields,
                   const PreparedFrame& frame, std::size_t index);

/// The focus figures of the frame's first hologram reconstructed with set,
/// into fields, writing nothing: what the refinement of z evaluates.
numerics::FocusFigures focusAt(const RunContext& context, StepFields& fields,
                               const PreparedFrame& frame,
                               const ParameterSet& set);
