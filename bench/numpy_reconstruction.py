#!/usr/bin/python3
"""The two reconstructions as a researcher writes them in numpy today.

Same formulas, sign conventions and centring as the C++ reconstructions, so
the timings compare like with like. Two uses:

    /usr/bin/python3 bench/numpy_reconstruction.py [repetitions]
prints the median time in milliseconds of fft2, Fresnel and Convolution for
each size;

    /usr/bin/python3 bench/numpy_reconstruction.py run EXPERIMENT OUTDIR
does what holorecon does with a Reconstruction experiment file: reads the
hologram picture once, reconstructs every set of the sweep in holorecon's
order and writes each intensity to OUTDIR/result_NN.png as a 24-bit grey
PNG with holorecon's grey levels. bench/speed times it beside holorecon.

The baseline may use numpy and Python's standard library only, not PIL
(Pillow), with which a researcher would write the pictures. PNGs are
therefore read and written with zlib and struct: the writer compresses at
zlib's level 6 with no row filter, as close as the standard library gets to
PIL's default PNG writer; the reader takes 8-bit pictures whose rows use no
filter or the Sub or Up filter (holosim writes unfiltered rows).
(Debian's python3-numpy; a python3 from elsewhere may lack numpy.)
"""
import itertools
import math
import os
import struct
import sys
import time
import xml.etree.ElementTree as ElementTree
import zlib

import numpy as np

WAVELENGTH = 532e-9
ANGLE = 0.02
DISTANCE = 0.1
PITCH = 3.45e-6


def subtract_local_mean(hologram):
    """Hologram minus the in-field 3 x 3 sum over 9 (missing neighbours 0)."""
    n = hologram.shape[0]
    padded = np.pad(hologram, 1)
    total = sum(padded[1 + dr:1 + dr + n, 1 + dc:1 + dc + n]
                for dr in (-1, 0, 1) for dc in (-1, 0, 1))
    return hologram - total / 9.0


def prepare(hologram, wavelength, angle, pitch):
    """Filtered hologram times the tilted reference wave, and the grid."""
    n = hologram.shape[0]
    filtered = subtract_local_mean(hologram)
    amplitude = np.sqrt(filtered.sum() / (n * n))
    x = (np.arange(n) - 0.5 * (n - 1)) * pitch
    xx, yy = np.meshgrid(x, x)
    k = 2 * np.pi / wavelength
    reference = amplitude * np.exp(-1j * k * np.sin(angle) * yy)
    return filtered * reference, xx, yy


def fresnel_field(hologram, wavelength, angle, z, pitch):
    n = hologram.shape[0]
    field, xx, yy = prepare(hologram, wavelength, angle, pitch)
    field = field * np.exp(-1j * np.pi / (wavelength * z) * (xx**2 + yy**2))
    a = np.roll(np.fft.ifft2(field), (n // 2, n // 2), axis=(0, 1))
    length = n * pitch
    k = np.arange(n) - (n - 1) // 2
    kx, ky = np.meshgrid(k, k)
    factor = (1j / (wavelength * z)) * np.exp(1j * 2 * np.pi * z / wavelength) \
        * np.exp(-1j * np.pi * wavelength * z * (kx**2 + ky**2) / length**2)
    return a * factor


def convolution_field(hologram, wavelength, angle, z, pitch):
    n = hologram.shape[0]
    field, xx, yy = prepare(hologram, wavelength, angle, pitch)
    rho = np.sqrt(xx**2 + yy**2 + z**2)
    kernel = 1j / (wavelength * rho) * np.exp(-1j * 2 * np.pi / wavelength * rho)
    u = np.fft.ifft2(np.fft.fft2(field) * np.fft.fft2(kernel))
    return np.roll(u, (n // 2, n // 2), axis=(0, 1))


def fresnel(hologram, wavelength, angle, z, pitch):
    u = fresnel_field(hologram, wavelength, angle, z, pitch)
    return np.abs(u)**2, u.imag / u.real


def convolution(hologram, wavelength, angle, z, pitch):
    u = convolution_field(hologram, wavelength, angle, z, pitch)
    return np.abs(u)**2, u.imag / u.real


# --- Whole runs of an experiment file ------------------------------------

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
CHANNELS = {0: 1, 2: 3, 6: 4}  # PNG colour type: grey, RGB, RGBA


def png_chunks(data):
    """(type, body) of every chunk after the signature."""
    if data[:8] != PNG_SIGNATURE:
        raise ValueError("not a PNG picture")
    at = 8
    while at + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        yield kind, data[at + 8:at + 8 + length]
        at += 12 + length


def unfilter(rows, bpp):
    """Undoes the None, Sub and Up row filters, in place, row by row."""
    for r in range(rows.shape[0]):
        kind, row = rows[r, 0], rows[r, 1:]
        if kind == 1:  # Sub: each byte adds the same channel on its left
            pixels = row.reshape(-1, bpp)
            pixels[:] = np.cumsum(pixels, axis=0, dtype=np.uint64) % 256
        elif kind == 2 and r > 0:  # Up: each byte adds the one above
            row += rows[r - 1, 1:]
        elif kind > 2:
            raise ValueError("rows filtered by Average or Paeth are not read")


def read_png(path):
    """The first channel of an 8-bit, non-interlaced PNG, top row first."""
    with open(path, "rb") as f:
        data = f.read()
    header, idat = None, bytearray()
    for kind, body in png_chunks(data):
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in CHANNELS or interlace != 0:
        raise ValueError(f"{path}: only 8-bit grey, RGB or RGBA pictures")
    channels = CHANNELS[colour]
    rows = np.frombuffer(zlib.decompress(idat), np.uint8).copy()
    rows = rows.reshape(height, 1 + width * channels)
    unfilter(rows, channels)
    return rows[:, 1::channels].astype(np.float64)


def hologram_window(picture, n, clip):
    """The n x n window of holorecon's preferredSize, zeros past the
    picture. Row 0 is the picture's bottom line, as holorecon reads it."""
    bottom_up = picture[::-1]
    height, width = bottom_up.shape
    y0 = int((height - n) / 2)  # truncated toward zero, as in C++
    x0 = {"Left": 0, "Right": width - n}.get(clip, int((width - n) / 2))
    window = np.zeros((n, n))
    rows = slice(max(0, -y0), min(n, height - y0))
    cols = slice(max(0, -x0), min(n, width - x0))
    window[rows, cols] = bottom_up[rows.start + y0:rows.stop + y0,
                                   cols.start + x0:cols.stop + x0]
    return window


def sweep_values(element):
    """The values of a Single or Range child: min + i * step up to max."""
    single = element.find("Single")
    if single is not None:
        return [float(single.get("value"))]
    sweep = element.find("Range")
    low, high = float(sweep.get("minVal")), float(sweep.get("maxVal"))
    step = float(sweep.get("step"))
    if not step > 0 or high < low:
        raise ValueError(f"<{element.tag}>: an endless range")
    count = math.floor((high - low) / step + 1e-9) + 1
    return [min(low + i * step, high) for i in range(count)]


def read_experiment(path):
    root = ElementTree.parse(path).getroot()
    if root.get("type") == "DHI":
        raise ValueError("DHI experiments are not reconstructed here")
    hologram, output = root.find("Hologram"), root.find("Output")
    names = ("Wavelength", "Angle", "ZDistance", "CcdPixelDistance")
    return {
        "convolution": root.get("method") == "Convolution",
        "picture": hologram.get("value"),
        "size": int(hologram.get("preferredSize")),
        "clip": hologram.get("clipType"),
        # wavelength slowest, pixel pitch fastest
        "sets": list(itertools.product(
            *(sweep_values(root.find(name)) for name in names))),
        "normalize": output.get("normalize", "")[:1] in tuple("1tTyY"),
        "brightness": float(output.get("brightness")),
    }


def grey_levels(values, normalize, brightness):
    """holorecon's grey: normalised over the finite range or scaled,
    clamped to 0..255 and truncated; NaN gives 0."""
    if normalize:
        finite = values[np.isfinite(values)]
        low = min(finite.min(initial=np.inf), float(np.finfo(np.float32).max))
        high = max(finite.max(initial=-np.inf),
                   float(np.finfo(np.float32).tiny))
        g = ((values - low) * (brightness * 255.0)) / (high - low)
    else:
        g = values * brightness
    g = np.clip(g, 0.0, 255.0)
    return np.where(np.isnan(g), 0.0, g).astype(np.uint8)


def png_chunk(kind, body):
    return (struct.pack(">I", len(body)) + kind + body
            + struct.pack(">I", zlib.crc32(kind + body)))


def encode_grey_rgb_png(grey):
    """A 24-bit PNG of the grey levels: unfiltered rows, zlib level 6."""
    height, width = grey.shape
    rows = np.zeros((height, 1 + 3 * width), np.uint8)  # filter byte 0
    rows[:, 1:] = np.repeat(grey, 3, axis=1)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (PNG_SIGNATURE + png_chunk(b"IHDR", header)
            + png_chunk(b"IDAT", zlib.compress(rows.tobytes(), 6))
            + png_chunk(b"IEND", b""))


def run(experiment_path, directory):
    """Reconstructs every set of the experiment into directory."""
    experiment = read_experiment(experiment_path)
    picture = read_png(experiment["picture"])
    n = experiment["size"]
    if n == 0:
        if picture.shape[0] != picture.shape[1]:
            raise ValueError("The image must be square")
        n = picture.shape[0]
    hologram = hologram_window(picture, n, experiment["clip"])
    reconstruct = convolution_field if experiment["convolution"] \
        else fresnel_field
    os.makedirs(directory, exist_ok=True)
    for index, (wavelength, angle, z, pitch) in enumerate(experiment["sets"]):
        with np.errstate(all="ignore"):
            u = reconstruct(hologram, wavelength, angle, z, pitch)
            intensity = u.real**2 + u.imag**2
        grey = grey_levels(intensity, experiment["normalize"],
                           experiment["brightness"])
        # The picture's top line is the field's last row.
        with open(os.path.join(directory, f"result_{index:02d}.png"),
                  "wb") as f:
            f.write(encode_grey_rgb_png(grey[::-1]))


# --- Timings of the reconstructions alone ---------------------------------

def median_ms(run_once, repetitions):
    """Median wall and processor time of run_once in ms, as Google Benchmark
    reports Time and CPU."""
    wall, cpu = [], []
    for _ in range(repetitions):
        start, start_cpu = time.perf_counter(), time.process_time()
        run_once()
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return 1000 * float(np.median(wall)), 1000 * float(np.median(cpu))


def print_timings(repetitions):
    random = np.random.default_rng(1)
    # The known single-sample values: intensity 512 / (lambda z)^2.
    intensity, _ = fresnel(np.full((1, 1), 9.0), 0.5, 0.3, 0.3, 1e-3)
    assert abs(intensity[0, 0] - 512 / 0.15**2) < 1e-9 * intensity[0, 0]
    print(f"numpy {np.__version__}; median of {repetitions} runs, "
          "ms wall / ms processor")
    print(f"{'N':>6} {'fft2':>14} {'Fresnel':>14} {'Convolution':>14}")
    for n in (256, 512, 1023, 1024, 2048):
        hologram = random.uniform(0, 255, (n, n))
        field = random.uniform(-1, 1, (n, n)) + 1j * random.uniform(-1, 1, (n, n))
        with np.errstate(all="ignore"):
            fft = median_ms(lambda: np.fft.fft2(field), repetitions)
            fre = median_ms(lambda: fresnel(hologram, WAVELENGTH, ANGLE,
                                            DISTANCE, PITCH), repetitions)
            con = median_ms(lambda: convolution(hologram, WAVELENGTH, ANGLE,
                                                DISTANCE, PITCH), repetitions)
        cells = " ".join(f"{w:>7.1f}/{c:<6.1f}" for w, c in (fft, fre, con))
        print(f"{n:>6} {cells}")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "run":
        if len(sys.argv) != 4:
            sys.exit("usage: numpy_reconstruction.py run EXPERIMENT OUTDIR")
        try:
            run(sys.argv[2], sys.argv[3])
        except (OSError, ValueError, AttributeError, TypeError,
                ElementTree.ParseError) as error:
            sys.exit(f"{sys.argv[2]}: {error}")
        return
    print_timings(int(sys.argv[1]) if len(sys.argv) > 1 else 7)


if __name__ == "__main__":
    main()
