#pragma once

#include <string>
#include <vector>

#include "experiment.h"
#include "reconstruction.h"

/// The holograms of one run, prepared once for every set (the local mean
/// subtracted, and the sideband filter applied when the experiment has
/// one), and their files exactly as they were read.
struct RunHolograms {
  numerics::PreparedHologram first;
  numerics::PreparedHologram second;  ///< interferometry only
  int n = 0;
  std::string firstFile;
  std::string secondFile;
};

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

/// Bytes the prepared holograms of a run at edge n take, saturating.
std::size_t hologramBytes(const Experiment& experiment, int n);

/// Bytes one step in flight takes at edge n: its fields and what the
/// numerics hold on its thread. Saturating.
std::size_t stepBytes(const Experiment& experiment, int n);

/// The numerics' name of a method.
numerics::Method methodOf(ReconstructionMethod method);

/// The numerics' record of a set's values.
numerics::Optics opticsOf(const ParameterSet& set);

/// Reconstructs the first hologram with set into fields.work[0], its
/// intensity, writing nothing: what the focus search evaluates.
void reconstructFirstIntensity(const Experiment& experiment,
                               const RunHolograms& holograms,
                               StepFields& fields, const ParameterSet& set);
