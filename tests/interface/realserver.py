# SPDX-License-Identifier: MIT
# Copyright (c) 2026 The Dornel developers
"""The real dornelman for the peer tests, started as an administrator starts it: the
registry imported with dornelreg, "dornelman -i", then "dornelsc start dornelman", all in
a root of its own (DORNEL_ROOT, DORNEL_UNIT_DIR, DORNEL_PAM_DIR), with the log RPC
interface on loopback and its endpoint mapper on a port the system handed out
(DORNEL_RPC_ADDRESS, DORNEL_EPM_PORT; dornelsc hands its environment on to the server).

stop() always ends the server: "dornelsc stop", then SIGKILL by its process id when it is
still there after 10 s. A guard process kills it too when the test process dies before
stop() runs (a time-out of the test runner)."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import logpeer

# The guard: waits for its standard input to close, then ends the server if that process
# is still a dornelman.
GUARD = r"""
import os, signal, sys, time
pid = int(sys.argv[1])
sys.stdin.buffer.read()
def alive():
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().split(b"\0")[0].endswith(b"dornelman")
    except OSError:
        return False
for sig in (signal.SIGTERM, signal.SIGKILL):
    if not alive():
        break
    os.kill(pid, sig)
    for _ in range(100):
        if not alive():
            break
        time.sleep(0.05)
"""

REG_HEADER = "Windows Registry Editor Version 5.00\r\n\r\n"
CONFIG_KEY = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane Technology\\ZuvexBox]\r\n"


def in_ci():
    return bool(os.environ.get("CI"))


def system_port():
    """A loopback port the system hands out: bound to port 0, then released."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tcp_listeners(pid):
    """The listening TCP sockets of a process, as (address, port) pairs."""
    inodes = set()
    fd_dir = "/proc/%d/fd" % pid
    for name in os.listdir(fd_dir):
        try:
            target = os.readlink(os.path.join(fd_dir, name))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    found = []
    for table in ("tcp", "tcp6"):
        with open("/proc/%d/net/%s" % (pid, table)) as f:
            lines = f.read().splitlines()[1:]
        for line in lines:
            fields = line.split()
            if len(fields) < 10 or fields[3] != "0A" or fields[9] not in inodes:
                continue
            address, port = fields[1].split(":")
            if len(address) == 8:
                text = socket.inet_ntoa(bytes.fromhex(address)[::-1])
            else:
                text = "::" if int(address, 16) == 0 else address
            found.append((text, int(port, 16)))
    return found


def forbidden(listeners):
    """Listeners no test may open: a wildcard address, or port 135."""
    return [(a, p) for a, p in listeners if a in ("0.0.0.0", "::") or p == 135]


class RealServer:
    def __init__(self, log_text=""):
        self.root = tempfile.mkdtemp(prefix="dornel-realserver-")
        os.chmod(self.root, 0o755)
        self.log_path = os.path.join(self.root, "c", "dornel", "log", "dornel.log")
        os.makedirs(os.path.dirname(self.log_path))
        for folder in ("units", "pam"):
            os.makedirs(os.path.join(self.root, folder))
        with open(self.log_path, "wb") as f:
            f.write(log_text.encode("latin-1"))
        self.bin_dir = os.environ["DORNEL_BIN_DIR"]
        self.epm_port = system_port()
        self.env = dict(os.environ, DORNEL_ROOT=self.root,
                        DORNEL_UNIT_DIR=os.path.join(self.root, "units"),
                        DORNEL_PAM_DIR=os.path.join(self.root, "pam"),
                        DORNEL_EPM_PORT=str(self.epm_port), DORNEL_RPC_ADDRESS="127.0.0.1")
        self.installed = False
        self.pid = None
        self.guard = None

    def tool(self, name, *args, timeout=30):
        """Runs a program of the build on this root; (exit status, output)."""
        done = subprocess.run([os.path.join(self.bin_dir, name), *args], env=self.env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout)
        return done.returncode, done.stdout.decode("utf-8", "replace")

    def must(self, name, *args):
        code, output = self.tool(name, *args)
        if code != 0:
            raise AssertionError("%s %s: exit %d\n%s" % (name, " ".join(args), code, output))
        return output

    def event_log(self):
        try:
            with open(os.path.join(self.root, "eventlog"), encoding="utf-8", errors="replace") as f:
                return f.read().splitlines()
        except OSError:
            return []

    def query_pid(self):
        code, output = self.tool("dornelsc", "query", "dornelman")
        for line in output.splitlines():
            if line.strip().startswith("PID") and ":" in line:
                pid = int(line.split(":", 1)[1])
                return pid if pid > 0 else None
        return None

    def start(self):
        """Configures, installs and starts the service; returns once it serves the log."""
        reg = os.path.join(self.root, "config.reg")
        with open(reg, "w", newline="") as f:
            f.write(REG_HEADER + CONFIG_KEY + '"NumServers"=dword:00000000\r\n'
                    '"LogDirectory"="C:\\\\dornel\\\\log"\r\n'
                    '"TFTPDirectory"="C:\\\\dornel"\r\n')
        self.must("dornelreg", "import", reg)
        self.must("dornelman", "-i")
        self.installed = True
        code, output = self.tool("dornelsc", "start", "dornelman")
        # Even a failed start may have left a process behind: stop() looks for it.
        self.pid = self.query_pid()
        if self.pid:
            self.guard = subprocess.Popen([sys.executable, "-c", GUARD, str(self.pid)],
                                          stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL, start_new_session=True)
        if code != 0:
            raise AssertionError("dornelsc start dornelman: exit %d\n%s" % (code, output))
        if not logpeer.wait_until(lambda: any(line.endswith("| 108 | Started server")
                                              for line in self.event_log()), 15):
            raise AssertionError("dornelman did not report its start:\n" +
                                 "\n".join(self.event_log()))

    def listeners(self):
        return tcp_listeners(self.pid) if self.pid else []

    def stop(self):
        """Stops and removes the service and the root; raises when the server had to be
        killed or wrote a sanitizer report."""
        problems = []
        try:
            if self.pid:
                code, output = self.tool("dornelsc", "stop", "dornelman")
                if code != 0:
                    problems.append("dornelsc stop: exit %d\n%s" % (code, output))
                if not logpeer.wait_until(lambda: not os.path.exists("/proc/%d" % self.pid), 10):
                    problems.append("dornelman (pid %d) did not stop; killed" % self.pid)
                    try:
                        os.kill(self.pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                    logpeer.wait_until(lambda: not os.path.exists("/proc/%d" % self.pid), 5)
            if self.guard:
                self.guard.stdin.close()
                self.guard.wait(timeout=15)
                self.guard = None
            if self.installed:
                self.tool("dornelman", "-u")
            try:
                with open(os.path.join(self.root, "scm", "dornelman.out"), errors="replace") as f:
                    output = f.read()
            except OSError:
                output = ""
            if "Sanitizer" in output or "runtime error" in output:
                problems.append("dornelman wrote:\n" + output)
        finally:
            if not os.environ.get("REALSERVER_KEEP_ROOT"):
                shutil.rmtree(self.root, ignore_errors=True)
        if problems:
            raise AssertionError("\n".join(problems))
