#include "arrays.h"

#include <Python.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>

#include "memory.h"

namespace holopy {

namespace {

/// Rows, columns and the byte steps between them of a picture array.
struct Layout {
  py::ssize_t rows = 0;
  py::ssize_t columns = 0;
  py::ssize_t rowStride = 0;
  py::ssize_t columnStride = 0;
};

Layout layoutOf(const py::array& picture) {
  return {picture.shape(0), picture.shape(1), picture.strides(0),
          picture.strides(1)};
}

std::string shapeText(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t d = 0; d < array.ndim(); ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(array.shape(d));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

std::string dtypeName(const py::array& array) {
  return py::str(array.dtype()).cast<std::string>();
}

/// The array in the machine's byte order (tifffile gives a big-endian
/// TIFF's pixels as they are stored).
py::array nativeOrder(const py::array& array) {
  const char order = array.dtype().byteorder();
  const bool native =
      order == '=' || order == '|' ||
      (order == '<') == (std::endian::native == std::endian::little);
  if (native) return array;
  return array.attr("astype")(array.dtype().attr("newbyteorder")("="));
}

/// Copies the n x n window of picture whose bottom-left corner is picture
/// line y0 (counted from the bottom, as picture files store them) and
/// column x0 into a field, each sample through grey(T); zeros where the
/// window reaches past the picture.
template <typename T, typename Grey>
numerics::RealField window(const py::array& picture, int n, py::ssize_t x0,
                           py::ssize_t y0, Grey grey) {
  const Layout layout = layoutOf(picture);
  const char* base = static_cast<const char*>(picture.data());
  numerics::RealField field(n);
  for (int r = 0; r < n; ++r) {
    const py::ssize_t line = y0 + r;
    if (line < 0 || line >= layout.rows) continue;
    const char* row = base + (layout.rows - 1 - line) * layout.rowStride;
    for (int c = 0; c < n; ++c) {
      const py::ssize_t x = x0 + c;
      if (x < 0 || x >= layout.columns) continue;
      T value;
      std::memcpy(&value, row + x * layout.columnStride, sizeof value);
      field[r][c] = grey(value);
    }
  }
  return field;
}

/// The edge of a square array, which the numerics count in int.
int edgeOf(const py::array& array) {
  if (array.shape(0) > std::numeric_limits<int>::max()) {
    requireMemory(std::numeric_limits<std::size_t>::max());
  }
  return static_cast<int>(array.shape(0));
}

}  // namespace

void requireMemory(std::size_t bytes) {
  if (stepsThatFit(bytes, 0, 1) == 1) return;
  PyErr_SetString(PyExc_MemoryError, "Not enough memory for the hologram");
  throw py::error_already_set();
}

void checkPicture(const py::array& picture, const std::string& what) {
  const py::ssize_t dimensions = picture.ndim();
  const bool colour =
      dimensions == 3 && (picture.shape(2) == 3 || picture.shape(2) == 4);
  if (dimensions != 2 && !colour) {
    throw py::value_error(what +
                          " must be a 2-D array (rows, columns) or a colour "
                          "picture (rows, columns, 3 or 4), not shape " +
                          shapeText(picture));
  }
  if (picture.shape(0) == 0 || picture.shape(1) == 0) {
    throw py::value_error(what + " is empty, shape " + shapeText(picture));
  }
  if (picture.shape(0) == 1 || picture.shape(1) == 1) {
    throw py::value_error("The image size couldn't be 1");
  }
}

int squareEdge(const py::array& picture, const std::string& what) {
  checkPicture(picture, what);
  if (picture.shape(0) != picture.shape(1)) {
    throw py::value_error("The image must be square");
  }
  return edgeOf(picture);
}

int fieldEdge(const py::array& array, const std::string& what) {
  if (array.ndim() != 2 || array.shape(0) != array.shape(1) ||
      array.shape(0) == 0) {
    throw py::value_error(what + " must be a square 2-D array, not shape " +
                          shapeText(array));
  }
  return edgeOf(array);
}

numerics::RealField greyLevels(const py::array& picture, int n,
                               const std::string& what) {
  const py::array native = nativeOrder(picture);
  const py::ssize_t rows = native.shape(0);
  const py::ssize_t columns = native.shape(1);
  // Centred as the run centres a window on a picture: C++ division, which
  // truncates towards zero.
  const py::ssize_t y0 = (rows - n) / 2;
  const py::ssize_t x0 = (columns - n) / 2;
  const char kind = native.dtype().kind();
  const py::ssize_t size = native.dtype().itemsize();
  if (kind == 'u' && size == 1) {
    return window<std::uint8_t>(native, n, x0, y0, [](std::uint8_t v) {
      return static_cast<double>(v);
    });
  }
  if (kind == 'u' && size == 2) {
    return window<std::uint16_t>(
        native, n, x0, y0, [](std::uint16_t v) { return v * 255.0 / 65535.0; });
  }
  if (kind == 'f' && size == 4) {
    return window<float>(native, n, x0, y0, [](float v) {
      return static_cast<double>(v) * 255.0;
    });
  }
  if (kind == 'f' && size == 8) {
    return window<double>(native, n, x0, y0, [](double v) { return v; });
  }
  throw py::value_error(what +
                        " must be of dtype uint8, uint16, float32 or float64 "
                        "(a camera's or a TIFF's pixels), not " +
                        dtypeName(picture));
}

numerics::RealField realSamples(const py::array& values, int n,
                                const std::string& what) {
  const char kind = values.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u') {
    throw py::value_error(what + " must be of a float or integer dtype, not " +
                          dtypeName(values));
  }
  using Cast = py::array_t<double, py::array::forcecast>;
  const Cast cast = Cast::ensure(values);
  if (!cast) throw py::error_already_set();
  const auto samples = cast.unchecked<2>();
  numerics::RealField out(n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) out[n - 1 - i][j] = samples(i, j);
  }
  return out;
}

numerics::ComplexField complexSamples(const py::array& field, int n) {
  const char kind = field.dtype().kind();
  if (kind != 'f' && kind != 'c') {
    throw py::value_error(
        "the field must be of a float or complex dtype (complex128 is used), "
        "not " +
        dtypeName(field));
  }
  using Cast = py::array_t<std::complex<double>, py::array::forcecast>;
  const Cast values = Cast::ensure(field);
  if (!values) throw py::error_already_set();
  const auto samples = values.unchecked<2>();
  numerics::ComplexField out(n);
  for (int i = 0; i < n; ++i) {
    numerics::Complex* row = out[n - 1 - i];
    for (int j = 0; j < n; ++j) {
      const std::complex<double> u = samples(i, j);
      row[j] = {u.real(), u.imag()};
    }
  }
  return out;
}

py::array_t<std::complex<double>> newComplexArray(int n) {
  return py::array_t<std::complex<double>>({n, n});
}

bool fillComplex(const numerics::ComplexField& field, std::complex<double>* out,
                 int shift) {
  const int n = field.size();
  bool finite = true;
  for (int i = 0; i < n; ++i) {
    const numerics::Complex* row = field[((n - 1 - i - shift) % n + n) % n];
    std::complex<double>* line =
        out + static_cast<std::size_t>(i) * static_cast<std::size_t>(n);
    for (int j = 0; j < n; ++j) {
      const numerics::Complex u = row[((j - shift) % n + n) % n];
      finite = finite && std::isfinite(u.re) && std::isfinite(u.im);
      line[j] = {u.re, u.im};
    }
  }
  return finite;
}

py::array_t<double> realArray(const numerics::RealField& field) {
  const int n = field.size();
  py::array_t<double> out({n, n});
  auto values = out.mutable_unchecked<2>();
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) values(i, j) = field[n - 1 - i][j];
  }
  return out;
}

py::array_t<std::uint8_t> greyArray(const numerics::RealField& field) {
  const int n = field.size();
  py::array_t<std::uint8_t> out({n, n});
  auto values = out.mutable_unchecked<2>();
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      values(i, j) = static_cast<std::uint8_t>(field[n - 1 - i][j]);
    }
  }
  return out;
}

}  // namespace holopy
