"""``python -m zolmar_sim [options]``: runs the zolmar-sim installed with velkarcmd.

The same options and exit codes as ``zolmar-sim`` itself (``python -m zolmar_sim --help``), for
when the scripts folder pip installed it into (``Scripts\\`` on Windows) is not on PATH.
"""
from __future__ import annotations

import csv
import glob
import os
import shutil
import subprocess
import sys
import sysconfig
from typing import Optional, Sequence

NAMES = ("zolmar-sim.exe", "zolmar-sim") if os.name == "nt" else ("zolmar-sim",)


class NotInstalled(Exception):
    pass


def _recorded() -> Optional[str]:
    """Where pip put zolmar-sim for the velkarcmd installed beside this file, read from the
    installation's own RECORD: right for --user, --prefix and --target installs too."""
    here = os.path.dirname(os.path.abspath(__file__))
    for record in glob.glob(os.path.join(here, "velkarcmd-*.dist-info", "RECORD")):
        try:
            with open(record, newline="", encoding="utf-8") as lines:
                for row in csv.reader(lines):
                    if row and os.path.basename(row[0]) in NAMES:
                        path = os.path.normpath(os.path.join(here, row[0]))
                        if os.path.isfile(path):
                            return path
        except OSError:
            continue
    return None


def find_executable() -> str:
    """zolmar-sim as installed with velkarcmd, else beside the running interpreter (its
    environment's scripts), else on PATH. NotInstalled if none."""
    found = _recorded()
    if found:
        return found
    for place in (sysconfig.get_path("scripts"), os.path.dirname(sys.executable)):
        found = shutil.which("zolmar-sim", path=place) if place else None
        if found:
            return found
    found = shutil.which("zolmar-sim")
    if found is None:
        raise NotInstalled(
            "zolmar-sim is not installed beside %s nor on PATH: install velkarcmd into the "
            "environment that runs the tests" % sys.executable)
    return found


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else list(argv)
    try:
        executable = find_executable()
    except NotInstalled as error:
        sys.stderr.write("zolmar_sim: %s\n" % error)
        return 2
    if sys.platform != "win32":
        # The simulator takes this process's place: signals reach it, and its exit code is ours.
        sys.stdout.flush()
        os.execv(executable, [executable] + args)
    import signal

    # Windows has no exec: Ctrl-C and Ctrl-Break reach both processes; this one waits for the
    # simulator to stop cleanly and passes on its exit code.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGBREAK, signal.SIG_IGN)
    return subprocess.call([executable] + args)


if __name__ == "__main__":
    sys.exit(main())
