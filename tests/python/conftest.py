"""What the Python tests share: the built module, the console programs, and
simulated holograms recorded once per session."""
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("HOLORECON_BUILD", ROOT / "build" / "release"))
HOLORECON = BUILD / "app" / "holorecon"
HOLOSIM = BUILD / "tools" / "holosim"
sys.path.insert(0, str(BUILD / "python"))

# 64 x 64 pixels of 6.7 um at 632.8 nm: z_c = 4.6 mm, so 27.3 mm is far
# enough for every method.
OPTICS = {"wavelength": 632.8e-9, "pitch": 6.7e-6, "angle": 0.03}
Z = 0.0273


def holosim(folder, picture, *options):
    """Runs holosim into folder with OPTICS; the picture's path."""
    subprocess.run([str(HOLOSIM), "--size", "64", "--distance", str(Z),
                    "--wavelength", str(OPTICS["wavelength"]),
                    "--pitch", str(OPTICS["pitch"]),
                    "--angle", str(OPTICS["angle"]), *options, picture],
                   cwd=folder, check=True)
    return folder / picture


def experiment_xml(picture, method="Convolution", z=f'<Single value="{Z}"/>',
                   elements=""):
    return f"""<Experiment type="Reconstruction" method="{method}">
  <Hologram value="{picture}" preferredSize="0" clipType="Center"/>
  <Wavelength><Single value="{OPTICS['wavelength']}"/></Wavelength>
  <Angle><Single value="{OPTICS['angle']}"/></Angle>
  <ZDistance>{z}</ZDistance>
  <CcdPixelDistance><Single value="{OPTICS['pitch']}"/></CcdPixelDistance>
  <Output normalize="true" brightness="1"/>
  {elements}
</Experiment>"""


def console(folder, name, xml):
    """Runs holorecon on xml in folder; its run directory and its output."""
    (folder / (name + ".xml")).write_text(xml)
    done = subprocess.run([str(HOLORECON), "--output", name, name + ".xml"],
                          cwd=folder, capture_output=True, text=True)
    return folder / name, done


@pytest.fixture(scope="session")
def recorded(tmp_path_factory):
    """A rough object recorded by holosim, and the same picture as a 16-bit
    and a float TIFF and as an RGB PNG: the files cameras and tools give."""
    import tifffile
    folder = tmp_path_factory.mktemp("recorded")
    grey = read_png(holosim(folder, "holo.png", "--diffuse"))
    tifffile.imwrite(folder / "holo16.tif", grey.astype(np.uint16) * 257)
    tifffile.imwrite(folder / "holofloat.tif", (grey / 255.0).astype(np.float32))
    tifffile.imwrite(folder / "rgb.tif", np.dstack([grey, grey // 2, grey // 3]),
                     photometric="rgb")
    return folder


def read_png(path):
    """The 8-bit grey levels (or RGB triples) of a PNG file, as numpy reads
    them with matplotlib's reader: row 0 the top line."""
    import matplotlib.image
    return np.rint(matplotlib.image.imread(path) * 255).astype(np.uint8)
