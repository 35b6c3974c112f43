#!/usr/bin/env python3
"""Makes TLS ClientHellos with the TLS stacks of this machine, offline.

    make_client_hellos.py OUT_DIR

Python's ssl module writes hellos into a memory BIO; `openssl s_client`
sends its hello to a listener on 127.0.0.1 that this script holds, which
keeps the first flight and hangs up. Each hello is also re-made in forms
that real clients and middleboxes produce: GREASE values added, the
handshake message cut into many small records, or grown past one record.

OUT_DIR gets one file per hello and manifest.txt, a line per file: its name,
a tab, and the host a filter must take from it (empty for none): the name
sent, with one trailing dot and then a leading "www." dropped, cut to 99
characters. Every hello is read back here with a parser of its own and must
carry the name that was sent.
"""

import os
import socket
import ssl
import struct
import subprocess
import sys

HOST_MAX = 99


def expected_host(sent):
    """The host of a sent name (bytes or None), as the filter judges it."""
    if not sent:
        return b""
    name = sent.split(b"\0")[0]
    if name.endswith(b"."):
        name = name[:-1]
    if len(name) >= 4 and name[:3].lower() == b"www" and name[3:4] == b".":
        name = name[4:]
    return name[:HOST_MAX]


# --- Reading and writing hellos ------------------------------------------------


def handshake_bytes(data):
    """The handshake records' fragments, joined, from the start of `data`."""
    out = b""
    while len(data) >= 5 and data[0] == 22:
        length = struct.unpack(">H", data[3:5])[0]
        out += data[5 : 5 + length]
        data = data[5 + length :]
    return out


def first_flight_complete(data):
    msg = handshake_bytes(data)
    return len(msg) >= 4 and len(msg) >= 4 + int.from_bytes(msg[1:4], "big")


class Hello:
    """A ClientHello taken apart: the fields before the extensions, kept as
    bytes, and the extensions as (type, body) pairs."""

    def __init__(self, record):
        msg = handshake_bytes(record)
        assert msg[0] == 1, "not a ClientHello"
        body = msg[4 : 4 + int.from_bytes(msg[1:4], "big")]
        at = 34
        at += 1 + body[at]  # session id
        suites_at = at
        at += 2 + struct.unpack(">H", body[at : at + 2])[0]
        self.suites = body[suites_at + 2 : at]
        self.head = body[:suites_at]
        comp_at = at
        at += 1 + body[at]
        self.compression = body[comp_at:at]
        self.extensions = []
        end = at + 2 + struct.unpack(">H", body[at : at + 2])[0]
        at += 2
        while at < end:
            kind, length = struct.unpack(">HH", body[at : at + 4])
            self.extensions.append((kind, body[at + 4 : at + 4 + length]))
            at += 4 + length
        self.record_version = record[1:3]

    def server_name(self):
        """The first host_name entry of server_name, or None."""
        for kind, body in self.extensions:
            if kind != 0:
                continue
            at, end = 2, 2 + struct.unpack(">H", body[:2])[0]
            while at < end:
                name_type = body[at]
                length = struct.unpack(">H", body[at + 1 : at + 3])[0]
                if name_type == 0:
                    return body[at + 3 : at + 3 + length]
                at += 3 + length
        return None

    def message(self):
        exts = b"".join(struct.pack(">HH", k, len(b)) + b for k, b in self.extensions)
        body = (
            self.head
            + struct.pack(">H", len(self.suites))
            + self.suites
            + self.compression
            + struct.pack(">H", len(exts))
            + exts
        )
        return b"\x01" + len(body).to_bytes(3, "big") + body

    def records(self, fragment=16384, version=None):
        msg = self.message()
        version = version or self.record_version
        out = b""
        for at in range(0, len(msg), fragment):
            piece = msg[at : at + fragment]
            out += b"\x16" + version + struct.pack(">H", len(piece)) + piece
        return out


def with_grease(hello):
    """GREASE as Chromium sends it: a cipher suite first, an empty extension
    first and a one-byte extension last."""
    hello.suites = b"\x2a\x2a" + hello.suites
    hello.extensions = [(0x0A0A, b"")] + hello.extensions + [(0xFAFA, b"\x00")]
    return hello


def grown(hello, size):
    """A padding extension of `size` bytes in front of all others, so that
    the name lies beyond the first 16 KiB record."""
    hello.extensions = [(21, bytes(size))] + [e for e in hello.extensions if e[0] != 21]
    return hello


# --- The TLS stacks ---------------------------------------------------------------


def python_hello(name, maximum=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    if maximum:
        context.maximum_version = maximum
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_hostname=name)
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def openssl_hello(args):
    """The first flight `openssl s_client ARGS` sends to a local listener."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(20)
        port = listener.getsockname()[1]
        client = subprocess.Popen(
            ["openssl", "s_client", "-connect", f"127.0.0.1:{port}"] + args,
            stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        try:
            conn, _ = listener.accept()
            with conn:
                conn.settimeout(20)
                data = b""
                while not first_flight_complete(data):
                    chunk = conn.recv(65536)
                    if not chunk:
                        break
                    data += chunk
        finally:
            client.kill()
            client.wait()
    return data


LONG_NAME = ".".join(["a" * 50, "b" * 50, "c" * 50, "example"])


def make_all():
    """(file name, hello bytes, name sent or None)."""
    made = []

    def add(file_name, data, sent):
        made.append((file_name, data, sent))

    for tag, name in [
        ("plain", "news.example"),
        ("www", "www.shop.example"),
        ("trailing_dot", "casino.example."),
        ("long", LONG_NAME),
    ]:
        data = python_hello(name)
        add(f"python_{tag}", data, name.encode("idna"))
    add("python_no_sni", python_hello(None), None)
    add("python_tls12", python_hello("news.example", ssl.TLSVersion.TLSv1_2), b"news.example")

    for tag, args, sent in [
        ("plain", ["-servername", "Mixed.Example.ORG"], b"Mixed.Example.ORG"),
        ("ffdhe8192", ["-servername", "big.example", "-groups", "ffdhe8192:x25519"], b"big.example"),
        ("tls13_only", ["-tls1_3", "-servername", "www.WWW.example"], b"www.WWW.example"),
        ("no_sni", ["-noservername"], None),
    ]:
        add(f"openssl_{tag}", openssl_hello(args), sent)

    by_name = {m[0]: m for m in made}
    base = by_name["python_plain"]
    add("grease", with_grease(Hello(base[1])).records(), base[2])
    big = by_name["openssl_ffdhe8192"]
    add("grease_ffdhe8192", with_grease(Hello(big[1])).records(), big[2])
    for fragment in (1, 7, 300):
        add(f"fragments_of_{fragment}", Hello(base[1]).records(fragment), base[2])
    add("over_16k", grown(Hello(base[1]), 20000).records(), base[2])
    for minor in (0, 1, 3, 4):
        add(f"record_version_3_{minor}", Hello(base[1]).records(version=bytes([3, minor])), base[2])
    return made


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    lines = []
    for file_name, data, sent in make_all():
        found = Hello(data).server_name()
        if found != sent:
            sys.exit(f"{file_name}: the hello carries {found!r}, not {sent!r}")
        with open(os.path.join(out, file_name), "wb") as f:
            f.write(data)
        lines.append(f"{file_name}\t{expected_host(sent).decode('latin-1')}\n")
    with open(os.path.join(out, "manifest.txt"), "w", encoding="latin-1") as f:
        f.writelines(lines)
    print(f"made {len(lines)} ClientHellos in {out}")


if __name__ == "__main__":
    main()
