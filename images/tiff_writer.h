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
