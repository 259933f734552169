"""Packaging rows: row_NAME(tmp_path) passes when the packaging does what NAME says."""

import os
import shutil
import subprocess

from binding_support import REPO, wait_for
from k7340.binding import library


def row_pip_install_puts_k7340sim_on_path(tmp_path):
    venv, link = tmp_path / "venv", tmp_path / "com1"  # Debian's setuptools and wheel build it
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv], check=True)
    pip = [str(venv / "bin" / "pip"), "-q", "--disable-pip-version-check", "install"]
    subprocess.run(pip + ["--no-build-isolation", str(REPO / "python")], check=True)
    sim = shutil.which("k7340sim", path="%s:%s" % (venv / "bin", os.defpath))
    assert sim == str(venv / "bin" / "k7340sim")
    shown = subprocess.run([sim, "--help"], capture_output=True, text=True)
    assert shown.stdout.startswith("usage: k7340sim --link PATH")
    served = subprocess.Popen([sim, "--link", str(link)])  # in the command's place: signals
    assert wait_for(link.is_symlink)
    served.terminate()
    assert served.wait(timeout=10) == 0 and not os.path.lexists(link)


def row_k7340_library_wins_over_the_package_copy(tmp_path):
    (tmp_path / library.LIBRARY_NAME).write_bytes(b"")
    assert library.candidates({"K7340_LIBRARY": "/x/lib.so"}, str(tmp_path)) == ["/x/lib.so"]
    assert library.candidates({}, str(tmp_path))[0] == str(tmp_path / library.LIBRARY_NAME)


def row_package_builds_deb_or_zip_or_both(tmp_path):
    for tool in ("bash", "dirname", "sed"):  # no build tools: each kind names those it needs
        os.symlink(shutil.which(tool), tmp_path / tool)
    package = str(REPO / "scripts" / "package")
    for arg, status, said, unsaid in (
        ("bogus", 2, "usage: scripts/package [deb|zip]", "missing"),
        ("deb", 1, "dpkg-buildpackage (Debian package dpkg-dev)", "zip"),
        ("zip", 1, "zip (Debian package zip)", "dpkg"),
    ):
        run = subprocess.run([package, arg], capture_output=True, env={"PATH": str(tmp_path)})
        out = (run.stdout + run.stderr).decode()
        assert (run.returncode, said in out, unsaid in out) == (status, True, False), out
