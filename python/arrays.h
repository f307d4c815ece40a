#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>

#include "field.h"

// numpy arrays in and out of the numerics' fields.
//
// An array is a picture as numpy, PIL and tifffile give it: row 0 is its
// top line. The numerics' fields keep row 0 as the picture's bottom line
// (the order in which the picture files store their lines), so every copy
// turns the rows over: array row i is field row n - 1 - i. That is also the
// orientation of the run's pictures and TIFFs.

namespace holopy {

namespace py = pybind11;

/// Raises MemoryError with the run's text when bytes more would not fit
/// into the memory the system has available: Linux overcommits, so an
/// allocation that succeeds can still get the interpreter killed once its
/// pages are touched.
void requireMemory(std::size_t bytes);

/// Checks that picture is a picture array: rows x columns, or rows x
/// columns x 3 or 4 channels for a colour picture (its first channel, red,
/// is the sample, as the run reads colour files), neither side 0 or 1.
/// Raises ValueError with the run's reasons; what names the array.
void checkPicture(const py::array& picture, const std::string& what);

/// The edge n of a square picture array that passes checkPicture; the
/// run's ValueError for one that is not square.
int squareEdge(const py::array& picture, const std::string& what);

/// The edge n of a square 2-D array of numbers (a field, a phase, an
/// amplitude); ValueError naming what otherwise.
int fieldEdge(const py::array& array, const std::string& what);

/// The grey levels of the n x n window of a picture array (as checkPicture
/// accepts) that the run reads from the same picture as a file with
/// clipType="Center": the whole picture when it is n x n. Pixels are read
/// as the run reads them: uint8 as they are (0..255), uint16 times 255 /
/// 65535, float32 (a float TIFF) times 255, float64 as they are. Other
/// dtypes raise ValueError.
numerics::RealField greyLevels(const py::array& picture, int n,
                               const std::string& what);

/// The n x n array of numbers (any integer or float dtype) as a field.
numerics::RealField realSamples(const py::array& values, int n,
                                const std::string& what);

/// The samples of an n x n complex field array (any float or complex
/// dtype; other dtypes raise ValueError), as fieldEdge accepts it.
numerics::ComplexField complexSamples(const py::array& field, int n);

/// A new n x n complex128 array, to be filled by fillComplex, possibly
/// without the GIL.
py::array_t<std::complex<double>> newComplexArray(int n);

/// Writes field into out (made by newComplexArray), turning the rows over
/// and rolling rows and columns by shift samples towards higher indices:
/// out row i, column j is field row (n - 1 - i - shift) mod n, column
/// (j - shift) mod n. Returns false when a sample is not finite. Needs no
/// GIL.
bool fillComplex(const numerics::ComplexField& field, std::complex<double>* out,
                 int shift = 0);

/// The n x n real field as a new float64 array, rows turned over.
py::array_t<double> realArray(const numerics::RealField& field);

/// The n x n real field as a new uint8 array of whole grey levels.
py::array_t<std::uint8_t> greyArray(const numerics::RealField& field);

}  // namespace holopy
