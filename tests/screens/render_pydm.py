"""Opens a PyDM screen offscreen and waits for its widgets to connect.

    QT_QPA_PLATFORM=offscreen python render_pydm.py SCREEN.ui MACROS_JSON PNG SECONDS

Prints one JSON line: the channels of the screen's widgets, those connected,
and the seconds it took; saves a picture of the screen in PNG. Its own
program, run by tests/test_ioc_screens.py: PyDM's Qt application and its
pyepics channels live and end with this process (and tests/epics.py, a
helper of the suite, would stand in for pyepics' own module there).
"""
import json
import sys
import time

from qtpy.QtWidgets import QApplication


def main() -> None:
    screen, macros, picture, seconds = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3], float(sys.argv[4])
    app = QApplication(sys.argv[:1])
    from pydm.display import load_file
    from pydm.widgets.base import PyDMWidget

    started = time.monotonic()
    display = load_file(screen, macros=macros)
    display.show()
    widgets = display.findChildren(PyDMWidget)
    while time.monotonic() - started < seconds and not all(w._connected for w in widgets):
        app.processEvents()
        time.sleep(0.02)
    took = time.monotonic() - started
    for _ in range(25):  # the values and their alarms drawn
        app.processEvents()
        time.sleep(0.02)
    display.grab().save(picture)
    print(json.dumps({"channels": sorted(w.channel for w in widgets),
                      "connected": sorted(w.channel for w in widgets if w._connected), "seconds": took}))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
