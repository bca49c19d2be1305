"""Every block of the README, run as a reader would paste it: the shell
blocks in bash, the Python blocks in a fresh interpreter, the servers
started and kept for the blocks after them in their section, all against the
simulator. A port the README names for the instrument is the simulator's
here, and a fixed network port a free one; nothing else is changed. The
install blocks are checked, not run: they would build the package anew."""
from __future__ import annotations

import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import sysconfig
import tomllib
from pathlib import Path

import pytest

import programs
from epics import Loopback
from simulator import Simulator

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
SERVERS = ("kq2741-ioc", "kq2741-tango", "kq2741-panel")
INSTRUMENT_PORT = "/dev/ttyUSB0"
LINK = "/tmp/kq2741"
TANGO_PORT = "45450"

pytestmark = pytest.mark.needs("kq2741-sim", "kq2741ctl", "kq2741-ioc", "kq2741-tango", "kq2741-panel")


def blocks() -> list[tuple[str, str, str]]:
    """(section, language, text) of every fenced block, in order."""
    found, section = [], ""
    lines = iter(README.read_text().splitlines())
    for line in lines:
        if line.startswith("## "):
            section = line[3:]
        if not line.startswith("```"):
            continue
        language, body = line[3:].strip(), []
        for inner in lines:
            if inner.startswith("```"):
                break
            body.append(inner)
        found.append((section, language, "\n".join(body) + "\n"))
    return found


def free_port() -> str:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return str(s.getsockname()[1])


class Reader:
    """One reader's machine: a terminal whose PATH finds this Python's
    programs first, a simulator standing in for the instrument, EPICS kept
    on loopback, and the servers a section started."""

    def __init__(self, tmp: Path):
        self.tmp = tmp
        self.bin = tmp / "bin"
        self.bin.mkdir()
        # `python` is the one running the tests, its virtual environment included.
        (self.bin / "python").write_text(f'#!/bin/sh\nexec {shlex.quote(sys.executable)} "$@"\n')
        (self.bin / "python").chmod(0o755)
        self.epics = Loopback(servers=1)
        self.sim = Simulator("--channels", 4).start()
        self.tango_port = free_port()
        self.servers: list[subprocess.Popen] = []
        self.link = str(tmp / "kq2741")
        scripts = sysconfig.get_path("scripts")
        self.env = {**os.environ, **self.epics.client,
                    "PATH": os.pathsep.join([str(self.bin), scripts, os.environ.get("PATH", "")])}
        # Servers' own ports: the README's defaults may be taken on this machine.
        self.server_env = {**self.env, **self.epics.server(0)}

    def local(self, text: str) -> str:
        return (text.replace(INSTRUMENT_PORT, self.sim.port).replace(LINK, self.link)
                .replace(TANGO_PORT, self.tango_port))

    def shell(self, text: str) -> subprocess.CompletedProcess:
        # Output to a file, not a pipe: a helper a command leaves behind (CA's
        # repeater) would hold a pipe open. Its process group ends with it.
        with open(self.tmp / "out.txt", "w+") as out:
            proc = subprocess.Popen(["bash", "-euo", "pipefail", "-c", self.local(text)], cwd=ROOT, env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                    start_new_session=True)
            try:
                status = proc.wait(120)
            finally:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                proc.wait()
            out.seek(0)
            return subprocess.CompletedProcess(proc.args, status, out.read(), "")

    def python(self, text: str) -> subprocess.CompletedProcess:
        return subprocess.run([sys.executable, "-c", self.local(text)], cwd=self.tmp, env=self.env,
                              capture_output=True, text=True, timeout=120)

    def serve(self, command: str) -> str:
        words = shlex.split(self.local(command))
        if words[0] == "kq2741-panel":
            words += ["--http-port", "0"]
        proc = subprocess.Popen(words, env=self.server_env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)
        self.servers.append(proc)
        return programs.first_line(proc, 60)

    def stop_servers(self) -> None:
        for proc in self.servers:
            proc.send_signal(signal.SIGTERM)
            try:
                assert proc.wait(10) == 0
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
                proc.stdout.close()
        self.servers.clear()

    def close(self) -> None:
        self.stop_servers()
        self.sim.close()


def check_install(text: str) -> None:
    """pip lines name this checkout or a kq2741 wheel, with extras that exist."""
    extras = set(tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"])
    for line in text.splitlines():
        words = shlex.split(line.split("#")[0])
        if words[:2] != ["pip", "install"]:
            continue
        for target in words[2:]:
            match = re.fullmatch(r'(\.|kq2741|dist/kq2741-[^\[]+\.whl)(?:\[([a-z,]+)\])?', target)
            assert match, f"{target!r} is neither this checkout nor kq2741"
            assert set(filter(None, (match[2] or "").split(","))) <= extras, target


def run_block(reader: Reader, language: str, text: str) -> None:
    first = text.split()[0] if text.split() else ""
    if language == "sh" and first == "pip":
        check_install(text)
    elif language == "sh" and text.startswith("tools/bootstrap.sh"):
        # Up to date after make test: it finds nothing to do, and says so by saying nothing of a build.
        done = subprocess.run(["bash", "-c", text], cwd=ROOT, capture_output=True, text=True, timeout=600)
        assert done.returncode == 0 and "building" not in done.stdout, done.stdout + done.stderr
    elif language == "sh" and first in SERVERS:
        assert reader.serve(text.strip().split("#")[0]), "printed nothing"
    elif language == "sh":
        done = reader.shell(text)
        assert done.returncode == 0, done.stdout + done.stderr
    elif language == "python":
        done = reader.python(text)
        assert done.returncode == 0, done.stdout + done.stderr
    elif language == "":
        # The shell's synopsis, as its --help gives it.
        usage = subprocess.run([programs.find("kq2741ctl"), "--help"], capture_output=True, text=True).stdout
        assert " ".join(text.split()) in " ".join(usage.split()).replace("usage: ", "", 1)
    else:
        raise AssertionError(f"a README block in {language!r}: run it here, or write it as sh or python")


def test_every_block_of_the_readme_runs(tmp_path):
    reader = Reader(tmp_path)
    section, ran = None, []
    try:
        for where, language, text in blocks():
            if where != section:
                reader.stop_servers()
                section = where
            try:
                run_block(reader, language, text)
            except AssertionError as failure:
                raise AssertionError(f"README, {where}, block {text.splitlines()[0]!r}: {failure}") from None
            ran.append(where)
    finally:
        reader.close()
    assert len(ran) >= 15 and not Path(reader.link).exists()


def test_the_readme_is_for_users_and_short():
    text = README.read_text()
    assert len(text.splitlines()) < 300
    for name in re.findall(r"`((?:docs/[\w.-]+\.md)|DEVELOPING\.md|CHANGELOG\.md|LICENSE)`", text):
        assert (ROOT / name).exists(), name
    assert shutil.which("bash")
