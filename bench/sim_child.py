"""zolmar-sim as a child of a benchmark: the plugin's launcher, stopped on every path."""
import signal
import sys

import velkarcmd_testing


def _die_with_parent():
    # Linux only: the simulator gets SIGTERM if the bench itself is killed outright.
    try:
        import ctypes

        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except Exception:
        pass


def _terminate_as_exit(signum, frame):
    raise SystemExit(128 + signum)


class Simulator(object):
    """``with Simulator(*args):`` runs zolmar-sim with those arguments for the block."""

    def __init__(self, *args):
        self.args = list(args)
        self.sim = None

    def __enter__(self):
        # A SIGTERM to the bench unwinds through __exit__ like Ctrl-C does.
        signal.signal(signal.SIGTERM, _terminate_as_exit)
        linux = sys.platform.startswith("linux")
        try:
            self.sim = velkarcmd_testing.ZolmarSim(
                self.args, preexec_fn=_die_with_parent if linux else None)
        except velkarcmd_testing.ZolmarSimError as error:
            raise SystemExit(str(error)) from None
        return self

    def __exit__(self, *exc):
        if self.sim is not None:
            self.sim.stop()
        return False
