"""Reading holorecon's float TIFFs and writing PNGs, for the scripts that
draw pictures to look at (render-tiff, plot-focus, figures). Needs only
Debian's python3-numpy."""
import struct
import zlib

import numpy as np


def read_float_tiff(path):
    """The values of a float TIFF as holorecon writes it (one 32-bit float
    channel, uncompressed), top line first."""
    data = open(path, "rb").read()
    order = "<" if data[:2] == b"II" else ">"
    (offset,) = struct.unpack(order + "I", data[4:8])
    (count,) = struct.unpack(order + "H", data[offset:offset + 2])
    tags = {}
    for i in range(count):
        at = offset + 2 + 12 * i
        tag, kind, n = struct.unpack(order + "HHI", data[at:at + 8])
        if kind not in (3, 4):  # only the sizes and strips are needed
            continue
        code = "H" if kind == 3 else "I"
        size = struct.calcsize(code)
        where = at + 8 if n * size <= 4 else struct.unpack(
            order + "I", data[at + 8:at + 12])[0]
        tags[tag] = struct.unpack(order + code * n, data[where:where + n * size])
    width, height = tags[256][0], tags[257][0]
    pixels = b"".join(data[s:s + l] for s, l in zip(tags[273], tags[279]))
    values = np.frombuffer(pixels, dtype=order + "f4", count=width * height)
    return values.reshape(height, width).astype(np.float64)


def to_grey(values, low=None, high=None):
    """values from low (black) to high (white) as bytes; by default their
    finite range. NaN is black."""
    finite = values[np.isfinite(values)]
    low = finite.min() if low is None else low
    high = finite.max() if high is None else high
    scaled = (values - low) / (high - low if high > low else 1.0) * 255.0
    return np.clip(np.nan_to_num(scaled, nan=0.0), 0, 255).astype(np.uint8)


def write_png(path, image):
    """An 8-bit grey (2-D) or RGB (3-D) array as a PNG, top line first."""
    colour = image.ndim == 3
    raw = b"".join(b"\0" + image[y].tobytes() for y in range(image.shape[0]))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body)))

    header = struct.pack(">IIBBBBB", image.shape[1], image.shape[0], 8,
                         2 if colour else 0, 0, 0, 0)
    with open(path, "wb") as png:
        png.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                  chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))
