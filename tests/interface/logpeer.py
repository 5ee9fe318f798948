# SPDX-License-Identifier: MIT
# Copyright (c) 2026 The Dornel developers
"""Shared helpers of the DornelLog interop tests: a private DORNEL_ROOT with a log file,
the dornellog_test_server started on loopback with its endpoint mapper on a free port,
and the raw NDR stubs of the seven operations as the viewer sends them."""

import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time

UUID = "1F8FE9D7-6BAE-11d4-8515-004005437D1D"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def record(box, event_type, data, user="N/A"):
    return "Tuesday, 06/03/2001 14:05:09|%d|%d|%s|%s|\n" % (box, event_type, user, data)


class LogServer:
    """The test server on a fresh root; start() returns (port, epm_port). registry maps
    value names below the ZuvexBox key to numbers, written with dornelreg before the start."""

    def __init__(self, log_text="", registry=None):
        self.root = tempfile.mkdtemp(prefix="dornel-interop-")
        self.log_dir = os.path.join(self.root, "c", "dornel", "log")
        os.makedirs(self.log_dir)
        self.log_path = os.path.join(self.log_dir, "dornel.log")
        with open(self.log_path, "wb") as f:
            f.write(log_text.encode("latin-1"))
        self.process = None
        self.epm_port = free_port()
        self.registry = registry or {}

    def start(self):
        binary = os.path.join(os.environ["DORNEL_TEST_DIR"], "dornellog_test_server")
        env = dict(os.environ, DORNEL_ROOT=self.root, DORNEL_EPM_PORT=str(self.epm_port),
                   DORNEL_RPC_ADDRESS="127.0.0.1")
        for name, number in self.registry.items():
            subprocess.run([os.path.join(os.environ["DORNEL_BIN_DIR"], "dornelreg"), "add",
                            "HKLM\\SOFTWARE\\Orvane Technology\\ZuvexBox", "/v", name, "/t",
                            "REG_DWORD", "/d", str(number), "/f"],
                           env=env, check=True, capture_output=True, timeout=30)
        self.process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        env=env)
        line = self.process.stdout.readline().decode().split()
        if len(line) != 4 or line[0] != "PORT":
            raise RuntimeError("test server did not start: %r" % line)
        return int(line[1]), int(line[3])

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def stop(self):
        """Stops the server; raises when it did not end cleanly (a crash, a leak report)."""
        code = 0
        if self.process is not None:
            self.process.stdin.close()
            try:
                code = self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=5)
                code = "killed after 20 s"
            self.process = None
        shutil.rmtree(self.root, ignore_errors=True)
        if code != 0:
            raise AssertionError("dornellog_test_server ended with %s" % code)


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def search_stub(text, count=0):
    """DoLogSearch: reserved, length, referent; max count, text and its zero; pad; count."""
    raw = text.encode("latin-1") + b"\0"
    return (struct.pack("<iiI", 0, len(raw), 0x20000) + pad4(struct.pack("<I", len(raw)) + raw)
            + struct.pack("<i", count))


def next_stub(position):
    """GetNextEventEntry: position, then an empty LogBuffer (length 0, null data)."""
    return struct.pack("<IiI", position, 0, 0)


def cashup_stub(box):
    return struct.pack("<iiI", box, 0, 0)


def parse_buffer(answer, offset):
    """A LogBuffer at offset: (text or None, offset after it)."""
    length, referent = struct.unpack_from("<iI", answer, offset)
    offset += 8
    if not referent:
        return None, offset
    (max_count,) = struct.unpack_from("<I", answer, offset)
    assert max_count == length, (max_count, length)
    data = answer[offset + 4:offset + 4 + max_count]
    offset += 4 + max_count
    offset += -offset % 4
    assert data.endswith(b"\0")
    return data[:-1].decode("latin-1"), offset


def wait_until(predicate, seconds=10.0):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False
