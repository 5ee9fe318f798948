# SPDX-License-Identifier: MIT
# Copyright (c) 2026 The Dornel developers
"""dornellog against the DornelLog test server on loopback: what each command prints and
its exit status, and the failures a user meets (no server, bad arguments)."""

import os
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "interface"))
import logpeer  # noqa: E402

LOG = "".join([
    logpeer.record(2, 16, "Open"),
    logpeer.record(2, 17, "aab"),
    logpeer.record(2, 17, "e"),
    logpeer.record(2, 16, "Closed"),
    logpeer.record(2, 17, "b"),
    logpeer.record(4, 17, "ccx"),
])


def dornellog(epm_port, *args):
    binary = os.path.join(os.environ["DORNEL_BIN_DIR"], "dornellog")
    env = dict(os.environ, DORNEL_EPM_PORT=str(epm_port))
    done = subprocess.run([binary, *args], capture_output=True, text=True, env=env, timeout=60)
    return done.returncode, done.stdout, done.stderr


class DornelLogTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = logpeer.LogServer(LOG)
        _, cls.epm = cls.server.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_ping(self):
        self.assertEqual(dornellog(self.epm, "--server", "127.0.0.1", "ping")[0], 0)

    def test_search_prints_records_as_stored_and_the_count(self):
        code, out, _ = dornellog(self.epm, "search", "CLOSED")
        self.assertEqual(code, 0)
        self.assertEqual(out, logpeer.record(2, 16, "Closed") + "1 matching record\n")
        code, out, _ = dornellog(self.epm, "search", "")
        self.assertEqual(out.splitlines()[-1], "6 matching records")

    def test_cashup_prints_each_coin_with_its_value_and_the_raw_text(self):
        code, out, _ = dornellog(self.epm, "cashup", "2")
        self.assertEqual(code, 0)
        self.assertIn("  b  0.10: 1\n", out)
        self.assertIn("Total: 0.10\n", out)
        self.assertIn("Raw: 0,1,0,0,0,0,0,0,0\n", out)
        self.assertIn("Raw: 0,0,2,0,0,0,0,0,0\n", dornellog(self.epm, "cashup", "4")[1])
        self.assertIn("Raw: 0,0,0,0,0,0,0,0,0\n", dornellog(self.epm, "cashup", "-1")[1])

    def test_usage_errors_and_help(self):
        code, out, _ = dornellog(self.epm, "--help")
        self.assertEqual(code, 0)
        self.assertIn("usage: dornellog", out)
        for args in (["cashup", "two"], ["search"], ["frobnicate"], [], ["--server"]):
            self.assertEqual(dornellog(self.epm, *args)[0], 2, args)

    def test_no_server_is_an_rpc_failure(self):
        code, _, err = dornellog(logpeer.free_port(), "ping")
        self.assertEqual(code, 1)
        self.assertIn("Could not connect to the Dornel RPC server", err)

    def test_a_server_that_never_answers_ends_at_the_time_out(self):
        with socket.socket() as silent:  # connections wait in its backlog, unanswered
            silent.bind(("127.0.0.1", 0))
            silent.listen(4)
            started = time.monotonic()
            code, _, err = dornellog(silent.getsockname()[1], "--timeout", "1", "ping")
            self.assertLess(time.monotonic() - started, 30)
        self.assertEqual(code, 1)
        self.assertIn("dornellog: the Dornel RPC server (127.0.0.1) did not answer within 1 second",
                      err)
        for bad in (["--timeout", "0", "ping"], ["--timeout", "x", "ping"], ["ping", "--timeout"]):
            self.assertEqual(dornellog(self.epm, *bad)[0], 2, bad)

    def test_a_record_longer_than_the_read_buffer_prints_whole(self):
        long_record = logpeer.record(5, 8, "y" * 3000, "jlong")
        server = logpeer.LogServer(long_record + logpeer.record(5, 16, "Open"))
        try:
            _, epm = server.start()
            # Every piece of it matches: the record prints whole and counts once.
            code, out, _ = dornellog(epm, "search", "yyy")
            self.assertEqual(code, 0)
            self.assertEqual(out, long_record + "1 matching record\n")
            # Only its first piece matches: that piece ends on a line of its own.
            code, out, _ = dornellog(epm, "search", "|5|")
            self.assertEqual(code, 0)
            lines = out.split("\n")
            self.assertEqual(lines[0], long_record[:1022])
            self.assertEqual(lines[1:], [logpeer.record(5, 16, "Open")[:-1], "2 matching records", ""])
        finally:
            server.stop()

    def test_zz_clear_empties_the_log(self):
        code, out, _ = dornellog(self.epm, "clear")
        self.assertEqual(code, 0)
        self.assertEqual(out, "The log was cleared\n")
        self.assertEqual(dornellog(self.epm, "search", "")[1], "0 matching records\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
