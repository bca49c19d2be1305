"""The PVI structure, as the Q:group info tags that make the IOC's PV Access
server (QSRV) serve it.

    PREFIX:PVI        {"value": {"ch": {"d": "PREFIX:CH:PVI"}, "version": {"r": ...},
                                 "connected": {"r": ...}, "display_close": {"w": ...}}}
    PREFIX:CH:PVI     {"value": {"__1": {"d": "PREFIX:CH1:PVI"}, "__2": ...}}
    PREFIX:CH1:PVI    {"value": {"attenuation": {"r": "...CH1:ATT_RBV", "w": "...CH1:ATT"}, ...}}

ophyd-async's fastcs_connector reads it and makes every signal with no PV
name written by hand: a setting and its read-back share one name (a signal
read from r and written to w), and the channels are a numbered group (its
DeviceVector). Every entry comes from the PV table (pvs.py).
"""
from __future__ import annotations

from .pvs import CHANNEL, CHANNEL_PREFIX, INSTRUMENT, Pv

NTPVI = "epics:nt/NTPVI:1.0"
CHANNELS = "ch"  # the numbered group of channels under PREFIX:PVI
GROUPS = "PVI"  # the last part of every PVI PV's name


def pvi_name(device_prefix: str) -> str:
    return device_prefix + GROUPS


def _entry(path: str, mapping: dict) -> dict:
    # Each entry triggers itself: the names never change, and QSRV wants to
    # be told rather than guess.
    return {f"value.{path}": {**mapping, "+trigger": f"value.{path}"}}


def _own(pv: Pv) -> dict:
    return _entry(f"{pv.pvi}.{pv.pvi_access}", {"+type": "plain", "+channel": "NAME"})


def _link(name: str, pvi_pv: str) -> dict:
    return _entry(f"{name}.d", {"+type": "const", "+const": pvi_pv})


def info_tags(prefix: str, channels: tuple[int, ...]) -> dict[str, dict]:
    """Record name -> the value of its Q:group info tag."""
    top, vector = pvi_name(prefix), pvi_name(prefix + CHANNEL_PREFIX.format(n=""))
    tags: dict[str, dict] = {}
    for pv in INSTRUMENT:
        tags[prefix + pv.suffix] = {top: {"+id": NTPVI, **_own(pv)}}
    # The links to the groups below ride on one of the instrument's records.
    links: dict = {"+id": NTPVI}
    for n in channels:
        links.update(_link(f"__{n}", pvi_name(prefix + CHANNEL_PREFIX.format(n=n))))
    tags[prefix + INSTRUMENT[0].suffix][top].update(_link(CHANNELS, vector))
    tags[prefix + INSTRUMENT[0].suffix][vector] = links
    for n in channels:
        group = pvi_name(prefix + CHANNEL_PREFIX.format(n=n))
        for pv in CHANNEL:
            tags[prefix + CHANNEL_PREFIX.format(n=n) + pv.suffix] = {group: {"+id": NTPVI, **_own(pv)}}
    return tags


def structure(prefix: str, channels: tuple[int, ...]) -> dict[str, dict]:
    """PVI PV -> its value as a client reads it (for the screens and the tests)."""
    served: dict[str, dict] = {}
    for record, groups in info_tags(prefix, channels).items():
        for group, fields in groups.items():
            value = served.setdefault(group, {})
            for path, mapping in fields.items():
                if not path.startswith("value."):
                    continue
                name, access = path[len("value."):].split(".")
                value.setdefault(name, {})[access] = mapping.get("+const", record)
    return served
