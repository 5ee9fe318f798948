# SPDX-License-Identifier: MIT
# Copyright (c) 2026 The Dornel developers
"""The real dornelman, installed and started as the README starts it, meets the real
peers: impacket finds the log interface through the server's endpoint mapper (ept_map on
DORNEL_EPM_PORT), binds and calls it with stub bytes written out by hand from the
interface definition; dornellog searches it; tshark decodes the whole session as DCE/RPC
with no malformed packet. The server listens on loopback only and never on port 135.

Run with the distribution's python3 (impacket is installed there). The capture needs root
and tshark: without them it is skipped, except under CI (CI set), where it fails."""

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import logpeer  # noqa: E402
import realserver  # noqa: E402
from impacket.dcerpc.v5.rpcrt import DCERPCException  # noqa: E402
from impacket.uuid import uuidtup_to_bin  # noqa: E402
from impacket_test import call, connect, map_endpoint  # noqa: E402

LOG = "".join([
    logpeer.record(2, 16, "Open"),
    logpeer.record(2, 17, "aab"),
    logpeer.record(2, 17, "e"),
    logpeer.record(2, 16, "Closed"),
    logpeer.record(2, 17, "b"),
    logpeer.record(3, 8, "jsmith", "jsmith"),
])

OK = b"\x00\x00\x00\x00"
FAILED = b"\x05\x00\x00\x00"


class RealServerPeers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = realserver.RealServer(LOG)
        cls.addClassCleanup(cls.server.stop)
        cls.server.start()
        cls.epm_port = cls.server.epm_port
        cls.binding = map_endpoint(cls.epm_port)
        cls.port = int(cls.binding.rsplit("[", 1)[1].rstrip("]"))

    def test_listens_on_loopback_only_and_never_on_135(self):
        listeners = self.server.listeners()
        self.assertEqual(realserver.forbidden(listeners), [], listeners)
        self.assertIn(("127.0.0.1", self.epm_port), listeners)
        self.assertIn(("127.0.0.1", self.port), listeners)
        self.assertEqual(self.binding, "ncacn_ip_tcp:127.0.0.1[%d]" % self.port)

    def test_the_mapper_knows_only_the_log_interface(self):
        other = uuidtup_to_bin(("12345678-1234-1234-1234-123456789abc", "1.0"))
        with self.assertRaisesRegex(DCERPCException, "ept_s_not_registered"):
            map_endpoint(self.epm_port, other)
        with self.assertRaisesRegex(DCERPCException, "abstract_syntax_not_supported"):
            connect(self.binding, uuidtup_to_bin((logpeer.UUID, "2.0")))

    def test_operations_with_stub_bytes_written_by_hand(self):
        dce = connect(self.binding)
        try:
            # Ping (0): empty request, the status alone back.
            self.assertEqual(call(dce, 0, b""), OK)

            # DoLogSearch (2) for "|2|17|" (7 bytes with its zero): reserved, length,
            # referent of text; max count, the text, one byte of padding; the count.
            search = (b"\x00\x00\x00\x00" b"\x07\x00\x00\x00" b"\x00\x00\x02\x00"
                      b"\x07\x00\x00\x00" b"|2|17|\x00" b"\x00"
                      b"\x00\x00\x00\x00")
            self.assertEqual(call(dce, 2, search), b"\x03\x00\x00\x00" + OK)

            # "closed|" is 8 bytes with its zero: no padding. One record matches.
            search = (b"\x00\x00\x00\x00" b"\x08\x00\x00\x00" b"\x00\x00\x02\x00"
                      b"\x08\x00\x00\x00" b"closed|\x00"
                      b"\x00\x00\x00\x00")
            self.assertEqual(call(dce, 2, search), b"\x01\x00\x00\x00" + OK)

            # GetFirstEventEntry (3): the position in and out, then the status.
            answer = call(dce, 3, b"\x00\x00\x00\x00")
            self.assertEqual(len(answer), 8)
            self.assertNotEqual(answer[:4], b"\x00\x00\x00\x00")
            self.assertEqual(answer[4:], OK)

            # GetNextEventEntry (4): position, then an empty LogBuffer (length 0, null).
            answer = call(dce, 4, answer[:4] + b"\x00\x00\x00\x00" b"\x00\x00\x00\x00")
            line = logpeer.record(2, 16, "Closed").encode("latin-1") + b"\x00"
            self.assertEqual(answer[:4], b"\x00\x00\x00\x00")  # no further entry
            self.assertEqual(answer[4:8], struct.pack("<i", len(line)))
            self.assertNotEqual(answer[8:12], b"\x00\x00\x00\x00")  # referent of data
            self.assertEqual(answer[12:16], struct.pack("<I", len(line)))  # max count
            padding = -len(line) % 4
            self.assertEqual(answer[16:16 + len(line) + padding], line + b"\x00" * padding)
            self.assertEqual(answer[16 + len(line) + padding:], OK)
            # Past the end: the position and the empty entry back, and status 5.
            self.assertEqual(call(dce, 4, b"\x00" * 12), b"\x00" * 12 + FAILED)

            # CashUp (5) of box 2: the coins since the door last changed, "0,1,0,..."
            # (18 bytes with the zero, 2 of padding).
            answer = call(dce, 5, b"\x02\x00\x00\x00" b"\x00\x00\x00\x00" b"\x00\x00\x00\x00")
            self.assertEqual(answer[:4], b"\x12\x00\x00\x00")
            self.assertNotEqual(answer[4:8], b"\x00\x00\x00\x00")
            self.assertEqual(answer[8:], b"\x12\x00\x00\x00" b"0,1,0,0,0,0,0,0,0\x00" b"\x00\x00" + OK)

            # An operation the interface does not have is a fault; the connection goes on.
            with self.assertRaisesRegex(DCERPCException, "nca_s_op_rng_error"):
                call(dce, 7, b"")
            # UnPing (1).
            self.assertEqual(call(dce, 1, b""), OK)
        finally:
            dce.disconnect()

    def test_dornellog_searches_the_server(self):
        binary = os.path.join(os.environ["DORNEL_BIN_DIR"], "dornellog")
        done = subprocess.run([binary, "--server", "127.0.0.1", "search", "closed|"],
                              env=self.server.env, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, logpeer.record(2, 16, "Closed") + "1 matching record\n")

    def test_tshark_decodes_the_session(self):
        if os.geteuid() != 0 or shutil.which("tshark") is None:
            reason = "capturing needs root and tshark"
            if realserver.in_ci():
                self.fail(reason + " (required under CI)")
            self.skipTest(reason)
        work = tempfile.mkdtemp(prefix="dornel-realcapture-")
        tshark = None
        try:
            capture = os.path.join(work, "rpc.pcapng")
            decoders = ["-d", "tcp.port==%d,dcerpc" % self.port,
                        "-d", "tcp.port==%d,dcerpc" % self.epm_port]
            errors = os.path.join(work, "tshark.err")
            live = os.path.join(work, "tshark.out")
            with open(live, "w") as out, open(errors, "w") as err:
                tshark = subprocess.Popen(
                    ["tshark", "-l", "-P", "-i", "lo", "-f",
                     "tcp port %d or tcp port %d" % (self.port, self.epm_port),
                     "-a", "duration:90", "-w", capture] + decoders, stdout=out, stderr=err)

            def text_of(path):
                with open(path, errors="replace") as f:
                    return f.read()

            def seen(text):
                return text in text_of(live)

            self.assertTrue(logpeer.wait_until(lambda: "Capturing" in text_of(errors), 30),
                            text_of(errors))
            # The mapper answers anything with a fault; a Ping through it shows that the
            # capture is live before the session starts.
            self.assertTrue(logpeer.wait_until(lambda: bool(map_endpoint(self.epm_port)) and
                                               seen("%d" % self.epm_port), 30))

            dce = connect(map_endpoint(self.epm_port))
            try:
                call(dce, 0, b"")
                call(dce, 2, logpeer.search_stub("closed|"))
                call(dce, 3, b"\x00\x00\x00\x00")
                call(dce, 5, logpeer.cashup_stub(2))
                with self.assertRaises(DCERPCException):
                    call(dce, 9, b"")
                call(dce, 1, b"")
            finally:
                dce.disconnect()
            logpeer.wait_until(lambda: seen("Fault"), 20)
            time.sleep(1)  # dumpcap writes out what it holds before it is stopped
            tshark.send_signal(signal.SIGINT)
            tshark.wait(timeout=30)
            tshark = None

            decode = ["tshark", "-r", capture] + decoders
            summary = subprocess.run(decode, capture_output=True, text=True, timeout=60).stdout
            fields = subprocess.run(
                decode + ["-Y", "dcerpc", "-T", "fields", "-e", "dcerpc.pkt_type",
                          "-e", "dcerpc.cn_bind_to_uuid", "-e", "dcerpc.opnum",
                          "-e", "dcerpc.cn_status"],
                capture_output=True, text=True, timeout=60).stdout
            epm_tree = subprocess.run(decode + ["-Y", "epm", "-O", "epm"], capture_output=True,
                                      text=True, timeout=60).stdout
            checked = subprocess.run(
                decode + ["-Y", "_ws.malformed || _ws.expert.severity >= 8388608"],
                capture_output=True, text=True, timeout=60)
            self.assertEqual(checked.returncode, 0, checked.stderr)
            self.assertEqual(checked.stdout.strip(), "", "malformed packets:\n" + summary)
            self.assertNotIn("Malformed", summary)
            types = {line.split("\t")[0] for line in fields.splitlines() if line}
            for wanted in ("11", "12", "0", "2", "3"):  # bind, ack, request, response, fault
                self.assertIn(wanted, types, summary)
            self.assertIn(logpeer.UUID.lower(), fields.lower())
            self.assertIn("0x1c010002", fields)  # nca_s_op_rng_error
            self.assertIn("Floor 4 TCP Port:%d" % self.port,
                          epm_tree.replace(" Port: ", " Port:"), epm_tree)
        finally:
            if tshark is not None:
                tshark.kill()
                tshark.wait(timeout=10)
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
