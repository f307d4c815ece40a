#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "run_context.h"
#include "sideband.h"

// What a run does once, before its first step: the holograms read, checked
// and prepared (the sideband filter found and applied), and the warnings
// for sets that their method does not sample well.

/// The sideband filter's request from the experiment file's <Filter>.
numerics::SidebandRequest sidebandRequest(const FilterOptions& filter);

/// What a user should hear of a filter found: a centre that does not stand
/// out from its surroundings (an in-line hologram?), and a carrier removed
/// while the reference wave's angle puts one back. None when all is well.
std::vector<std::string> sidebandWarnings(const numerics::Sideband& sideband,
                                          double angle);

/// Reads one hologram picture of experiment into samples and sets n (from
/// the picture, or preferredSize); the file exactly as read and decoded
/// goes to bytes. A failure is reported to listener and leaves samples
/// empty.
void loadHologram(const Experiment& experiment,
                  Vantor::IExperimentListener& listener,
                  const std::string& path, numerics::RealField& samples, int& n,
                  std::string& bytes);

/// Loads the hologram(s) into context.holograms and prepares them for every
/// set, or reports why the run cannot go on and returns false. A step never
/// sees a hologram that is missing or of another size.
bool prepareHolograms(RunContext& context);

/// Warns, once for the run each, when Fresnel or Convolution is asked for
/// sets whose |z| lies below the distance from which the method samples its
/// chirp correctly, n pitch^2 / wavelength, and when the angular spectrum
/// is asked for sets so far that its band limit keeps fewer than 1 in 1000
/// of the grid's frequencies: how many sets, the first of them, and what
/// suits them.
void warnOfSampling(const RunContext& context,
                    const std::vector<std::size_t>& sets);
