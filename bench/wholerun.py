"""What bench/speed and bench/speed3 share: whole runs of a program timed as a
user sees them, holorecon built as it was at an earlier commit, and the marks
of the tables. Imported by those scripts; not a program of its own.
"""
import contextlib
import os
import shutil
import subprocess
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "release")
HOLORECON = os.path.join(BUILD, "app", "holorecon")
HOLOSIM = os.path.join(BUILD, "tools", "holosim")
PYTHON = "/usr/bin/python3"


class Failure(Exception):
    """A step of a measurement that cannot go on; the script prints it."""


def child_environment():
    # A Python baseline must not leave bytecode in the repository, and
    # OpenBLAS's processor overrides (set on some machines) slow a current
    # numpy; they go together, for the children only.
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    env.pop("OPENBLAS_CORETYPE", None)
    env.pop("OPENBLAS_L2_SIZE", None)
    return env


# The highest one-minute load average seen as a run started: other work on
# the machine shows there first.
busiest = [0.0]


def timed_run(command, cwd, log, env=None):
    """Runs command to its end; (wall s, CPU s, peak resident KiB). The CPU
    time and peak are the child's own, as /usr/bin/time -v reports them
    (both come from wait4)."""
    busiest[0] = max(busiest[0], os.getloadavg()[0])
    with open(log, "w") as errors:
        start = time.perf_counter()
        child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL,
                                 stderr=errors,
                                 env=env or child_environment())
        try:
            _, status, usage = os.wait4(child.pid, 0)
        except BaseException:  # stopped: the child goes too
            child.kill()
            child.wait()
            raise
        wall = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        with open(log) as errors:
            raise Failure(f"{' '.join(command)} in {cwd} exited with "
                          f"{code}:\n{errors.read()[-2000:]}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def build_holorecon(source, build, log):
    """Configures and builds the holorecon of the source tree into build,
    without tests and benchmarks; its path."""
    with open(log, "w") as output:
        for step in (["cmake", "-S", source, "-B", build,
                      "-DCMAKE_BUILD_TYPE=Release", "-DHOLORECON_TESTS=OFF",
                      "-DHOLORECON_BENCH=OFF"],
                     ["cmake", "--build", build, "--target", "holorecon",
                      "-j", str(os.cpu_count())]):
            if subprocess.run(step, stdout=output, stderr=output).returncode:
                with open(log) as text:
                    raise Failure(f"building {source} failed:\n"
                                  f"{text.read()[-3000:]}")
    return os.path.join(build, "app", "holorecon")


def export_commit(commit, destination):
    """The files of commit, written to destination by git archive (nothing
    is written into the repository)."""
    os.makedirs(destination)
    archive = subprocess.Popen(["git", "-C", ROOT, "archive", commit],
                               stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", destination], stdin=archive.stdout,
                   check=True)
    if archive.wait() != 0:
        raise Failure(f"git archive {commit} failed")


@contextlib.contextmanager
def commit_worktree(commit, path):
    """A detached worktree of commit at path while the block runs, removed
    (with its record in the repository) afterwards, however it ends."""
    subprocess.run(["git", "-C", ROOT, "worktree", "add", "--detach",
                    "--quiet", path, commit], check=True,
                   stdout=subprocess.DEVNULL)
    try:
        yield path
    finally:
        subprocess.run(["git", "-C", ROOT, "worktree", "remove", "--force",
                        path], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(path, ignore_errors=True)
        subprocess.run(["git", "-C", ROOT, "worktree", "prune"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def commit_line():
    """This checkout's commit and date, and whether it has changes."""
    describe = subprocess.run(
        ["git", "-C", ROOT, "log", "-1", "--format=commit %h of %cd",
         "--date=short"], capture_output=True, text=True).stdout.strip()
    dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain",
                            "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
    return describe + (" (with uncommitted changes)" if dirty else "")


def mark(met):
    return "met    " if met else "NOT MET"


def png_scanlines(path):
    """The picture's header and decompressed rows (filter bytes included):
    equal for two files exactly when they hold the same pixels in the same
    form, whatever their compression."""
    with open(path, "rb") as f:
        data = f.read()
    at, header, idat = 8, b"", bytearray()
    while at + 8 <= len(data):
        length = int.from_bytes(data[at:at + 4], "big")
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            header = body
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    return header, zlib.decompress(bytes(idat))
