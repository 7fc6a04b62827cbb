"""Runs zolmar-sim, the stand-in application installed with the package, as a child process:
the plugin's own launcher, as a trading script's tests get it."""
import socket

import velkarcmd_testing

# The plugin's own lookup: the environment's scripts folder (Scripts\ on Windows), then PATH.
executable = velkarcmd_testing.find_executable
# subprocess.Popen, tried again when Wine refuses the process with its internal error.
popen = velkarcmd_testing._popen


class SimProcess(velkarcmd_testing.ZolmarSim):
    def __init__(self, *args, launcher=None):
        # `launcher`: the command that runs the simulator, zolmar-sim itself unless given.
        super().__init__(args, launcher=launcher)

    def stop(self, how=None):
        """Stops the process with the signal or console event `how`, by default as the pytest
        plugin does; returns (exit code, rest of stdout, stderr)."""
        code = super().stop(how)
        return code, self.stdout, self.stderr


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
