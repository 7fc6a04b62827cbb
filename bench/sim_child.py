"""zolmar-sim as a child of a benchmark: started with a context manager, stopped on every path."""
import os
import shutil
import signal
import subprocess
import sys
import threading


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
    def __init__(self, *args):
        here = os.path.dirname(sys.executable)
        exe = shutil.which("zolmar-sim", path=here) or shutil.which("zolmar-sim")
        if exe is None:
            raise SystemExit("zolmar-sim is not installed beside %s" % sys.executable)
        self.args = [exe] + list(args)
        self.process = None

    def __enter__(self):
        # A SIGTERM to the bench unwinds through __exit__ like Ctrl-C does.
        signal.signal(signal.SIGTERM, _terminate_as_exit)
        self.process = subprocess.Popen(
            self.args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
            preexec_fn=_die_with_parent if sys.platform.startswith("linux") else None)
        try:
            banner = []
            reader = threading.Thread(target=lambda: banner.append(self.process.stdout.readline()))
            reader.daemon = True
            reader.start()
            reader.join(10)
            if not banner or "listening" not in banner[0]:
                detail = self.process.stderr.read() if self.process.poll() is not None else ""
                raise SystemExit("zolmar-sim did not start (is port 5656 taken?) %s" % detail)
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        if self.process is None or self.process.returncode is not None:
            return
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()

    def __exit__(self, *exc):
        self.stop()
        return False
