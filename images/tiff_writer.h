#pragma once

#include <string>
#include <utility>
#include <vector>

// Measurement data (amplitudes, phases, intensities) as 32-bit float TIFF
// files that analysis programs open with their pixel size and units: one
// grey channel, uncompressed, one picture per file, the picture's top line
// being the field's last row as in the PNG pictures. The pixel size goes
// into the resolution tags (pixels per unit of length, without naming the
// unit) and the units into an ImageJ-style description, which ImageJ and
// Fiji read as the length unit and the unit of the values:
//
//   ImageJ=1.53t
//   unit=micron
//   vunit=rad
//   wavelength=5.32e-07
//
// The description's first line stays "ImageJ=1.53t", the version whose
// reading of these keys was checked.
//
// A pitch whose 1 / |pitch| a TIFF resolution cannot hold (1e-12 or 1e12
// units) gets no resolution tags but a description line saying so:
//
//   resolution=none (the pitch 1e-12 cannot be stored as a TIFF resolution)

/// What a float TIFF file says about its values besides the values.
struct FloatTiffRecord {
  /// Distance between pixel centres in the picture, in unit. 0 or not
  /// finite: unknown, and the file carries no resolution.
  double pitch = 0.0;
  /// Length unit of pitch as ImageJ names it ("micron", "mm"); empty:
  /// unknown, and the description does not name one.
  std::string unit;
  /// Unit of the values ("rad"); empty for none.
  std::string valueUnit;
  /// Further key=value lines of the description, in this order.
  std::vector<std::pair<std::string, std::string>> properties;
};

/// Key=value lines of an ImageJ description, in order.
using DescriptionLines = std::vector<std::pair<std::string, std::string>>;

/// Why pitch cannot be stored in the resolution tags, empty when it can.
/// libtiff keeps a resolution as a float and stores it as a fraction of two
/// 32-bit whole numbers, 0xFFFFFFFF / 0 beyond 4294967295 pixels per unit
/// and 0 / 0xFFFFFFFF below its inverse; between the two its fraction is
/// within 6e-8 of 1 / |pitch| (the float's own rounding, checked over the
/// whole range), which is what is accepted. Call only for a finite pitch
/// other than 0: the others are unknown and say nothing.
std::string resolutionProblem(double pitch);

/// value as the float TIFFs store it: the nearest float, NaN staying NaN,
/// beyond the float range infinite (a plain conversion of such a value is
/// undefined in C++).
float tiffFloat(double value);

/// The ImageJ description: "ImageJ=1.53t", the lines head gives (a stack's
/// dimensions), then the record's unit, value unit and properties, and a
/// resolution=none line when its pitch cannot be stored, each line ending
/// in a line feed. Returns why it cannot be one (a key or value that is not
/// one line of key=value), empty on success.
std::string describeImageJ(const FloatTiffRecord& record,
                           const DescriptionLines& head, std::string& text);

/// Puts the TIFF file of the n x n field into tiff: values[n - 1] its top
/// line, every value as the nearest float (NaN stays NaN, values beyond the
/// float range become infinite). Returns why it could not, empty on
/// success: an empty field, a key or value that is not one line of
/// key=value, or libtiff's reason. Memory is std::bad_alloc.
std::string encodeFloatTiff(const double* const* values, int n,
                            const FloatTiffRecord& record, std::string& tiff);

/// Writes that file at path, whole or not at all; returns why not, empty on
/// success (the system's reason, "No space left on device", or the
/// encoder's). A file it created is removed again after a failed write.
std::string saveFloatTiff(const std::string& path, const double* const* values,
                          int n, const FloatTiffRecord& record);
