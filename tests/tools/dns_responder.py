#!/usr/bin/python3
"""A scriptable DNS responder for loopback tests.

It serves a zone over UDP and TCP on one port of one or more loopback
addresses (127.0.0.1 by default; 127.0.0.2 and ::1 work too), answers from
that zone, obeys per-query scripted actions and keeps a log of every query it
received. It builds and reads its messages itself, byte by byte, so that it
shares nothing with the code under test.

Wire form of the answers (tests may rely on it to compute offsets): the
question of the query is echoed; every answer record has its owner name
written in full, never compressed; no authority, additional or OPT records
are added; flags are QR, AA, RA, the query's RD, TC when scripted, and the
response code.

Zone (a dict; names are matched without regard to ASCII letter case and
without a trailing dot):

    {"example.com": {
         "A": ["192.0.2.1", {"value": "192.0.2.2", "ttl": 60}],
         "AAAA": ["2001:db8::1"],
         "TXT": ["v=spf1 -all", ["first string ", "second string"]],
         "SPF": ["v=spf1 -all"],           # type 99, stored like TXT
         "MX": [[10, "mx.example.com"]],   # or "10 mx.example.com"
         "PTR": ["host.example.com"], "CNAME": ["target.example.com"],
         "NS": ["ns.example.com"],
         "TYPE65": ["0001ff"],             # any other type: RDATA in hex
         "ttl": 300,                       # default TTL of the entry's records
         "rcode": 0,                       # answer this name with that code
         "timeout": False}}                # never answer this name

A TXT value that is a string longer than 255 bytes is split into strings of
255 bytes. A name that is absent gets response code 3 (no such name); a name
that is present without records of the asked type gets code 0 and no
answers. A query for another type at a name that holds a CNAME gets the CNAME
record and then the answer for its target (followed up to 8 times, like a
recursive server would); a chain that ends at an absent name gets code 3
with the CNAME records, one that ends at a "timeout" name gets no reply.

Actions are taken in the order they were added; each query takes the first
action whose match fields all fit, and an action is used "count" times
(default 1; "always": true keeps it). Match fields: "name", "type" (a code or
a name such as "TXT"), "server" (the address the query was sent to),
"transport" ("udp" or "tcp"). Behaviour fields:

    "silent": true          no reply
    "rcode": N              reply with code N and no answer records
    "tc": true              set TC; the zone's records are kept
    "wrong_id": true        reply with the query ID XOR 0x5A5A (UDP and TCP)
    "other_port": true      reply from another UDP port of the same address
    "then_reply": true      after a wrong_id/other_port datagram, also send
                            the proper reply from the proper port
    "stray_rcode": N        the wrong_id/other_port datagram carries code N
                            and no answers, so a test can tell it apart
    "cut": N                send only the first N bytes of the reply
    "raw_hex": "..."        send these bytes instead of a reply; the query
                            ID replaces the first two unless "raw_id": true
    "close": true           over TCP: close the connection without a reply

Shaping fields bend the reply (the zone's answer, or the "rcode" one) the
way a forger or a broken server would; any of them makes it a shaped reply.
Over UDP "then_reply": true sends the proper reply after the shaped one.

    "question": "x.test"    the question names x.test
    "question_type": T      the question carries type T (a code or a name)
    "question_class": N     the question carries class N
    "question_count": N     QDCOUNT is N and the question is written N times
    "qr_clear": true        QR is clear, as in a query reflected back
    "owner": "x.test"       every answer record is owned by x.test
    "pointer_records": N    N more copies of the first answer record, each
                            owner a compression pointer to the question name
    "zone_records": false   code 0 and none of the zone's records, so the
                            shaped reply holds only what the fields add
    "answer_hex": "..."     these bytes end the answer section, counted as
                            "answer_hex_count" records (default 1)
    "authority_hex", "additional_hex": "..."   the authority and additional
                            sections, counted as "authority_count" and
                            "additional_count" records (default 1 each)

Command line:  dns_responder.py [--address A]... [--port N] [--zone FILE]
It binds, prints "ready <port>" and then reads commands from standard input,
one JSON object per line, answering each with one line "ok" (or "ok <n>"
followed by n lines) or "error <text>". It ends on "quit" or at the end of
its input, so it never outlives its test.

    {"cmd": "zone", "zone": {...}}          add or replace names
    {"cmd": "remove", "name": "x.test"}
    {"cmd": "action", ...}                  append an action (fields above)
    {"cmd": "clear_actions"}
    {"cmd": "log", "clear": true}           "ok <n>", then one line per
        query: server, transport, client port, ID, type, EDNS payload size
        (-1 without OPT) and name, separated by tabs; bytes outside
        0x21..0x7E and the backslash in the name are written \\xNN
    {"cmd": "tcp", "server": "127.0.0.1", "mode": "refuse"|"close"|"serve"}
        refuse: no TCP listener (connections are refused); close: accept
        and close at once; serve: the normal behaviour
    {"cmd": "quit"}

From Python:  with serve_zone(zone) as responder: ... responder.port ...
(Responder also offers update_zone, add_action, take_log and set_tcp_mode.)
"""

import argparse
import errno
import ipaddress
import json
import selectors
import socket
import struct
import sys
import threading

TYPE_CODES = {"A": 1, "NS": 2, "CNAME": 5, "PTR": 12, "MX": 15, "TXT": 16,
              "AAAA": 28, "OPT": 41, "SPF": 99}
NAME_TYPES = {2, 5, 12}
SHAPING_FIELDS = ("question", "question_type", "question_class", "question_count", "qr_clear",
                  "owner", "zone_records", "pointer_records", "answer_hex", "authority_hex", "additional_hex")
TEXT_TYPES = {16, 99}
DEFAULT_TTL = 300
MAX_CNAME_HOPS = 8
MAX_DATAGRAM = 65535
TCP_IO_TIMEOUT = 3.0
BIND_TRIES = 50
ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}


def zone_key(name):
    return name.translate(ASCII_LOWER).rstrip(".")


def encode_name(name):
    out = bytearray()
    for label in [piece for piece in name.rstrip(".").split(".") if piece]:
        raw = label.encode("latin-1")
        out.append(len(raw))
        out += raw
    out.append(0)
    return bytes(out)


def type_code(value):
    if isinstance(value, int):
        return value
    text = str(value).upper()
    if text.startswith("TYPE"):
        return int(text[4:])
    return TYPE_CODES[text]


def text_bytes(text):
    """Code points below 256 stand for single bytes (so "\\xEF\\xBB\\xBF" in a
    zone is the three bytes of a UTF-8 byte-order mark); other text is UTF-8."""
    try:
        return text.encode("latin-1")
    except UnicodeEncodeError:
        return text.encode("utf-8")


def character_strings(value):
    """A list is one record of those strings; a text is split every 255 bytes."""
    if isinstance(value, list):
        chunks = [text_bytes(piece) for piece in value]
        if any(len(chunk) > 255 for chunk in chunks):
            raise ValueError("a character-string holds at most 255 bytes")
    else:
        raw = text_bytes(value)
        chunks = [raw[i:i + 255] for i in range(0, len(raw), 255)] or [b""]
    return b"".join(bytes([len(chunk)]) + chunk for chunk in chunks)


def encode_rdata(code, value):
    if code == 1:
        return socket.inet_pton(socket.AF_INET, value)
    if code == 28:
        return socket.inet_pton(socket.AF_INET6, value)
    if code in NAME_TYPES:
        return encode_name(value)
    if code == 15:
        preference, exchange = value if isinstance(value, list) else value.split()
        return struct.pack("!H", int(preference)) + encode_name(exchange)
    if code in TEXT_TYPES:
        return character_strings(value)
    return bytes.fromhex(value)


def compile_entry(entry):
    """A zone entry as {"records": [(type, ttl, rdata, value)], "rcode", "timeout"}."""
    default_ttl = int(entry.get("ttl", DEFAULT_TTL))
    records = []
    for key, values in entry.items():
        if key in ("ttl", "rcode", "timeout"):
            continue
        code = type_code(key)
        for item in values if isinstance(values, list) else [values]:
            value, ttl = item, default_ttl
            if isinstance(item, dict):
                value, ttl = item["value"], int(item.get("ttl", default_ttl))
            records.append((code, ttl, encode_rdata(code, value), value))
    return {"records": records, "rcode": int(entry.get("rcode", 0)),
            "timeout": bool(entry.get("timeout", False))}


class Query:
    def __init__(self, data):
        self.data = data
        self.id, self.flags, qdcount = struct.unpack("!HHH", data[:6])
        position = 12
        labels = []
        while data[position] != 0:
            length = data[position]
            labels.append(data[position + 1:position + 1 + length].decode("latin-1"))
            position += 1 + length
        self.name = ".".join(labels)
        self.type, _ = struct.unpack("!HH", data[position + 1:position + 5])
        self.question = data[12:position + 5] if qdcount else b""
        self.edns_size = -1
        rest = data[position + 5:]
        if len(rest) >= 11 and rest[0] == 0 and struct.unpack("!H", rest[1:3])[0] == 41:
            self.edns_size = struct.unpack("!H", rest[3:5])[0]


def escape_name(name):
    out = []
    for ch in name:
        code = ord(ch)
        out.append(ch if 0x21 <= code <= 0x7E and ch != "\\" else "\\x%02x" % code)
    return "".join(out)


class Responder:
    def __init__(self, zone=None, addresses=("127.0.0.1",), port=0):
        self.addresses = list(addresses)
        self.requested_port = port
        self.port = 0
        self.lock = threading.Lock()
        self.zone = {}
        self.actions = []
        self.log = []
        self.tcp_modes = {address: "serve" for address in self.addresses}
        self.udp = {}
        self.tcp = {}
        self.selector = selectors.DefaultSelector()
        self.wake_r, self.wake_w = socket.socketpair()
        self.stopping = False
        self.pending = []
        self.thread = None
        if zone:
            self.update_zone(zone)

    # ---- control -------------------------------------------------------
    def update_zone(self, zone):
        compiled = {zone_key(name): compile_entry(entry) for name, entry in zone.items()}
        with self.lock:
            self.zone.update(compiled)

    def remove_name(self, name):
        with self.lock:
            self.zone.pop(zone_key(name), None)

    def add_action(self, action):
        action = dict(action)
        if "type" in action:
            action["type"] = type_code(action["type"])
        action.setdefault("count", 1)
        with self.lock:
            self.actions.append(action)

    def clear_actions(self):
        with self.lock:
            self.actions = []

    def take_log(self, clear=True):
        with self.lock:
            entries = list(self.log)
            if clear:
                self.log = []
        return entries

    def set_tcp_mode(self, server, mode):
        if mode not in ("serve", "refuse", "close"):
            raise ValueError("unknown tcp mode " + mode)
        self._call_in_loop(lambda: self._apply_tcp_mode(server, mode))

    # ---- sockets -------------------------------------------------------
    @staticmethod
    def _family(address):
        return socket.AF_INET6 if ipaddress.ip_address(address).version == 6 else socket.AF_INET

    def _bind(self, kind, address, port):
        sock = socket.socket(self._family(address), kind)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((address, port))
        if kind == socket.SOCK_STREAM:
            sock.listen(16)
        sock.setblocking(False)
        return sock

    def _bind_all(self):
        for _ in range(BIND_TRIES):
            opened = []
            try:
                first = self._bind(socket.SOCK_DGRAM, self.addresses[0], self.requested_port)
                opened.append(first)
                port = first.getsockname()[1]
                udp = {self.addresses[0]: first}
                for address in self.addresses[1:]:
                    udp[address] = self._bind(socket.SOCK_DGRAM, address, port)
                    opened.append(udp[address])
                tcp = {}
                for address in self.addresses:
                    tcp[address] = self._bind(socket.SOCK_STREAM, address, port)
                    opened.append(tcp[address])
                return port, udp, tcp
            except OSError as error:
                for sock in opened:
                    sock.close()
                if error.errno != errno.EADDRINUSE or self.requested_port:
                    raise
        raise OSError(errno.EADDRINUSE, "no common free port")

    def start(self):
        self.port, self.udp, self.tcp = self._bind_all()
        for address, sock in self.udp.items():
            self.selector.register(sock, selectors.EVENT_READ, ("udp", address))
        for address, sock in self.tcp.items():
            self.selector.register(sock, selectors.EVENT_READ, ("listen", address))
        self.selector.register(self.wake_r, selectors.EVENT_READ, ("wake", None))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        if self.thread is None:
            return
        self.stopping = True
        self.wake_w.send(b"x")
        self.thread.join(5)
        self.thread = None
        for sock in list(self.udp.values()) + list(self.tcp.values()):
            sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def _call_in_loop(self, function):
        done = threading.Event()
        with self.lock:
            self.pending.append((function, done))
        self.wake_w.send(b"x")
        if not done.wait(5):
            raise TimeoutError("responder loop did not answer")

    def _apply_tcp_mode(self, server, mode):
        old = self.tcp_modes.get(server)
        if old is None:
            raise ValueError("not a served address: " + server)
        self.tcp_modes[server] = mode
        if mode == "refuse" and server in self.tcp:
            sock = self.tcp.pop(server)
            self.selector.unregister(sock)
            sock.close()
        elif mode != "refuse" and server not in self.tcp:
            self.tcp[server] = self._bind(socket.SOCK_STREAM, server, self.port)
            self.selector.register(self.tcp[server], selectors.EVENT_READ, ("listen", server))

    def _serve(self):
        while not self.stopping:
            for key, _ in self.selector.select(timeout=1.0):
                try:
                    self._dispatch(key)
                except Exception as error:  # keep serving; the test sees the gap
                    print("dns_responder: %r" % error, file=sys.stderr, flush=True)

    def _dispatch(self, key):
        kind, address = key.data
        if kind == "wake":
            self.wake_r.recv(64)
            with self.lock:
                pending, self.pending = self.pending, []
            for function, done in pending:
                try:
                    function()
                finally:
                    done.set()
        elif kind == "udp":
            self._on_datagram(key.fileobj, address)
        elif kind == "listen":
            self._on_connection(key.fileobj, address)

    # ---- answering -----------------------------------------------------
    def _take_action(self, query, server, transport):
        with self.lock:
            for index, action in enumerate(self.actions):
                if "name" in action and zone_key(action["name"]) != zone_key(query.name):
                    continue
                if "type" in action and action["type"] != query.type:
                    continue
                if "server" in action and action["server"] != server:
                    continue
                if "transport" in action and action["transport"] != transport:
                    continue
                if not action.get("always"):
                    action["count"] -= 1
                    if action["count"] <= 0:
                        del self.actions[index]
                return action
        return {}

    def _resolve(self, query):
        """(rcode, records) or None for no reply."""
        records = []
        current = query.name
        with self.lock:
            for _ in range(MAX_CNAME_HOPS):
                entry = self.zone.get(zone_key(current))
                if entry is None:
                    return 3, records
                if entry["timeout"]:
                    return None
                if entry["rcode"]:
                    return entry["rcode"], records
                wanted = [r for r in entry["records"] if r[0] == query.type]
                cnames = [r for r in entry["records"] if r[0] == 5]
                if wanted or query.type == 5 or not cnames:
                    records += [(current,) + r[:3] for r in wanted]
                    return 0, records
                records.append((current,) + cnames[0][:3])
                current = cnames[0][3]
        return 2, records

    @staticmethod
    def _message(query, rcode, records, truncated):
        flags = 0x8000 | 0x0400 | 0x0080 | (query.flags & 0x0100) | (rcode & 0x0F)
        if truncated:
            flags |= 0x0200
        out = bytearray(struct.pack("!HHHHHH", query.id, flags, 1 if query.question else 0,
                                    len(records), 0, 0))
        out += query.question
        for owner, code, ttl, rdata in records:
            out += encode_name(owner) + struct.pack("!HHIH", code, 1, ttl, len(rdata)) + rdata
        return bytes(out)

    def _reply(self, query, action):
        """The bytes to send, or None for no reply."""
        if action.get("silent"):
            return None
        if "raw_hex" in action:
            raw = bytearray.fromhex(action["raw_hex"])
            if len(raw) >= 2 and not action.get("raw_id"):
                raw[0:2] = struct.pack("!H", query.id)
            return bytes(raw)
        if "rcode" in action:
            message = self._message(query, int(action["rcode"]), [], action.get("tc", False))
        else:
            resolved = self._resolve(query)
            if resolved is None:
                return None
            message = self._message(query, resolved[0], resolved[1], action.get("tc", False))
        if "cut" in action:
            message = message[:int(action["cut"])]
        return message

    def _shaped(self, query, action):
        """The reply bent as the action's shaping fields say; None without any."""
        if not any(field in action for field in SHAPING_FIELDS):
            return None
        if not action.get("zone_records", True):
            rcode, records = 0, []
        elif "rcode" in action:
            rcode, records = int(action["rcode"]), []
        else:
            resolved = self._resolve(query)
            if resolved is None:
                return None
            rcode, records = resolved
        owner = action.get("owner")
        answers = bytearray()
        for name, code, ttl, rdata in records:
            answers += encode_name(name if owner is None else owner)
            answers += struct.pack("!HHIH", code, 1, ttl, len(rdata)) + rdata
        count = len(records)
        if records and int(action.get("pointer_records", 0)) > 0:
            _, code, ttl, rdata = records[0]
            copy = struct.pack("!HHHIH", 0xC000 | 12, code, 1, ttl, len(rdata)) + rdata
            answers += copy * int(action["pointer_records"])
            count += int(action["pointer_records"])
        if "answer_hex" in action:
            answers += bytes.fromhex(action["answer_hex"])
            count += int(action.get("answer_hex_count", 1))
        authority = bytes.fromhex(action.get("authority_hex", ""))
        additional = bytes.fromhex(action.get("additional_hex", ""))
        flags = 0 if action.get("qr_clear") else 0x8000
        flags |= 0x0400 | 0x0080 | (query.flags & 0x0100) | (rcode & 0x0F)
        if action.get("tc"):
            flags |= 0x0200
        questions = int(action.get("question_count", 1))
        question = encode_name(action.get("question", query.name)) + struct.pack(
            "!HH", type_code(action.get("question_type", query.type)),
            int(action.get("question_class", 1)))
        header = struct.pack("!HHHHHH", query.id, flags, questions, count,
                             int(action.get("authority_count", 1)) if authority else 0,
                             int(action.get("additional_count", 1)) if additional else 0)
        message = header + question * questions + bytes(answers) + authority + additional
        if "cut" in action:
            message = message[:int(action["cut"])]
        return message

    def _record(self, query, server, transport, client_port):
        with self.lock:
            self.log.append((server, transport, client_port, query.id, query.type,
                             query.edns_size, query.name))

    def _on_datagram(self, sock, server):
        try:
            data, peer = sock.recvfrom(MAX_DATAGRAM)
            query = Query(data)
        except (OSError, IndexError, struct.error):
            return
        self._record(query, server, "udp", peer[1])
        action = self._take_action(query, server, "udp")
        reply = self._reply(query, action)
        if reply is None:
            return
        shaped = self._shaped(query, action)
        if shaped is not None:
            sock.sendto(shaped, peer)
            if not action.get("then_reply"):
                return
        if action.get("wrong_id") or action.get("other_port"):
            stray = bytearray(reply)
            if "stray_rcode" in action:
                stray = bytearray(self._message(query, int(action["stray_rcode"]), [], False))
            if action.get("wrong_id") and len(stray) >= 2:
                stray[0:2] = struct.pack("!H", query.id ^ 0x5A5A)
            if action.get("other_port"):
                with socket.socket(self._family(server), socket.SOCK_DGRAM) as other:
                    other.bind((server, 0))
                    other.sendto(bytes(stray), peer)
            else:
                sock.sendto(bytes(stray), peer)
            if not action.get("then_reply"):
                return
        sock.sendto(reply, peer)

    def _on_connection(self, listener, server):
        try:
            conn, peer = listener.accept()
        except OSError:
            return
        if self.tcp_modes.get(server) == "close":
            conn.close()
            return
        threading.Thread(target=self._serve_stream, args=(conn, peer, server),
                         daemon=True).start()

    @staticmethod
    def _read_exactly(conn, count):
        data = b""
        while len(data) < count:
            piece = conn.recv(count - len(data))
            if not piece:
                return None
            data += piece
        return data

    def _serve_stream(self, conn, peer, server):
        with conn:
            try:
                conn.settimeout(TCP_IO_TIMEOUT)
                prefix = self._read_exactly(conn, 2)
                if prefix is None:
                    return
                data = self._read_exactly(conn, struct.unpack("!H", prefix)[0])
                if data is None:
                    return
                query = Query(data)
                self._record(query, server, "tcp", peer[1])
                action = self._take_action(query, server, "tcp")
                if action.get("close"):
                    return
                reply = self._reply(query, action)
                if reply is None:
                    conn.recv(1)  # hold the connection until the client gives up
                    return
                shaped = self._shaped(query, action)
                if shaped is not None:
                    reply = shaped
                if action.get("wrong_id") and len(reply) >= 2:
                    reply = struct.pack("!H", query.id ^ 0x5A5A) + reply[2:]
                conn.sendall(struct.pack("!H", len(reply)) + reply)
            except (OSError, IndexError, struct.error):
                return


def serve_zone(zone, addresses=("127.0.0.1",), port=0):
    """Starts a responder for the zone; use it as a context manager."""
    return Responder(zone, addresses, port).start()


def log_line(entry):
    server, transport, client_port, query_id, qtype, edns, name = entry
    return "\t".join([server, transport, str(client_port), str(query_id), str(qtype),
                      str(edns), escape_name(name)])


def run_command(responder, command):
    """The answer lines for one command."""
    cmd = command.get("cmd")
    if cmd == "zone":
        responder.update_zone(command["zone"])
    elif cmd == "remove":
        responder.remove_name(command["name"])
    elif cmd == "action":
        responder.add_action({k: v for k, v in command.items() if k != "cmd"})
    elif cmd == "clear_actions":
        responder.clear_actions()
    elif cmd == "log":
        entries = responder.take_log(bool(command.get("clear", False)))
        return ["ok %d" % len(entries)] + [log_line(e) for e in entries]
    elif cmd == "tcp":
        responder.set_tcp_mode(command["server"], command["mode"])
    else:
        return ["error unknown command %r" % cmd]
    return ["ok"]


def main():
    parser = argparse.ArgumentParser(description="Scriptable loopback DNS responder")
    parser.add_argument("--address", action="append", dest="addresses")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--zone", help="JSON file with the zone")
    args = parser.parse_args()
    zone = {}
    if args.zone:
        with open(args.zone, encoding="utf-8") as handle:
            zone = json.load(handle)
    responder = Responder(zone, args.addresses or ["127.0.0.1"], args.port).start()
    print("ready %d" % responder.port, flush=True)
    try:
        for line in sys.stdin:
            if not line.strip():
                continue
            try:
                command = json.loads(line)
                if command.get("cmd") == "quit":
                    print("ok", flush=True)
                    break
                answer = run_command(responder, command)
            except (ValueError, KeyError, TypeError, OSError, TimeoutError) as error:
                answer = ["error " + str(error).replace("\n", " ")]
            print("\n".join(answer), flush=True)
    finally:
        responder.stop()


if __name__ == "__main__":
    main()
