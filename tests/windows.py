"""Where Windows differs from Linux, and Wine, which is not Windows, from both: what the tests
expect on each, and why a case is skipped under Wine."""
import sys


def _wine_version():
    if sys.platform != "win32":
        return None
    import ctypes

    try:
        version = ctypes.WinDLL("ntdll").wine_get_version
    except (AttributeError, OSError):
        return None
    version.restype = ctypes.c_char_p
    return version().decode("ascii", "replace")


WINE_VERSION = _wine_version()
UNDER_WINE = WINE_VERSION is not None

# A datagram to a port nobody listens on is refused, and the connected socket's next receive
# says so: ConnectionRefusedError on Linux, ConnectionResetError on Windows.
NOBODY_LISTENING = ConnectionResetError if sys.platform == "win32" else ConnectionRefusedError
WINE_KEEPS_REFUSALS = ("Wine reports no refusal (ICMP port unreachable) on UDP: the receive "
                       "waits out its time-out instead")
