#!/usr/bin/python3
"""The off-axis pipeline of a hologram series as peers write it in numpy and
scikit-image, timed per frame: the baseline for holorecon's series.

    /usr/bin/python3 bench/numpy_offaxis.py run SERIES.tif PHASE.tif [options]
reads every page of a multi-page TIFF of holograms and, per page: its
spectrum (numpy.fft), the +1 sideband cut out as a disk of the given centre
and radius onto an M x M grid centred on it (which removes the carrier),
the angular spectrum propagation over z on that grid, the phase unwrapped by
skimage.restoration.unwrap_phase, a least-squares plane subtracted; the
phases go to PHASE.tif as 32-bit float pages. It prints the frames per
second of the whole loop, reading and writing included.

    /usr/bin/python3 bench/numpy_offaxis.py series SERIES.tif PICTURE...
stacks 8-bit PNG pictures (holosim's) into one multi-page TIFF.

    /usr/bin/python3 bench/numpy_offaxis.py demo [FRAMES]
makes a series of FRAMES (default 10) pictures with build/release's holosim
(the recording of bench/speed3, one noise seed per frame) in a temporary
directory and runs the pipeline on it with that recording's values.

Options of run (lengths in metres, frequencies in frequency samples of the
full picture, 1 / (N pitch) each, fy down the page as stored, whose first
row is the picture's top line):
  --wavelength L (6.328e-7)  --pitch P (6.8e-6)  --z Z (0.2)
  --angle A (0.01)    the default centre is the carrier, fy = -N pitch
                      sin(A) / L: there holosim's pictures (whose reference
                      wave's phase grows up the picture) hold the order that
                      focuses at +z, the object upright
  --centre FY FX      the sideband's centre instead
  --radius R          the disk's radius (default: a third of the centre's
                      distance from the zero frequency)
  --size M (256)      the edge of the cropped grid
It runs on one thread: the thread counts of OpenMP and the BLAS libraries
are set to 1 before numpy loads. Needs Debian's python3-numpy,
python3-skimage and python3-tifffile.
"""
import os

for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS",
                  "MKL_NUM_THREADS", "NUMEXPR_NUM_THREADS"):
    os.environ[_variable] = "1"

import argparse  # noqa: E402 (numpy must see the thread counts first)
import math  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import skimage.restoration  # noqa: E402
import tifffile  # noqa: E402

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from numpy_reconstruction import read_png  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOLOSIM = os.path.join(ROOT, "build", "release", "tools", "holosim")
# bench/speed3's recording.
RECORDING = {"size": 1024, "wavelength": 6.328e-7, "pitch": 6.8e-6,
             "distance": 0.2, "angle": 0.01}


def sideband(spectrum, centre, radius, m):
    """The m x m part of the centred spectrum around centre (fy, fx), zero
    outside the disk of radius, so that the centre lands on the grid's zero
    frequency."""
    n = spectrum.shape[0]
    row = n // 2 + int(round(centre[0])) - m // 2
    column = n // 2 + int(round(centre[1])) - m // 2
    crop = spectrum[row:row + m, column:column + m]
    k = np.arange(m) - m // 2
    ky, kx = np.meshgrid(k, k, indexing="ij")
    return np.where(ky * ky + kx * kx <= radius * radius, crop, 0)


def transfer(m, n, pitch, wavelength, z):
    """exp(-i 2 pi z sqrt(1 / wavelength^2 - fx^2 - fy^2)) on the centred
    m x m grid of frequencies k / (n pitch), zero for evanescent waves."""
    f = (np.arange(m) - m // 2) / (n * pitch)
    fy, fx = np.meshgrid(f, f, indexing="ij")
    root = 1.0 / wavelength**2 - fx**2 - fy**2
    phase = -2 * np.pi * z * np.sqrt(np.maximum(root, 0.0))
    return np.where(root > 0, np.exp(1j * phase), 0)


def without_plane(phase):
    """phase minus its least-squares plane a + b x + c y."""
    m = phase.shape[0]
    y, x = np.mgrid[0:m, 0:m].astype(np.float64)
    design = np.column_stack([np.ones(m * m), x.ravel(), y.ravel()])
    coefficients, *_ = np.linalg.lstsq(design, phase.ravel(), rcond=None)
    return phase - (design @ coefficients).reshape(m, m)


def frame_phase(hologram, centre, radius, m, h):
    """The pipeline of one hologram: its unwrapped phase less its plane."""
    spectrum = np.fft.fftshift(np.fft.fft2(hologram))
    cut = sideband(spectrum, centre, radius, m)
    field = np.fft.ifft2(np.fft.ifftshift(cut * h))
    unwrapped = skimage.restoration.unwrap_phase(np.angle(field))
    return without_plane(unwrapped)


def run(series, output, options):
    """Runs the pipeline over every page of series into output; prints and
    returns the frames per second."""
    with tifffile.TiffFile(series) as tif:
        pages = len(tif.pages)
        n = tif.pages[0].shape[0]
        centre = options.centre or (
            -n * options.pitch * math.sin(options.angle) / options.wavelength,
            0.0)
        radius = options.radius or math.hypot(*centre) / 3
        h = transfer(options.size, n, options.pitch, options.wavelength,
                     options.z)
        start = time.perf_counter()
        with tifffile.TiffWriter(output) as writer:
            for page in tif.pages:
                hologram = page.asarray().astype(np.float64)
                phase = frame_phase(hologram, centre, radius, options.size, h)
                writer.write(phase.astype(np.float32), contiguous=True)
        elapsed = time.perf_counter() - start
    rate = pages / elapsed
    print(f"{pages} frames of {n} x {n} (sideband at fy = {centre[0]:.1f}, "
          f"fx = {centre[1]:.1f}, radius {radius:.1f}; {options.size} x "
          f"{options.size} grid) in {elapsed:.2f} s: {rate:.2f} frames per "
          f"second on one thread")
    return rate


def stack(series, pictures):
    """The 8-bit pictures as the pages of one TIFF."""
    with tifffile.TiffWriter(series) as writer:
        for picture in pictures:
            writer.write(read_png(picture).astype(np.uint8), contiguous=True)


def demo(frames, options):
    """A holosim series of frames pictures, run through the pipeline."""
    if not os.access(HOLOSIM, os.X_OK):
        sys.exit(f"{HOLOSIM} is missing: run scripts/build release first")
    with tempfile.TemporaryDirectory(prefix="holorecon-offaxis-") as work:
        pictures = []
        for seed in range(1, frames + 1):
            picture = os.path.join(work, f"frame{seed:03d}.png")
            arguments = [f"--{key}={value}" for key, value in
                         RECORDING.items()]
            subprocess.run([HOLOSIM, *arguments, "--noise", "13", "--seed",
                            str(seed), picture], check=True,
                           stdout=subprocess.DEVNULL)
            pictures.append(picture)
        series = os.path.join(work, "series.tif")
        stack(series, pictures)
        return run(series, os.path.join(work, "phase.tif"), options)


def parse(arguments):
    parser = argparse.ArgumentParser(
        prog="numpy_offaxis.py",
        description="The peers' off-axis pipeline per frame, timed.")
    commands = parser.add_subparsers(dest="command", required=True)
    for name in ("run", "demo"):
        command = commands.add_parser(name)
        if name == "run":
            command.add_argument("series")
            command.add_argument("output")
        else:
            command.add_argument("frames", nargs="?", type=int, default=10)
        command.add_argument("--wavelength", type=float,
                             default=RECORDING["wavelength"])
        command.add_argument("--pitch", type=float,
                             default=RECORDING["pitch"])
        command.add_argument("--z", type=float,
                             default=RECORDING["distance"])
        command.add_argument("--angle", type=float,
                             default=RECORDING["angle"])
        command.add_argument("--centre", type=float, nargs=2,
                             metavar=("FY", "FX"))
        command.add_argument("--radius", type=float, default=0.0)
        command.add_argument("--size", type=int, default=256)
    series = commands.add_parser("series")
    series.add_argument("series")
    series.add_argument("pictures", nargs="+")
    return parser.parse_args(arguments)


def main():
    options = parse(sys.argv[1:])
    if options.command == "series":
        stack(options.series, options.pictures)
    elif options.command == "run":
        run(options.series, options.output, options)
    else:
        demo(options.frames, options)


if __name__ == "__main__":
    main()
