"""The picture scripts and the Slurm wrapper on files a run or a user may
hand them: a picture for the good ones, one line and exit status 1 for the
bad ones, never a traceback."""
import os
import subprocess

import numpy as np
import pytest
import tifffile

from conftest import ROOT

HEADER = ("index,wavelength,angle,zDistance,ccdPixelDistance,NormalizedVariance,"
          "TenenbaumGradient,TamuraGradient,IntegratedAmplitude\n")
SWEEP = HEADER + "".join(f"{i},6.328e-07,0.03,{0.01 + i * 0.001},6.7e-06,"
                         f"{1 + i % 3},{2 - i % 2},{0.5 + i},{10 - i}\n" for i in range(5))


def tiff(path, values, **extra):
    tifffile.imwrite(path, np.asarray(values, np.float32), imagej=True,
                     resolution=(1 / 6.7e-6, 1 / 6.7e-6),
                     metadata={"unit": "m", "vunit": "rad", **extra})
    return path


def cut(path):
    data = path.read_bytes()
    path.write_bytes(data[:len(data) // 2])
    return path


def png(path):
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 64)
    return path


def run(script, *arguments, env=None):
    return subprocess.run([str(ROOT / "scripts" / script), *map(str, arguments)],
                          capture_output=True, text=True, env=env)


@pytest.mark.parametrize("script, make, extra, problem", [
    ("plot-focus", lambda d: d / "f.csv", [], None),
    ("plot-focus", lambda d: d / "f.csv", ["TamuraGradient", "IntegratedAmplitude"], None),
    ("plot-focus", lambda d: (d / "e.csv", HEADER + "0,6.328e-07,0.03,0.01,6.7e-06,,,,\n"),
     [], "no values of NormalizedVariance"),
    ("plot-focus", lambda d: d / "f.csv", ["Sharpness"], "no figure 'Sharpness'"),
    ("plot-focus", lambda d: (d / "z.csv", HEADER + "0,6.328e-07,0.03,,6.7e-06,1,2,3,4\n"),
     [], "no z distances"),
    ("plot-focus", lambda d: d / "missing.csv", [], "No such file"),
    ("render-tiff", lambda d: tiff(d / "p.tif", np.outer(np.arange(32), np.ones(32))), [], None),
    ("render-tiff", lambda d: tiff(d / "nan.tif", np.full((8, 8), np.nan)), [], "no finite value"),
    ("render-tiff", lambda d: cut(tiff(d / "cut.tif", np.ones((64, 64)))), [], "cut short"),
    ("render-tiff", lambda d: png(d / "p.png"), [], "not a TIFF"),
])
def test_picture_scripts_draw_or_say_why(tmp_path, script, make, extra, problem):
    made = make(tmp_path)
    path, text = made if isinstance(made, tuple) else (made, SWEEP)
    if path.suffix == ".csv" and path.name != "missing.csv":
        path.write_text(text)
    out = tmp_path / "out.png"
    done = run(script, path, out, *extra)
    if problem is None:
        assert done.returncode == 0, done.stderr
        assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert done.returncode == 1 and not out.exists()
        assert problem in done.stderr and len(done.stderr.splitlines()) == 1, done.stderr


@pytest.fixture
def fake_sbatch(tmp_path):
    """An sbatch that logs its arguments and answers with job ids; a second
    call fails when FAIL_MERGE is set."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    sbatch = bin_dir / "sbatch"
    sbatch.write_text('#!/bin/bash\necho "$*" >> "$LOG"\n'
                      'n=$(wc -l < "$LOG")\n'
                      '[[ -n ${FAIL_MERGE:-} && $n == 2 ]] && exit 1\n'
                      'echo $((100 + n))\n')
    sbatch.chmod(0o755)
    (tmp_path / "e.xml").write_text("<Experiment/>")
    env = {**os.environ, "PATH": f"{bin_dir}:{os.environ['PATH']}", "LOG": str(tmp_path / "log")}
    return tmp_path, env


@pytest.mark.parametrize("options, problem", [
    (["--partition=short"], None),
    (["--dependency=afterany:7"], "leave out --dependency=afterany:7"),
    (["-d", "afterany:7"], "leave out -d"),
    (["--dep=singleton"], "leave out --dep=singleton"),
    (["-dafterany:7"], "leave out -dafterany:7"),
    (["--array=1-2"], "leave out --array=1-2"),
])
def test_submit_keeps_the_merge_behind_every_task(fake_sbatch, options, problem):
    folder, env = fake_sbatch
    done = run("slurm/submit", "-n", "3", folder / "e.xml", folder / "run dir", *options, env=env)
    if problem:
        assert done.returncode == 1 and problem in done.stderr
        assert not (folder / "log").exists()
        return
    assert done.returncode == 0, done.stderr
    sweep, merge = (folder / "log").read_text().splitlines()
    # The jobs' own options come after the user's, so that theirs win.
    assert sweep.index("--partition=short") < sweep.index("--array=1-3")
    assert merge.index("--partition=short") < merge.index("--dependency=afterok:101")


def test_submit_quotes_the_run_directory_in_its_hint(fake_sbatch):
    folder, env = fake_sbatch
    done = run("slurm/submit", folder / "e.xml", folder / "run dir", env={**env, "FAIL_MERGE": "1"})
    assert done.returncode == 1
    assert "run\\ dir" in done.stderr
