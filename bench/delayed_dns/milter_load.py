#!/usr/bin/python3
"""A milter load client: many connections, each sending messages one after
another as an MTA does, every message from a sender domain not used before.

Per connection: option negotiation, connect and HELO once; then for each
message the queue-id macro, MAIL, RCPT, one header and end of headers (sent
together, their five SMFIR_CONTINUE answers read back), and end of message,
whose answer ends the message. A message's latency runs from its first
packet to the final answer. Prints messages per second, p50 and p99.

Usage: milter_load.py --port N [--connections 16] [--seconds 10]
"""

import argparse
import asyncio
import struct
import sys
import time


def packet(command, payload=b""):
    return struct.pack("!I", len(payload) + 1) + command + payload


def z(text):
    return text.encode() + b"\0"


async def read_reply(reader):
    length = struct.unpack("!I", await reader.readexactly(4))[0]
    body = await reader.readexactly(length)
    return body[:1]


async def connection(port, number, stop_at, latencies, failures):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(packet(b"O", struct.pack("!III", 6, 0x1FF, 0)))
    writer.write(packet(b"C", z("client.bench.test") + b"4" + struct.pack("!H", 25) +
                        z("192.0.2.10")))
    writer.write(packet(b"H", z("mx.bench.test")))
    await writer.drain()
    for _ in range(3):
        await read_reply(reader)
    message = 0
    while time.monotonic() < stop_at:
        message += 1
        domain = "m%d.c%d.bench.test" % (message, number)
        started = time.monotonic()
        writer.write(packet(b"D", b"M" + z("i") + z("Q%dC%d" % (message, number))) +
                     packet(b"M", z("<user@%s>" % domain)) + packet(b"R", z("<rcpt@bench.test>")) +
                     packet(b"L", z("Subject") + z("load")) + packet(b"N"))
        await writer.drain()
        for _ in range(4):
            await read_reply(reader)
        writer.write(packet(b"E"))
        await writer.drain()
        while True:
            code = await read_reply(reader)
            if code in (b"a", b"t", b"r", b"d", b"y", b"c"):
                break
        if code != b"a":
            failures.append(code)
        latencies.append(time.monotonic() - started)
    writer.write(packet(b"Q"))
    await writer.drain()
    writer.close()


async def run(port, connections, seconds):
    latencies, failures = [], []
    started = time.monotonic()
    stop_at = started + seconds
    await asyncio.gather(*(connection(port, n, stop_at, latencies, failures)
                           for n in range(connections)))
    elapsed = time.monotonic() - started
    latencies.sort()
    if not latencies:
        print("no messages answered", file=sys.stderr)
        return 1
    p50 = latencies[len(latencies) // 2] * 1000
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))] * 1000
    print("connections=%d messages=%d msgs/s=%.0f p50=%.1fms p99=%.1fms not-accepted=%d"
          % (connections, len(latencies), len(latencies) / elapsed, p50, p99, len(failures)))
    return 0 if not failures else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--connections", type=int, default=16)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    sys.exit(asyncio.run(run(args.port, args.connections, args.seconds)))


if __name__ == "__main__":
    main()
