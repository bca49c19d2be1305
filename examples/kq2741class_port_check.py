"""Handle a missing or busy port cleanly before talking to the instrument.

    python kq2741class_port_check.py PORT

Exit status: 0 the instrument answered, 2 the port is busy or cannot be
opened, 3 the port opened but the instrument did not answer.

For code written against the class KQ2741 of the module kq2741 (mdB, a
fixed 0.2 s wait, None on failure); new code: port_check.py, on
kq2741ctl.Attenuator."""
from __future__ import annotations

import argparse
import os
import sys

try:
    from kq2741 import KQ2741
except ModuleNotFoundError as missing:
    print(f"{os.path.basename(__file__)} needs the kq2741 package ({missing.name} is missing): "
          "pip install . in the kq2741 checkout, or pip install its wheel", file=sys.stderr)
    raise SystemExit(2) from None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", help="e.g. /dev/ttyUSB0 or COM3")
    port = parser.parse_args().port
    if not os.path.exists(port):
        print(f"{port}: no such port; is the adapter plugged in?")
        return 2
    kq = KQ2741(port)
    if not kq.check_port_available():
        print(f"{port}: busy; another program holds it (see: lsof {port})")
        return 2
    if not kq.open():  # it may have been taken since the check
        return 2
    try:
        version = kq.read_device_version()
    finally:
        kq.close()
    if version is None:
        print(f"{port}: opened, but no instrument answered")
        return 3
    print(f"{port}: KQ2741 version {version}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
