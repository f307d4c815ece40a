#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "run_context.h"
#include "sideband.h"

// What a run reads and prepares: the holograms frame by frame (a series of
// them, or one picture each), the empty and dark frames once, the sideband
// filter found on the first frame; and the warnings for sets that their
// method does not sample well.

/// Opens the run's pictures: lists a series (every frame's fingerprint),
/// reads the empty and dark frames (the mean of their frames). False,
/// reported, when the run cannot go on.
bool openInputs(RunContext& context);

/// One frame's pictures as read, before they are prepared; or why they
/// could not be read.
struct LoadedFrame {
  int position = 0;
  LoadedPicture first;
  std::optional<LoadedPicture> second;  ///< a second hologram to prepare
  std::string problem;
};

/// Reads frame k of the holograms into frame, checked against the run's
/// window (the first picture read sets it); a frame that cannot be read
/// keeps the reason in frame.problem. The frames are read one at a time,
/// in order.
void loadFrame(RunContext& context, int k, LoadedFrame& frame);

/// Prepares a frame read by loadFrame as prepareFrame does. Once the first
/// frame of the run is finished, later frames only read what the run
/// shares, and several may be finished at once on different threads.
std::string finishFrame(RunContext& context, LoadedFrame loaded,
                        PreparedFrame& frame);

/// Reads frame k of the holograms (0 for single pictures) into frame:
/// checked against the run's window (the first picture read sets it),
/// corrected by the empty frame, the zero order taken away, filtered (the
/// filter found on the first frame prepared, and said so). A frame that
/// cannot be read keeps the reason in frame.problem; the result is a
/// reason the whole run cannot go on for (the filter cannot be found, the
/// empty frame holds no light). Called on one thread at a time.
std::string prepareFrame(RunContext& context, int k, PreparedFrame& frame);

/// The empty frame's field reconstructed with set: the mean over its
/// frames' fields (<Background mode="Field">).
numerics::ComplexField emptyField(const RunContext& context,
                                  const ParameterSet& set);

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

/// Warns, once for the run each, when Fresnel or Convolution is asked for
/// sets whose |z| lies below the distance from which the method samples its
/// chirp correctly, n pitch^2 / wavelength, and when the angular spectrum
/// is asked for sets so far that its band limit keeps fewer than 1 in 1000
/// of the grid's frequencies: how many sets, the first of them, and what
/// suits them. sets are parameter sets of the experiment.
void warnOfSampling(const RunContext& context,
                    const std::vector<std::size_t>& sets);
