import os
import subprocess
import sys


def test_a_second_test_run_stops_at_once_naming_the_taken_port():
    # This run holds 127.0.0.1:5656; another one must refuse to start rather than interfere.
    here = os.path.dirname(os.path.abspath(__file__))
    second = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         os.path.join(here, "test_port_guard.py")],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=60)
    assert second.returncode == 3
    assert "port 5656" in second.stdout and "taken" in second.stdout
