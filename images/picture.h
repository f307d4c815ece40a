#pragma once

#include <FreeImage.h>

#include <ostream>

#include "field.h"
#include "images.h"

// The sampling shared by both loading modes, open to the tests.

/// Samples the n x n window of picture whose bottom-left corner is the pixel
/// (x0, y0); positions outside the picture give 0.0. samples is replaced
/// only on success. Fails, with one line in stream, for a pixel kind it
/// cannot sample, an edge length that is not positive, or a field that does
/// not fit into memory.
bool readSamples(FIBITMAP* picture, numerics::RealField& samples, int n, int x0,
                 int y0, std::ostream& stream, const FitsInMemory& fits = {});
