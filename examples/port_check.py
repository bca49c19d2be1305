"""Tell a missing, busy or silent port from a working instrument before a run.

    python port_check.py PORT [--timeout 0.5]

Exit status: 0 the instrument answered, 2 the port is missing, busy or cannot
be opened, 3 the port opened but no KQ2741 answered (or not as one would)."""
from __future__ import annotations

import argparse
import os
import sys

try:
    import serial
    from kq2741ctl import MAX_TIMEOUT, Attenuator, InstrumentError, NoAnswer, PortBusy
except ModuleNotFoundError as missing:
    print(f"{os.path.basename(__file__)} needs the kq2741 package ({missing.name} is missing): "
          "pip install . in the kq2741 checkout, or pip install its wheel", file=sys.stderr)
    raise SystemExit(2) from None


def timeout(text: str) -> float:
    """An argparse type: seconds to wait for the answer, as the Attenuator takes them."""
    value = float(text)
    if not 0 < value <= MAX_TIMEOUT:
        raise argparse.ArgumentTypeError(f"must be above 0 and at most {MAX_TIMEOUT} s, not {text}")
    return value


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", help="e.g. /dev/ttyUSB0, /dev/serial/by-id/..., or a pyserial URL")
    parser.add_argument("--timeout", type=timeout, default=0.5, help="seconds (default 0.5)")
    args = parser.parse_args()
    port = args.port
    if "://" not in port and not os.path.exists(port):
        print(f"{port}: no such port; is the adapter plugged in?")
        return 2
    try:
        with Attenuator(port, timeout=args.timeout) as att:
            v = att.version
    except PortBusy as busy:  # names the process holding it, when it can be seen
        print(f"{port}: busy: {busy}")
        return 2
    except NoAnswer:
        print(f"{port}: opened, but no instrument answered within {args.timeout} s")
        return 3
    except InstrumentError as error:
        print(f"{port}: something answered, but not as a KQ2741: {error}")
        return 3
    except serial.SerialException as error:
        print(f"{port}: cannot be opened: {error}")
        return 2
    print(f"{port}: KQ2741 version {v.module}.{v.hardware}.{v.software}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
