#!/usr/bin/python3
"""holorecon's Python module beside the same reconstructions in numpy.

    OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 \\
        /usr/bin/python3 bench/python_module.py [build-dir] [size] [repetitions]

Prints one table of median times in milliseconds on one thread, at 1024 x
1024 by default: holorecon.reconstruct with each method and
holorecon.propagate, each beside its numpy transcription (Fresnel and
Convolution from bench/numpy_reconstruction.py, the angular spectrum
written here with the same band limit), all measured in the same run,
and the largest difference between the two relative to the field's
largest magnitude. Run `scripts/build release` (or `scripts/build python`)
first.
"""
import os
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                        os.path.join(ROOT, "build", "release"))
SIZE = int(sys.argv[2]) if len(sys.argv) > 2 else 1024
REPETITIONS = int(sys.argv[3]) if len(sys.argv) > 3 else 15
sys.path[:0] = [os.path.join(BUILD, "python"), HERE]
import holorecon  # noqa: E402
import numpy_reconstruction as baseline  # noqa: E402

OPTICS = {"wavelength": 632.8e-9, "angle": 0.02, "z": 0.1, "pitch": 3.45e-6}


def transfer(n, z, wavelength, pitch):
    """The angular spectrum's transfer function with its band limit."""
    f = np.fft.fftfreq(n, pitch)
    fx, fy = np.meshgrid(f, f)
    root = 1 / wavelength**2 - fx**2 - fy**2
    h = np.exp(-2j * np.pi * z * np.sqrt(root.clip(0)))
    limit = 1 / (wavelength * np.sqrt((2 * z / (n * pitch))**2 + 1))
    h[(abs(fx) >= limit) | (abs(fy) >= limit) | (root <= 0)] = 0
    return h


def numpy_propagate(u, z, wavelength, pitch):
    return np.fft.ifft2(np.fft.fft2(u) * transfer(u.shape[0], z, wavelength, pitch))


def numpy_angular_spectrum(hologram, wavelength, angle, z, pitch):
    """reconstruct(method="AngularSpectrum") in numpy: the prepared hologram
    propagated, shown half a sample on (even n) and over pitch^2, as the
    module orients it (the picture's rows turned over and back)."""
    n = hologram.shape[0]
    field, _, _ = baseline.prepare(hologram[::-1].astype(np.float64), wavelength,
                                   angle, pitch)
    k = np.fft.fftfreq(n, 1 / n)
    shift = np.exp(1j * np.pi * np.add.outer(k, k) / n)
    spectrum = np.fft.fft2(field) * transfer(n, z, wavelength, pitch) * shift
    return np.fft.ifft2(spectrum)[::-1] / pitch**2


def numpy_reconstruct(method):
    field = {"Fresnel": baseline.fresnel_field,
             "Convolution": baseline.convolution_field}.get(method)
    if field is None:
        return lambda h: numpy_angular_spectrum(h, **OPTICS)
    # The baseline's own orientation and grid (no physical-grid factors);
    # compared by intensity.
    return lambda h: field(h[::-1].astype(np.float64), OPTICS["wavelength"],
                           OPTICS["angle"], OPTICS["z"], OPTICS["pitch"])[::-1]


def median_ms(call, argument):
    times = []
    for _ in range(REPETITIONS):
        start = time.perf_counter()
        call(argument)
        times.append(time.perf_counter() - start)
    return 1000 * statistics.median(times)


def main():
    rng = np.random.default_rng(1)
    hologram = rng.integers(0, 256, (SIZE, SIZE)).astype(np.uint8)
    field = rng.normal(size=(SIZE, SIZE)) + 1j * rng.normal(size=(SIZE, SIZE))
    optics = {k: OPTICS[k] for k in ("wavelength", "z", "pitch")}
    cases = [(f"reconstruct {m}", hologram,
              lambda h, m=m: holorecon.reconstruct(h, method=m, **OPTICS),
              numpy_reconstruct(m), m != "AngularSpectrum")
             for m in ("Fresnel", "Convolution", "AngularSpectrum")]
    cases.append(("propagate", field, lambda u: holorecon.propagate(u, **optics),
                  lambda u: numpy_propagate(u, **optics), False))
    print(f"{SIZE} x {SIZE}, one thread, median of {REPETITIONS} (ms)")
    print(f"{'call':<32}{'holorecon':>10}{'numpy':>10}{'ratio':>8}{'difference':>12}")
    for name, argument, ours, theirs, by_intensity in cases:
        ours(argument), theirs(argument)  # plans and caches warm
        a, b = ours(argument), theirs(argument)
        if by_intensity:
            a, b = np.abs(a)**2, np.abs(b)**2
        difference = np.abs(a - b).max() / np.abs(b).max()
        t_ours, t_numpy = median_ms(ours, argument), median_ms(theirs, argument)
        print(f"{name:<32}{t_ours:>10.1f}{t_numpy:>10.1f}"
              f"{t_numpy / t_ours:>7.1f}x{difference:>12.1e}")


if __name__ == "__main__":
    main()
