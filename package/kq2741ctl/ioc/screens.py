"""Operator screens for the IOC, made from the PV table: a Phoebus display
(.bob) and a PyDM display (.ui).

One row for the instrument (version, connected, close the display), then one
row a channel, one column a PV of the channel's table in its order: a
setting is an entry field, an action a button that writes 1, a read-back a
text update (a LED for a bi). The package ships both for channels 1-4 with
the prefix as the macro P (``screens/``, made by ``write``);
``kq2741-ioc --screens DIR`` writes them for its own --prefix and --channels.
"""
from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from xml.sax.saxutils import escape

from .pvs import CHANNEL, CHANNEL_PREFIX, INSTRUMENT, Pv

BOB = "kq2741.bob"
UI = "kq2741.ui"
SHIPPED = Path(__file__).with_name("screens")
DEFAULT_PREFIX = "KQ2741:"
DEFAULT_CHANNELS = (1, 2, 3, 4)

# Cell sizes in pixels.
ROW, LABEL, CELL, WIDE, GAP = 28, 70, 110, 160, 6


@dataclass(frozen=True)
class Cell:
    row: int
    column: int
    kind: str  # "label", "entry", "update", "button", "led"
    text: str = ""  # a label's text, a button's
    pv: str = ""  # after the prefix
    wide: bool = False


def _kind(pv: Pv) -> str:
    if pv.action:
        return "button"
    if pv.writable:
        return "entry"
    return "led" if pv.record == "bi" else "update"


def _header(pv: Pv) -> str:
    return pv.pvi.replace("_", " ") + (" set" if pv.writable and not pv.action else "")


def cells(channels: tuple[int, ...]) -> list[Cell]:
    """The screen's grid, every PV of the table in its place."""
    grid = [Cell(0, 0, "label", "KQ2741")]
    column = 1
    for pv in INSTRUMENT:
        kind = _kind(pv)
        if kind != "button":
            grid.append(Cell(0, column, "label", pv.pvi.replace("_", " ")))
            column += 1
        grid.append(Cell(0, column, kind, pv.states[1] if pv.states and kind == "button" else "", pv.suffix))
        column += 1
    for column, pv in enumerate(CHANNEL, start=1):
        if not pv.action:
            grid.append(Cell(1, column, "label", _header(pv), wide=pv.record == "waveform"))
    for row, n in enumerate(channels, start=2):
        grid.append(Cell(row, 0, "label", f"CH {n}"))
        for column, pv in enumerate(CHANNEL, start=1):
            grid.append(Cell(row, column, _kind(pv), pv.states[1] if pv.states else "",
                             CHANNEL_PREFIX.format(n=n) + pv.suffix, wide=pv.record == "waveform"))
    return grid


def pv_names(prefix: str, channels: tuple[int, ...]) -> list[str]:
    return [prefix + cell.pv for cell in cells(channels) if cell.pv]


def _x(column: int, grid: list[Cell]) -> int:
    widths = {c.column: WIDE if c.wide else CELL for c in grid}
    return GAP + sum(LABEL + GAP if col == 0 else widths.get(col, CELL) + GAP for col in range(column))


def bob(prefix: str, channels: tuple[int, ...], macro: bool) -> str:
    """A Phoebus display; with macro, names start with $(P) and P defaults to prefix."""
    grid = cells(channels)
    start = "$(P)" if macro else prefix
    widgets = []
    for c in grid:
        width = LABEL if c.column == 0 else (WIDE if c.wide else CELL)
        place = (f"<x>{_x(c.column, grid)}</x><y>{GAP + c.row * (ROW + GAP)}</y>"
                 f"<width>{width}</width><height>{ROW}</height>")
        name = escape(c.pv or c.text)
        pv = escape(start + c.pv)
        if c.kind == "label":
            widgets.append(f'<widget type="label" version="2.0.0"><name>{name}</name>'
                           f"<text>{escape(c.text)}</text>{place}</widget>")
        elif c.kind == "update":
            widgets.append(f'<widget type="textupdate" version="2.0.0"><name>{name}</name>'
                           f"<pv_name>{pv}</pv_name>{place}</widget>")
        elif c.kind == "entry":
            widgets.append(f'<widget type="textentry" version="3.0.0"><name>{name}</name>'
                           f"<pv_name>{pv}</pv_name>{place}</widget>")
        elif c.kind == "led":
            widgets.append(f'<widget type="led" version="2.0.0"><name>{name}</name>'
                           f"<pv_name>{pv}</pv_name>{place}</widget>")
        else:
            widgets.append(f'<widget type="action_button" version="3.0.0"><name>{name}</name>'
                           f"<pv_name>{pv}</pv_name><text>{escape(c.text)}</text>"
                           '<actions><action type="write_pv"><pv_name>$(pv_name)</pv_name><value>1</value>'
                           f"<description>{escape(c.text)}</description></action></actions>{place}</widget>")
    rows = max(c.row for c in grid) + 1
    width = _x(max(c.column for c in grid) + 1, grid)
    macros = f"<macros><P>{escape(prefix)}</P></macros>" if macro else ""
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<display version="2.0.0">\n'
            f"  <name>KQ2741 {escape(prefix)}</name>{macros}\n"
            f"  <width>{width}</width><height>{GAP + rows * (ROW + GAP)}</height>\n  "
            + "\n  ".join(widgets) + "\n</display>\n")


_PYDM = {
    "update": ("PyDMLabel", "QLabel", "pydm.widgets.label"),
    "entry": ("PyDMLineEdit", "QLineEdit", "pydm.widgets.line_edit"),
    "led": ("PyDMByteIndicator", "QWidget", "pydm.widgets.byte"),
    "button": ("PyDMPushButton", "QPushButton", "pydm.widgets.pushbutton"),
}


def _identifier(cell: Cell) -> str:
    text = (cell.pv or cell.text or "cell").lower()
    return "".join(ch if ch.isalnum() else "_" for ch in text) + f"_{cell.row}_{cell.column}"


def ui(prefix: str, channels: tuple[int, ...], macro: bool) -> str:
    """A PyDM display (Qt Designer's form); with macro, names start with ${P}
    (pydm -m 'P=KQ2741:' kq2741.ui)."""
    grid = cells(channels)
    start = "${P}" if macro else prefix
    items = []
    for c in grid:
        name = _identifier(c)
        if c.kind == "label":
            widget = (f'<widget class="QLabel" name="{name}"><property name="text">'
                      f"<string>{escape(c.text)}</string></property></widget>")
        else:
            cls = _PYDM[c.kind][0]
            props = [f'<property name="channel" stdset="0"><string>ca://{escape(start + c.pv)}</string></property>']
            if c.kind in ("entry", "button"):
                props.append(f'<property name="maximumSize"><size><width>{CELL}</width>'
                             '<height>16777215</height></size></property>')
            if c.kind == "update":
                props.append('<property name="showUnits" stdset="0"><bool>true</bool></property>')
            if c.kind == "button":
                props += [f'<property name="text"><string>{escape(c.text)}</string></property>',
                          '<property name="pressValue" stdset="0"><string>1</string></property>']
            if c.kind == "led":
                props += ['<property name="numBits" stdset="0"><number>1</number></property>',
                          '<property name="showLabels" stdset="0"><bool>false</bool></property>']
            widget = f'<widget class="{cls}" name="{name}">{"".join(props)}</widget>'
        items.append(f'<item row="{c.row}" column="{c.column}">{widget}</item>')
    custom = "".join(f"<customwidget><class>{cls}</class><extends>{base}</extends><header>{header}</header>"
                     "</customwidget>" for cls, base, header in _PYDM.values())
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<ui version="4.0">\n <class>KQ2741</class>\n'
            ' <widget class="QWidget" name="KQ2741">\n'
            f'  <property name="windowTitle"><string>KQ2741 {escape(prefix)}</string></property>\n'
            '  <layout class="QGridLayout" name="grid">\n   ' + "\n   ".join(items) + "\n  </layout>\n </widget>\n"
            f" <customwidgets>{custom}</customwidgets>\n</ui>\n")


def write(directory: Path, prefix: str, channels: tuple[int, ...], macro: bool) -> list[Path]:
    """Both screens into directory (made if missing); the paths written."""
    directory.mkdir(parents=True, exist_ok=True)
    written = []
    for file, text in ((BOB, bob(prefix, channels, macro)), (UI, ui(prefix, channels, macro))):
        path = directory / file
        path.write_text(text, encoding="utf-8")
        written.append(path)
    return written


if __name__ == "__main__":  # python -m kq2741ctl.ioc.screens: the shipped ones, made again
    for path in write(SHIPPED, DEFAULT_PREFIX, DEFAULT_CHANNELS, macro=True):
        print(path)
