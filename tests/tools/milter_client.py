#!/usr/bin/python3
"""A small milter client for loopback tests: it plays the MTA's side of the
milter protocol (version 6) over TCP or a UNIX-domain socket, with raw
sockets and struct, and reads the filter's replies one packet at a time.

    with MilterClient.tcp("127.0.0.1", port) as mta:
        mta.negotiate()
        replies = mta.message(client_addr="192.0.2.1", helo="mx.example",
                              sender="<a@example.com>", headers=[("Subject", "hi")])

Every read is bounded by the socket time-out given at connection time; a
closed connection or a malformed packet raises MilterError.
"""

import socket
import struct

SMFIC_OPTNEG = b"O"
SMFIC_MACRO = b"D"
SMFIC_CONNECT = b"C"
SMFIC_HELO = b"H"
SMFIC_MAIL = b"M"
SMFIC_RCPT = b"R"
SMFIC_HEADER = b"L"
SMFIC_EOH = b"N"
SMFIC_BODYEOB = b"E"
SMFIC_QUIT = b"Q"

SMFIR_CONTINUE = b"c"
SMFIR_ACCEPT = b"a"
SMFIR_TEMPFAIL = b"t"
SMFIR_INSHEADER = b"i"
SMFIR_CHGHEADER = b"m"
SMFIR_ADDHEADER = b"h"
SMFIR_OPTNEG = b"O"

# Final answers: everything else at end of message is a modification.
FINAL = {SMFIR_CONTINUE, SMFIR_ACCEPT, SMFIR_TEMPFAIL, b"r", b"d", b"y"}
MAX_PACKET = 1 << 20

MTA_VERSION = 6
MTA_ACTIONS = 0x1FF
MTA_PROTOCOL = 0x1FFFFF  # every protocol flag the filter may ask for

# Protocol flags by which the filter leaves a step out, and those by which it
# asks the MTA to go on after a step without waiting for an answer.
SMFIP_NORCPT = 0x08
SKIP_FLAGS = {SMFIC_RCPT: SMFIP_NORCPT}
NO_REPLY_FLAGS = {SMFIC_CONNECT: 0x1000, SMFIC_HELO: 0x2000, SMFIC_MAIL: 0x4000,
                  SMFIC_RCPT: 0x8000, SMFIC_HEADER: 0x80, SMFIC_EOH: 0x40000}


class MilterError(Exception):
    pass


def cstr(text):
    return text.encode() + b"\0"


class MilterClient:
    def __init__(self, sock):
        self.sock = sock
        self.negotiated = None

    @classmethod
    def tcp(cls, host, port, timeout=10.0):
        return cls(socket.create_connection((host, port), timeout=timeout))

    @classmethod
    def unix(cls, path, timeout=10.0):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(timeout)
        sock.connect(path)
        return cls(sock)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.sock.close()

    def send(self, command, data=b""):
        self.sock.sendall(struct.pack(">I", len(data) + 1) + command + data)

    def _read_exact(self, count):
        chunks = b""
        while len(chunks) < count:
            chunk = self.sock.recv(count - len(chunks))
            if not chunk:
                raise MilterError("connection closed by the filter")
            chunks += chunk
        return chunks

    def read_reply(self):
        """One reply packet: (code byte, data)."""
        (length,) = struct.unpack(">I", self._read_exact(4))
        if length < 1 or length > MAX_PACKET:
            raise MilterError("bad reply length %d" % length)
        body = self._read_exact(length)
        return body[:1], body[1:]

    def expect(self, code):
        reply = self.read_reply()
        if reply[0] != code:
            raise MilterError("expected %r, got %r" % (code, reply))
        return reply[1]

    def negotiate(self, version=MTA_VERSION, actions=MTA_ACTIONS, protocol=MTA_PROTOCOL):
        self.send(SMFIC_OPTNEG, struct.pack(">III", version, actions, protocol))
        data = self.expect(SMFIR_OPTNEG)
        if len(data) < 12:
            raise MilterError("short option negotiation reply")
        self.negotiated = struct.unpack(">III", data[:12])
        return self.negotiated

    def macros(self, command, pairs):
        self.send(SMFIC_MACRO, command + b"".join(cstr(k) + cstr(v) for k, v in pairs))

    def _negotiated(self, flags):
        return self.negotiated is not None and self.negotiated[2] & flags != 0

    def connect(self, host_name, address, port=25):
        family = b"6" if ":" in address else b"4"
        return self.step(SMFIC_CONNECT,
                         cstr(host_name) + family + struct.pack(">H", port) + cstr(address))

    def step(self, command, data):
        """Sends a step and reads its SMFIR_CONTINUE, unless the filter
        negotiated the step away (nothing is sent) or negotiated no answer to
        it (nothing is read: a stray answer shows up at the next read)."""
        if self._negotiated(SKIP_FLAGS.get(command, 0)):
            return None
        self.send(command, data)
        if self._negotiated(NO_REPLY_FLAGS.get(command, 0)):
            return None
        return self.expect(SMFIR_CONTINUE)

    def end_of_message(self):
        """Sends end of message; returns (modifications, final reply)."""
        self.send(SMFIC_BODYEOB)
        modifications = []
        while True:
            code, data = self.read_reply()
            if code in FINAL:
                return modifications, (code, data)
            modifications.append((code, data))

    def message(self, client_addr, helo, sender, recipients=("<postmaster@example.net>",),
                headers=(), host_name="client.example"):
        """One whole transaction; the end-of-message outcome."""
        self.connect(host_name, client_addr)
        self.step(SMFIC_HELO, cstr(helo))
        self.step(SMFIC_MAIL, cstr(sender))
        for rcpt in recipients:
            self.step(SMFIC_RCPT, cstr(rcpt))
        for name, value in headers:
            self.step(SMFIC_HEADER, cstr(name) + cstr(value))
        self.step(SMFIC_EOH, b"")
        return self.end_of_message()

    def quit(self):
        self.send(SMFIC_QUIT)


def parse_insert_header(data):
    """SMFIR_INSHEADER data: (index, name, value)."""
    (index,) = struct.unpack(">I", data[:4])
    name, value = data[4:].split(b"\0")[:2]
    return index, name.decode(), value.decode()
