"""Runs zolmar-sim, the stand-in application installed with the package, as a child process."""
import os
import socket
import subprocess
import threading
import time

import velkarcmd_testing

# Wine, not Windows, now and then refuses to start a process with "Internal error".
WINE_INTERNAL_ERROR = 1359

# The plugin's own lookup: the environment's scripts folder (Scripts\ on Windows), then PATH.
executable = velkarcmd_testing.find_executable


def popen(args, **options):
    """subprocess.Popen, tried again when Wine refuses the process with its internal error."""
    for attempt in range(3):
        try:
            return subprocess.Popen(args, **options)
        except OSError as error:
            if getattr(error, "winerror", None) != WINE_INTERNAL_ERROR or attempt == 2:
                raise
            time.sleep(0.1)


class SimProcess(object):
    def __init__(self, *args, launcher=None):
        # `launcher`: the command that runs the simulator, zolmar-sim itself unless given.
        self.args = list(launcher or [executable()]) + list(args)
        # On Windows a process group of its own, so that console events reach it alone.
        flags = subprocess.CREATE_NEW_PROCESS_GROUP if os.name == "nt" else 0
        self.process = popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, creationflags=flags)
        self.banner = self._read_banner()

    def _read_banner(self):
        result = []
        reader = threading.Thread(target=lambda: result.append(self.process.stdout.readline()))
        reader.daemon = True
        reader.start()
        reader.join(10)
        if not result or "listening" not in result[0]:
            self.process.kill()
            out, err = self.process.communicate()
            raise RuntimeError("zolmar-sim did not start: %r %r" % (result, err))
        return result[0]

    def stop(self, how=None):
        """Stops the process with the signal or console event `how`, by default as the pytest
        plugin does; returns (exit code, rest of stdout, stderr)."""
        if self.process.poll() is None:
            if how is None:
                velkarcmd_testing.ask_to_stop(self.process)
            else:
                self.process.send_signal(how)
        try:
            out, err = self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired as error:
            self.process.kill()
            out, err = self.process.communicate()
            raise AssertionError("zolmar-sim did not stop on %s" % (how or "request")) from error
        return self.process.returncode, out, err


def raw_exchange(payload, until_over=False, timeout=5):
    """Sends one datagram to the port; returns the first reply datagram, or all of them up to
    "over", each read 65536 bytes at a time so that one past 4096 bytes shows its true size."""
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    client.settimeout(timeout)
    try:
        client.connect(("127.0.0.1", 5656))
        client.send(payload)
        replies = [client.recv(65536)]
        while until_over and replies[-1] != b"over":
            replies.append(client.recv(65536))
        return replies
    finally:
        client.close()
