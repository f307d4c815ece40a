#!/usr/bin/python3
"""The two reconstructions as a researcher writes them in numpy today.

Same formulas, sign conventions and centring as the C++ reconstructions, so
the timings compare like with like. Prints the median time in milliseconds
of fft2, Fresnel and Convolution for each size:
    /usr/bin/python3 bench/numpy_reconstruction.py [repetitions]
(Debian's python3-numpy; a python3 from elsewhere may lack numpy.)
"""
import sys
import time

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


def fresnel(hologram, wavelength, angle, z, pitch):
    n = hologram.shape[0]
    field, xx, yy = prepare(hologram, wavelength, angle, pitch)
    field = field * np.exp(-1j * np.pi / (wavelength * z) * (xx**2 + yy**2))
    a = np.roll(np.fft.ifft2(field), (n // 2, n // 2), axis=(0, 1))
    length = n * pitch
    k = np.arange(n) - (n - 1) // 2
    kx, ky = np.meshgrid(k, k)
    factor = (1j / (wavelength * z)) * np.exp(1j * 2 * np.pi * z / wavelength) \
        * np.exp(-1j * np.pi * wavelength * z * (kx**2 + ky**2) / length**2)
    u = a * factor
    return np.abs(u)**2, u.imag / u.real


def convolution(hologram, wavelength, angle, z, pitch):
    n = hologram.shape[0]
    field, xx, yy = prepare(hologram, wavelength, angle, pitch)
    rho = np.sqrt(xx**2 + yy**2 + z**2)
    kernel = 1j / (wavelength * rho) * np.exp(-1j * 2 * np.pi / wavelength * rho)
    u = np.fft.ifft2(np.fft.fft2(field) * np.fft.fft2(kernel))
    u = np.roll(u, (n // 2, n // 2), axis=(0, 1))
    return np.abs(u)**2, u.imag / u.real


def median_ms(run, repetitions):
    """Median wall and processor time of run in ms, as Google Benchmark
    reports Time and CPU."""
    wall, cpu = [], []
    for _ in range(repetitions):
        start, start_cpu = time.perf_counter(), time.process_time()
        run()
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return 1000 * float(np.median(wall)), 1000 * float(np.median(cpu))


def main():
    repetitions = int(sys.argv[1]) if len(sys.argv) > 1 else 7
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


if __name__ == "__main__":
    main()
