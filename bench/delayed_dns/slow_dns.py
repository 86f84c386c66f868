#!/usr/bin/python3
"""A loopback DNS server that answers every query after a fixed delay.

Every TXT question gets one record, "v=spf1 ip4:192.0.2.0/24 -all"; other
types get an empty answer. Answers leave delay milliseconds after their
query arrived, so a server that waits on them sees the delay on every
lookup, not the loopback round trip.

Usage: slow_dns.py --address 127.0.0.1 --port 53 --delay-ms 20
It prints "ready" once bound and serves until killed or its stdin ends.
"""

import argparse
import asyncio
import struct
import sys

RECORD = b"v=spf1 ip4:192.0.2.0/24 -all"
TYPE_TXT = 16


def answer(query):
    """The reply to one query, or None for a datagram that is not one."""
    if len(query) < 12:
        return None
    ident, flags, qdcount = struct.unpack("!HHH", query[:6])
    if qdcount != 1 or flags & 0x8000:
        return None
    end = 12
    while end < len(query) and query[end] != 0:
        end += 1 + query[end]
    end += 1
    if end + 4 > len(query):
        return None
    question = query[12:end + 4]
    qtype = struct.unpack("!H", query[end:end + 2])[0]
    records = b""
    count = 0
    if qtype == TYPE_TXT:
        rdata = bytes([len(RECORD)]) + RECORD
        records = struct.pack("!HHHIH", 0xC00C, TYPE_TXT, 1, 300, len(rdata)) + rdata
        count = 1
    reply_flags = 0x8000 | 0x0400 | 0x0080 | (flags & 0x0100)
    return struct.pack("!HHHHHH", ident, reply_flags, 1, count, 0, 0) + question + records


class Server(asyncio.DatagramProtocol):
    def __init__(self, delay_s):
        self.delay_s = delay_s
        self.transport = None

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, peer):
        reply = answer(data)
        if reply is not None:
            asyncio.get_running_loop().call_later(self.delay_s, self.transport.sendto, reply, peer)


async def serve(address, port, delay_ms):
    loop = asyncio.get_running_loop()
    await loop.create_datagram_endpoint(lambda: Server(delay_ms / 1000.0),
                                        local_addr=(address, port))
    print("ready", flush=True)
    # Serves until the starter closes our standard input.
    await loop.run_in_executor(None, sys.stdin.read)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=53)
    parser.add_argument("--delay-ms", type=float, default=20.0)
    args = parser.parse_args()
    asyncio.run(serve(args.address, args.port, args.delay_ms))


if __name__ == "__main__":
    main()
