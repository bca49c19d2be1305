"""Run kq2741-ioc from the tests, with EPICS kept on this machine.

    epics = Loopback()                       # free CA and PVA ports on 127.0.0.1
    with Ioc("-p", sim.port, env=epics.server(0)) as ioc:
        ...                                  # clients made after os.environ.update(epics.client)

Every address list names 127.0.0.1 only and every port is free for this run,
so neither the servers nor the clients send anything off this machine and a
run does not meet another IOC.
"""
from __future__ import annotations

import contextlib
import os
import socket
import time
from collections.abc import Iterator

import pytest

from servers import ServerProcess

LOOPBACK = "127.0.0.1"


def _free_ports(count: int) -> list[int]:
    """Ports free for both TCP and UDP on the loopback (CA serves both on one)."""
    ports: list[int] = []
    held = []
    try:
        while len(ports) < count:
            tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            tcp.bind((LOOPBACK, 0))
            port = tcp.getsockname()[1]
            udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                udp.bind((LOOPBACK, port))
            except OSError:
                tcp.close()
                udp.close()
                continue
            held += [tcp, udp]
            ports.append(port)
    finally:
        for s in held:
            s.close()
    return ports


class Loopback:
    """EPICS on 127.0.0.1 for a few IOCs at once, each on ports of its own.

    Servers sharing a UDP port on one host do not all receive a unicast
    search, so every IOC gets its own; the clients' address lists name them
    all, with their ports.
    """

    def __init__(self, servers: int = 2):
        ports = [str(p) for p in _free_ports(3 * servers + 1)]
        self._repeater = ports.pop()
        self._servers = [ports[i:i + 3] for i in range(0, len(ports), 3)]  # CA, PVA over TCP, PVA over UDP

    def _common(self) -> dict[str, str]:
        return {
            "EPICS_CAS_INTF_ADDR_LIST": LOOPBACK,
            "EPICS_CAS_BEACON_ADDR_LIST": LOOPBACK,
            "EPICS_CAS_AUTO_BEACON_ADDR_LIST": "NO",
            "EPICS_CA_AUTO_ADDR_LIST": "NO",
            "EPICS_CA_REPEATER_PORT": self._repeater,
            "EPICS_PVAS_INTF_ADDR_LIST": LOOPBACK,
            "EPICS_PVAS_BEACON_ADDR_LIST": LOOPBACK,
            "EPICS_PVAS_AUTO_BEACON_ADDR_LIST": "NO",
            "EPICS_PVA_AUTO_ADDR_LIST": "NO",
        }

    def server(self, i: int = 0) -> dict[str, str]:
        """The environment of IOC number i."""
        ca, pva, pva_udp = self._servers[i]
        return {**self._common(), "EPICS_CA_ADDR_LIST": LOOPBACK, "EPICS_PVA_ADDR_LIST": LOOPBACK,
                "EPICS_CA_SERVER_PORT": ca, "EPICS_PVAS_SERVER_PORT": pva, "EPICS_PVA_SERVER_PORT": pva,
                "EPICS_PVAS_BROADCAST_PORT": pva_udp, "EPICS_PVA_BROADCAST_PORT": pva_udp}

    def ca_port(self, i: int = 0) -> int:
        return int(self._servers[i][0])

    @property
    def client(self) -> dict[str, str]:
        """The clients' environment: it finds every IOC of this object."""
        first = self._servers[0]
        return {**self._common(),
                "EPICS_CA_ADDR_LIST": " ".join(f"{LOOPBACK}:{ca}" for ca, _, _ in self._servers),
                "EPICS_PVA_ADDR_LIST": " ".join(f"{LOOPBACK}:{udp}" for _, _, udp in self._servers),
                "EPICS_CA_SERVER_PORT": first[0], "EPICS_PVA_SERVER_PORT": first[1],
                "EPICS_PVA_BROADCAST_PORT": first[2]}


@contextlib.contextmanager
def on_loopback(servers: int = 2) -> Iterator[Loopback]:
    """Free ports for `servers` IOCs, with this process's clients pointed at
    them until the block ends."""
    ports = Loopback(servers)
    with pytest.MonkeyPatch.context() as mp:
        for name, value in ports.client.items():
            mp.setenv(name, value)
        yield ports


@contextlib.contextmanager
def ca_client() -> Iterator:
    """A caproto client for the block, disconnected after it."""
    context = ca_context()
    try:
        yield context
    finally:
        context.disconnect()


class Ioc(ServerProcess):
    """One kq2741-ioc process; start() returns once it printed that it serves."""

    program = "kq2741-ioc"

    def __init__(self, *args, env: dict[str, str], start_timeout: float = 10.0):
        super().__init__(*args, env=env, start_timeout=start_timeout)


def until(check, timeout: float, step: float = 0.05):
    """check()'s first true result within timeout seconds, else its last."""
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result or time.monotonic() > deadline:
            return result
        time.sleep(step)


# --- clients ---------------------------------------------------------------


def ca_context():
    """A caproto client: a context of its own, one TCP circuit per IOC."""
    from caproto.threading.client import Context  # the venv's; see tools/check-refs.sh

    return Context()


def ca_read(ca, name):
    """(value, severity, status) over Channel Access; a waveform's value as a list."""
    reading = ca.get_pvs(name, timeout=2)[0].read(data_type="time", timeout=2)
    value = reading.data[0] if len(reading.data) == 1 else list(reading.data)
    return value, reading.metadata.severity, reading.metadata.status


def ca_put(ca, name, value, timeout: float = 3):
    """A put with completion; True when the server reports success."""
    return ca.get_pvs(name, timeout=2)[0].write([value], wait=True, timeout=timeout).status.success == 1


def answers_search(name: str, port: int, wait: float = 0.05) -> bool:
    """One Channel Access search by UDP for name, sent to 127.0.0.1:port, as
    a client starting now sends first: True when the server answers it.
    (The CA server listens on TCP a moment before it answers searches, and a
    client that searched too early backs off for seconds.)"""
    import caproto

    client = caproto.Broadcaster(our_role=caproto.CLIENT)
    request = client.send(caproto.VersionRequest(priority=0, version=13),
                          caproto.SearchRequest(name=name, cid=1, version=13))
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.settimeout(wait)
        sock.sendto(request, (LOOPBACK, port))
        try:
            data, address = sock.recvfrom(4096)
        except (socket.timeout, ConnectionRefusedError):
            return False
    return any(isinstance(c, caproto.SearchResponse) for c in client.recv(data, address))
