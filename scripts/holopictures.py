"""Drawing holorecon's float TIFFs and focus curves with matplotlib, for the
scripts that make pictures to look at (render-tiff, plot-focus, figures).
Needs Debian's python3-numpy, python3-matplotlib and python3-tifffile.

Every reading function raises PictureError with one line for the user, so
that a script can say what is wrong and exit 1 instead of a traceback."""
import math
import sys

import numpy as np

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

# Metres per unit of the experiment's length units, as the TIFFs name them.
METRES = {"m": 1.0, "mm": 1e-3, "micron": 1e-6, "um": 1e-6, "nm": 1e-9}
# The names a scale bar is labelled in, largest first.
PREFIXES = [(1.0, "m"), (1e-3, "mm"), (1e-6, "\u00b5m"), (1e-9, "nm")]


class PictureError(Exception):
    """What is wrong with an input, as one line for the user."""


def fail(program, error):
    """Ends a script with its one-line message and status 1."""
    print(f"{program}: {error}", file=sys.stderr)
    sys.exit(1)


def length_unit(wavelength):
    """The experiment's length unit, inferred from the wavelength as holorecon
    does: m for 3e-8 to 3e-5, mm, micron, nm for the next ranges; else None."""
    for low, unit in ((3e-8, "m"), (3e-5, "mm"), (0.03, "micron"), (30, "nm")):
        if low <= wavelength < low * 1000:
            return unit
    return None


def read_tiff(path):
    """The values of a float TIFF (top line first) and its record: 'unit',
    'vunit', 'quantity' (from the ImageJ description; None when absent) and
    'pixel', the pixel width in that unit from the resolution (None when
    the file has none)."""
    import tifffile
    try:
        with tifffile.TiffFile(path) as tiff:
            page = tiff.pages[0]
            values = page.asarray().astype(np.float64)
            record = tiff.imagej_metadata or {}
            resolution = page.tags.get("XResolution")
    except FileNotFoundError:
        raise PictureError(f"{path}: no such file")
    except tifffile.TiffFileError as error:
        raise PictureError(f"{path} is not a TIFF that can be read ({error})")
    except (OSError, ValueError, IndexError, KeyError) as error:
        raise PictureError(f"{path} cannot be read, it may be cut short ({error})")
    if values.ndim != 2:
        raise PictureError(f"{path} holds {values.ndim}-D data, not one grey picture")
    if not np.isfinite(values).any():
        raise PictureError(f"{path} holds no finite value to draw")
    pixel = None
    if resolution is not None:
        numerator, denominator = resolution.value
        if numerator > 0:
            pixel = denominator / numerator
    return values, {"unit": record.get("unit"), "vunit": record.get("vunit"),
                    "quantity": record.get("quantity"), "pixel": pixel}


def nice_length(longest):
    """The largest 1, 2 or 5 times a power of ten not above longest."""
    power = 10.0 ** math.floor(math.log10(longest))
    return max(f * power for f in (1, 2, 5) if f * power <= longest)


def length_label(metres):
    """A length in metres as '200 \u00b5m', '1.5 mm'."""
    for scale, name in PREFIXES:
        if metres >= scale * 0.999:
            return f"{metres / scale:g} {name}"
    return f"{metres / 1e-9:g} nm"


def scale_bar(ax, width, pixel, unit):
    """A bar of a round length, about a fifth of the picture's width, in its
    lower left corner; in pixels when the picture has no calibration."""
    if pixel is not None and unit in METRES:
        metres = nice_length(width * pixel * METRES[unit] / 5)
        pixels, label = metres / (pixel * METRES[unit]), length_label(metres)
    else:
        pixels = nice_length(width / 5)
        label = f"{pixels:g} pixels"
    x, y = 0.04 * width, 0.94 * width
    from matplotlib import patheffects
    ax.plot([x, x + pixels], [y, y], color="white", linewidth=3,
            solid_capstyle="butt",
            path_effects=[patheffects.withStroke(linewidth=5, foreground="black")])
    ax.text(x, y - 0.03 * width, label, color="white", fontsize=9,
            fontweight="bold", va="bottom",
            bbox={"facecolor": "black", "alpha": 0.5, "pad": 1.5, "linewidth": 0})


def value_label(record):
    """The colour bar's label: the quantity and its unit ('phase (rad)')."""
    import re
    quantity = re.sub(r"(?<=[a-z])(?=[A-Z])", " ",
                      record.get("quantity") or "value").lower()
    unit = record.get("vunit") or "grey value"
    return f"{quantity} ({unit})"


def draw(ax, values, record, low=None, high=None, title=None):
    """One float picture in grey from low (black) to high (white), by default
    its finite range, with a colour bar in its value unit and a scale bar;
    NaN shows as dark red."""
    finite = values[np.isfinite(values)]
    low = finite.min() if low is None else low
    high = finite.max() if high is None else high
    cmap = plt.get_cmap("gray").copy()
    cmap.set_bad("darkred")
    image = ax.imshow(np.ma.masked_invalid(values), cmap=cmap, vmin=low,
                      vmax=high, interpolation="nearest")
    ax.set_xticks([])
    ax.set_yticks([])
    if title:
        ax.set_title(title, fontsize=10)
    scale_bar(ax, values.shape[1], record.get("pixel"), record.get("unit"))
    bar = ax.figure.colorbar(image, ax=ax, fraction=0.046, pad=0.03)
    bar.set_label(value_label(record), fontsize=9)
    bar.ax.tick_params(labelsize=8)
    return image


FIGURES = ["NormalizedVariance", "TenenbaumGradient", "TamuraGradient",
           "IntegratedAmplitude"]
# Largest is sharpest, except the integrated amplitude of an amplitude
# object.
SMALLEST_IS_SHARPEST = {"IntegratedAmplitude"}


def read_focus(path, figures):
    """z and the named figures of every set of focus.csv, the refined z
    (None without one) and the experiment's length unit."""
    import csv
    try:
        with open(path, newline="") as file:
            rows = list(csv.DictReader(file))
    except OSError as error:
        raise PictureError(f"{path}: {error.strerror}")
    except (csv.Error, UnicodeDecodeError) as error:
        raise PictureError(f"{path} is not a focus.csv ({error})")
    header = rows[0].keys() if rows else []
    for name in ["index", "zDistance"] + list(figures):
        if name not in header:
            known = ", ".join(n for n in header if n in FIGURES) or "none"
            what = f"no figure '{name}'" if name not in ("index", "zDistance") \
                else f"no column '{name}'"
            raise PictureError(f"{path} has {what} (its figures: {known})")
    sets = [r for r in rows if r["index"] != "refined"]
    refined = [r for r in rows if r["index"] == "refined"]

    def numbers(column, rows_):
        return np.array([float(r[column]) if r[column] else np.nan for r in rows_])

    try:
        z = numbers("zDistance", sets)
        curves = {f: numbers(f, sets) for f in figures}
        refined_z = float(refined[0]["zDistance"]) if refined else None
        wavelength = float(sets[0]["wavelength"]) if sets and sets[0]["wavelength"] else None
    except ValueError as error:
        raise PictureError(f"{path} holds a value that is not a number ({error})")
    if not np.isfinite(z).any():
        raise PictureError(f"{path} has no z distances")
    for name, values in curves.items():
        if not np.isfinite(values).any():
            raise PictureError(f"{path} has no values of {name} "
                               "(no set was reconstructed, or every region was dark)")
    return z, curves, refined_z, length_unit(wavelength) if wavelength else None


def plot_focus(ax, z, curves, refined, unit):
    """Each figure scaled to its own range against z, a ring on its sharpest
    set, the refined z as a dashed line; the legend, below the plot, names
    every curve with its sharpest z."""
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for colour, (name, values) in zip(colours, curves.items()):
        ok = np.isfinite(values) & np.isfinite(z)
        low, high = values[ok].min(), values[ok].max()
        scaled = (values - low) / (high - low if high > low else 1.0)
        best = np.nanargmin(values) if name in SMALLEST_IS_SHARPEST else np.nanargmax(values)
        extreme = "smallest" if name in SMALLEST_IS_SHARPEST else "largest"
        ax.plot(z[ok], scaled[ok], "-", color=colour, marker=".",
                label=f"{name} (sharpest, {extreme}, at z = {z[best]:.6g})")
        ax.plot(z[best], scaled[best], "o", color=colour, markersize=11,
                markerfacecolor="none", markeredgewidth=2)
    ax.plot([], [], "o", color="grey", markerfacecolor="none", markeredgewidth=2,
            label="sharpest set of each figure")
    if refined is not None:
        ax.axvline(refined, color="black", linestyle="--", linewidth=1,
                   label=f"refined z = {refined:.6g}")
    ax.set_xlabel(f"z distance ({unit})" if unit else "z distance")
    ax.set_ylabel("figure scaled to its range")
    ax.set_ylim(-0.08, 1.08)
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.18),
              frameon=False)
