# SPDX-License-Identifier: MIT
# Copyright (c) 2026 The Dornel developers
"""The log RPC's limits as a client on the network meets them, set through the registry
of the test server: connections beyond the cap are closed at once while a bound viewer
goes on, a half-sent header is dropped after the PDU time-out, an oversized request is
faulted and the connection serves on; and a bind of another protocol version is answered
with a bind_nak listing ours, as impacket decodes it."""

import socket
import struct
import time
import unittest

from impacket.dcerpc.v5.rpcrt import (MSRPC_BIND, MSRPC_BINDNAK, CtxItem, DCERPCException,
                                      MSRPCBind, MSRPCBindNak, MSRPCHeader)
from impacket.uuid import uuidtup_to_bin

import logpeer
from impacket_test import IFACE, LOG, call, connect, map_endpoint

CAP = 10


def raw(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    return s


def closed_now(s):
    """True when the server has closed the socket, without waiting."""
    s.setblocking(False)
    try:
        return s.recv(1) == b""
    except (BlockingIOError, InterruptedError):
        return False
    except ConnectionResetError:
        return True
    finally:
        s.setblocking(True)


def bind_bytes(ver_major, ver_minor):
    item = CtxItem()
    item["ContextID"] = 0
    item["TransItems"] = 1
    item["AbstractSyntax"] = IFACE
    item["TransferSyntax"] = uuidtup_to_bin(("8a885d04-1ceb-11c9-9fe8-08002b104860", "2.0"))
    bind = MSRPCBind()
    bind["max_tfrag"] = bind["max_rfrag"] = 4280
    bind.addCtxItem(item)
    header = MSRPCHeader()
    header["type"] = MSRPC_BIND
    header["call_id"] = 1
    header["pduData"] = bind.getData()
    header["ver_major"] = ver_major
    header["ver_minor"] = ver_minor
    return header.getData()


class LogRpcLimits(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = logpeer.LogServer(LOG, registry={
            "RpcMaxConnections": CAP, "RpcPduTimeout": 1, "RpcMaxRequestSize": 4096})
        cls.port, cls.epm_port = cls.server.start()
        cls.binding = map_endpoint(cls.epm_port)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_connections_beyond_the_cap_are_closed_and_a_bound_viewer_goes_on(self):
        viewer = connect(self.binding)
        flood = []
        try:
            self.assertEqual(call(viewer, 0, b""), b"\0\0\0\0")
            flood = [raw(self.port) for _ in range(CAP + 50)]
            # CAP - 1 fit beside the viewer; the rest are closed as soon as accepted.
            self.assertTrue(logpeer.wait_until(
                lambda: sum(closed_now(s) for s in flood) >= 51, 20), "not refused")
            self.assertEqual(sum(closed_now(s) for s in flood), 51)
            self.assertEqual(call(viewer, 0, b""), b"\0\0\0\0")
            answer = call(viewer, 2, logpeer.search_stub("CLOSED"))
            self.assertEqual(struct.unpack("<iI", answer), (1, 0))
        finally:
            for s in flood:
                s.close()
            viewer.disconnect()

        def fresh_client_served():
            try:
                dce = connect(self.binding)
            except Exception:  # still full: the server has not seen the closes yet
                return False
            try:
                return call(dce, 0, b"") == b"\0\0\0\0"
            finally:
                dce.disconnect()
        self.assertTrue(logpeer.wait_until(fresh_client_served, 20))
        self.assertTrue(self.server.alive())

    def test_a_half_sent_header_is_dropped_after_the_pdu_time_out(self):
        s = raw(self.port)
        try:
            s.sendall(bind_bytes(5, 0)[:8])
            started = time.monotonic()
            self.assertEqual(s.recv(1), b"")  # the socket time-out (10 s) fails this
            self.assertGreater(time.monotonic() - started, 0.5)
        finally:
            s.close()

    def test_an_oversized_request_is_faulted_and_the_connection_serves_on(self):
        dce = connect(self.binding)
        try:
            with self.assertRaisesRegex(DCERPCException, "nca_s_proto_error"):
                call(dce, 2, logpeer.search_stub("x" * 20000))
            answer = call(dce, 2, logpeer.search_stub("CLOSED"))
            self.assertEqual(struct.unpack("<iI", answer), (1, 0))
        finally:
            dce.disconnect()

    def test_a_bind_of_another_version_gets_a_bind_nak_with_ours(self):
        s = raw(self.port)
        try:
            s.sendall(bind_bytes(5, 2))
            header = MSRPCHeader(s.recv(4096))
            self.assertEqual(header["type"], MSRPC_BINDNAK)
            nak = MSRPCBindNak(header["pduData"])
            self.assertEqual(nak["RejectedReason"], 4)  # protocol version not supported
            versions = nak["SupportedVersions"]
            self.assertEqual(versions[:5], bytes([2, 5, 0, 5, 1]))
            s.sendall(bind_bytes(5, 0))  # the same connection binds with a version we speak
            self.assertEqual(MSRPCHeader(s.recv(4096))["type"], 12)  # bind_ack
        finally:
            s.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
