# SPDX-License-Identifier: MIT
# Copyright (c) 2026 The Dornel developers
"""A DornelLog session captured on loopback decodes as DCE/RPC in tshark: the endpoint
mapper's ept_map with its towers, binds and their acks, requests, responses and a fault,
from impacket and from our own client (dornellog), and no packet is malformed.
Skipped (exit 77) unless run as root with tshark installed; under CI (CI set) that fails."""

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import logpeer  # noqa: E402
from impacket_test import LOG, call, connect, map_endpoint  # noqa: E402
from impacket.dcerpc.v5.rpcrt import DCERPCException  # noqa: E402

SKIP = 77


def main():
    if os.geteuid() != 0 or shutil.which("tshark") is None:
        if os.environ.get("CI"):
            print("failed: capturing needs root and tshark, and CI must run it")
            return 1
        print("skipped: capturing needs root and tshark")
        return SKIP
    work = tempfile.mkdtemp(prefix="dornel-tshark-")
    capture = os.path.join(work, "rpc.pcapng")
    server = logpeer.LogServer(LOG)
    tshark = None
    try:
        port, epm_port = server.start()
        errors = open(os.path.join(work, "tshark.err"), "w+")
        live = open(os.path.join(work, "tshark.out"), "w+")
        decoders = ["-d", "tcp.port==%d,dcerpc" % port, "-d", "tcp.port==%d,dcerpc" % epm_port]
        # -P -l: every packet is also printed as soon as it is in the file, so the test can
        # wait until the capture holds what it needs instead of guessing a delay.
        tshark = subprocess.Popen(
            ["tshark", "-l", "-P", "-i", "lo", "-f", "tcp port %d or tcp port %d" % (port, epm_port),
             "-a", "duration:90", "-w", capture] + decoders, stdout=live, stderr=errors)

        def seen(text):
            with open(live.name) as f:
                return text in f.read()

        if not logpeer.wait_until(lambda: "Capturing" in open(errors.name).read(), 30):
            print("tshark did not start capturing:", open(errors.name).read())
            return 1
        # Knock on the mapper's port until the capture shows it: then nothing is lost.
        def knock():
            with socket.create_connection(("127.0.0.1", epm_port), timeout=5):
                pass
            return seen("%d" % epm_port)
        if not logpeer.wait_until(knock, 30):
            print("tshark saw nothing on loopback")
            return 1

        dce = connect(map_endpoint(epm_port))
        try:
            call(dce, 0, b"")
            call(dce, 2, logpeer.search_stub("closed"))
            call(dce, 4, logpeer.next_stub(0))
            call(dce, 5, logpeer.cashup_stub(2))
            try:
                call(dce, 9, b"")
            except DCERPCException:
                pass
        finally:
            dce.disconnect()
        env = dict(os.environ, DORNEL_EPM_PORT=str(epm_port))
        binary = os.path.join(os.environ["DORNEL_BIN_DIR"], "dornellog")
        subprocess.run([binary, "search", "aab"], env=env, check=True, timeout=30,
                       stdout=subprocess.DEVNULL)

        # dornellog's last PDU is the response to its final GetNextEventEntry (call 4 of
        # its connection); wait until the capture holds the fault and the whole session.
        logpeer.wait_until(lambda: seen("Fault") and seen("call_id: 4, Fragment: Single, Ctx"), 20)
        time.sleep(1)  # let dumpcap write out what it holds before it is stopped
        tshark.send_signal(signal.SIGINT)
        tshark.wait(timeout=30)
        tshark = None

        decode = ["tshark", "-r", capture] + decoders
        summary = subprocess.run(decode, capture_output=True, text=True, timeout=60).stdout
        fields = subprocess.run(
            decode + ["-Y", "dcerpc", "-T", "fields", "-e", "dcerpc.pkt_type", "-e",
                      "dcerpc.cn_ack_result", "-e", "dcerpc.opnum", "-e", "dcerpc.cn_status"],
            capture_output=True, text=True, timeout=60).stdout
        epm_tree = subprocess.run(decode + ["-Y", "epm", "-O", "epm"], capture_output=True,
                                  text=True, timeout=60).stdout
        # Malformed packets, and any expert finding of error severity (0x00800000).
        checked = subprocess.run(decode + ["-Y", "_ws.malformed || _ws.expert.severity >= 8388608"],
                                 capture_output=True, text=True, timeout=60)
        malformed = checked.stdout

        failures = []
        if checked.returncode != 0:
            failures.append("tshark could not apply the malformed filter: " + checked.stderr)
        types = [line.split("\t")[0] for line in fields.splitlines() if line]
        for wanted, name in (("11", "bind"), ("12", "bind_ack"), ("0", "request"),
                             ("2", "response"), ("3", "fault")):
            if wanted not in types:
                failures.append("no %s PDU decoded" % name)
        if "0x1c010002" not in fields:
            failures.append("the fault status nca_s_op_rng_error is missing")
        if "Floor 4 TCP Port:%d" % port not in epm_tree.replace(" Port: ", " Port:"):
            failures.append("ept_map's answer tower does not show the interface port")
        if "Malformed" in summary or malformed.strip():
            failures.append("malformed packets:\n" + (malformed or summary))
        if failures:
            print("\n".join(failures))
            print(summary)
            return 1
        print("captured %d DCE/RPC PDUs, all decoded" % len(types))
        return 0
    finally:
        if tshark is not None:
            tshark.kill()
            tshark.wait(timeout=10)
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
