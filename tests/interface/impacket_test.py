# SPDX-License-Identifier: MIT
# Copyright (c) 2026 The Dornel developers
"""DornelLog against impacket: the endpoint found through our endpoint mapper with
hept_map, a bind, every operation with raw stub bytes over one connection (the viewer's
result set lives with its connection), and the runtime's refusals as impacket reports them.
Run with the distribution's python3 (impacket is installed there)."""

import struct
import sys
import threading
import unittest

from impacket.dcerpc.v5 import epm, transport
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

import logpeer

IFACE = uuidtup_to_bin((logpeer.UUID, "1.0"))
LOG = "".join([
    logpeer.record(2, 16, "Open"),
    logpeer.record(2, 17, "aab"),
    logpeer.record(2, 17, "e"),
    logpeer.record(2, 16, "Closed"),
    logpeer.record(2, 17, "b"),
    logpeer.record(3, 8, "jsmith", "jsmith"),
]) + "Tuesday, 06/03/2001 14:05:10|2|17|N/A|torn"


def map_endpoint(epm_port, iface=IFACE):
    t = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % epm_port)
    t.set_connect_timeout(5)
    dce = t.get_dce_rpc()
    dce.connect()
    try:
        return epm.hept_map("127.0.0.1", iface, protocol="ncacn_ip_tcp", dce=dce)
    finally:
        dce.disconnect()


def connect(binding, iface=IFACE):
    t = transport.DCERPCTransportFactory(binding)
    t.set_connect_timeout(5)
    dce = t.get_dce_rpc()
    dce.connect()
    dce.bind(iface)
    return dce


def call(dce, opnum, stub):
    dce.call(opnum, stub)
    return dce.recv()


class ImpacketInterop(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = logpeer.LogServer(LOG)
        cls.port, cls.epm_port = cls.server.start()
        cls.binding = map_endpoint(cls.epm_port)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_mapper_gives_the_interface_port(self):
        self.assertEqual(self.binding, "ncacn_ip_tcp:127.0.0.1[%d]" % self.port)

    def test_every_operation_with_raw_stubs(self):
        dce = connect(self.binding)
        try:
            self.assertEqual(call(dce, 0, b""), b"\0\0\0\0")
            answer = call(dce, 2, logpeer.search_stub("CLOSED"))
            self.assertEqual(struct.unpack("<iI", answer), (1, 0))
            answer = call(dce, 3, struct.pack("<I", 0))
            position, status = struct.unpack("<II", answer)
            self.assertEqual(status, 0)
            self.assertNotEqual(position, 0)
            answer = call(dce, 4, logpeer.next_stub(position))
            (position,) = struct.unpack_from("<I", answer)
            text, end = logpeer.parse_buffer(answer, 4)
            self.assertEqual(text, logpeer.record(2, 16, "Closed"))
            self.assertEqual(end, len(answer) - 4)
            self.assertEqual(position, 0)
            self.assertEqual(answer[-4:], b"\0\0\0\0")
            for _ in range(2):  # past the end: 5 with the entry as sent, and 5 again
                answer = call(dce, 4, logpeer.next_stub(0))
                self.assertEqual(answer, struct.pack("<IiII", 0, 0, 0, 5))

            answer = call(dce, 2, logpeer.search_stub(""))
            self.assertEqual(struct.unpack("<iI", answer), (6, 0))  # the torn line is left out

            answer = call(dce, 5, logpeer.cashup_stub(2))
            text, end = logpeer.parse_buffer(answer, 0)
            self.assertEqual(text, "0,1,0,0,0,0,0,0,0")
            self.assertEqual(struct.unpack_from("<I", answer, end), (0,))
            text, _ = logpeer.parse_buffer(call(dce, 5, logpeer.cashup_stub(7)), 0)
            self.assertEqual(text, "0,0,0,0,0,0,0,0,0")

            self.assertEqual(call(dce, 1, b""), b"\0\0\0\0")
        finally:
            dce.disconnect()

    def test_a_forged_position_is_status_five(self):
        dce = connect(self.binding)
        try:
            call(dce, 2, logpeer.search_stub(""))
            answer = call(dce, 4, logpeer.next_stub(0x7FFFFFFF))
            self.assertEqual(answer, struct.pack("<IiII", 0x7FFFFFFF, 0, 0, 5))
        finally:
            dce.disconnect()

    def test_big_search_fragmented_by_impacket(self):
        dce = connect(self.binding)
        try:
            dce.set_max_fragment_size(512)
            answer = call(dce, 2, logpeer.search_stub("x" * 20000))
            self.assertEqual(struct.unpack("<iI", answer), (0, 0))
        finally:
            dce.disconnect()

    def test_four_viewers_at_once(self):
        results = []

        def viewer():
            dce = connect(self.binding)
            try:
                for _ in range(10):
                    results.append(struct.unpack("<iI", call(dce, 2, logpeer.search_stub("|17|"))))
            finally:
                dce.disconnect()

        threads = [threading.Thread(target=viewer) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(results, [(3, 0)] * 40)

    # ---- refusals ------------------------------------------------------------------------

    def test_malformed_stub_unknown_opnum_and_wrong_version(self):
        dce = connect(self.binding)
        try:
            with self.assertRaisesRegex(DCERPCException, "nca_s_op_rng_error"):
                call(dce, 7, b"")
            with self.assertRaisesRegex(DCERPCException, "rpc_x_bad_stub_data"):
                call(dce, 2, struct.pack("<iiII", 0, 5, 0x20000, 9) + b"abc")  # count 9, 3 bytes
            self.assertEqual(call(dce, 0, b""), b"\0\0\0\0")  # the connection goes on
        finally:
            dce.disconnect()
        with self.assertRaisesRegex(DCERPCException, "abstract_syntax_not_supported"):
            connect(self.binding, uuidtup_to_bin((logpeer.UUID, "2.0")))

    def test_unregistered_interface_is_not_mapped(self):
        other = uuidtup_to_bin(("12345678-1234-1234-1234-123456789abc", "1.0"))
        with self.assertRaisesRegex(DCERPCException, "ept_s_not_registered"):
            map_endpoint(self.epm_port, other)

    def test_clear_log_empties_the_file(self):
        server = logpeer.LogServer(LOG)  # a server of its own: the others read the log
        try:
            _, epm_port = server.start()
            dce = connect(map_endpoint(epm_port))
            try:
                self.assertEqual(call(dce, 6, b""), b"\0\0\0\0")
                self.assertEqual(struct.unpack("<iI", call(dce, 2, logpeer.search_stub(""))), (0, 0))
            finally:
                dce.disconnect()
            with open(server.log_path, "rb") as f:
                self.assertEqual(f.read(), b"")
            self.assertTrue(server.alive())
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
