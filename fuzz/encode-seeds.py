#!/usr/bin/env python3
"""Writes the seed inputs of fuzz-encode: flows chosen on purpose, one per
branch of the encoder, written in the byte layout that fuzz-encode's
FlowMaker reads with FuzzedDataProvider.

    python3 fuzz/encode-seeds.py fuzz/corpus/fuzz-encode

FuzzedDataProvider takes integers from the end of the input (the first
integer drawn is the input's last bytes, most significant byte first) and
byte strings from the front, so a seed is the front part followed by the
reversed sequence of integer bytes. The draws below follow FlowMaker's order
exactly; a change there needs the same change here, and
`QPP_FUZZ_LOG=1 fuzz-encode SEED` shows what a seed became.
"""

import os
import sys

INT_SIZES = {"u8": 1, "u16": 2, "u32": 4, "u64": 8}
MAX = {"u8": 0xff, "u16": 0xffff, "u32": 0xffffffff, "u64": 0xffffffffffffffff}

# FlowMaker::Rate's table of unusual values, by position.
RATES = ["nan", "-nan", "inf", "-inf", "max", "lowest", "denorm_min", "2^63",
         "below 2^63", "-2^63", "below -2^63", "-0", "0.5", "-0.5", "2.9"]

# FlowMaker's table of master protocols, by position.
PROTOCOLS = {"unknown": 0, "smtp": 1, "dns": 2, "http": 3, "mdns": 4,
             "dhcp": 5, "tls": 6, "ssh": 7}


class Provider:
    """Collects draws in FuzzedDataProvider's layout."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # integer bytes in the order they are read

    def integer(self, size, value):
        self.back += value.to_bytes(size, "big")

    def in_range(self, low, high, value, size=8):
        assert low <= value <= high
        span, count = high - low, 0
        while count < size and (span >> (8 * count)) > 0:
            count += 1
        self.integer(count, value - low)

    def boolean(self, value):
        self.integer(1, 1 if value else 0)

    def raw(self, data):
        self.front += data

    def string(self, data, limit):
        """ConsumeRandomLengthString: a backslash is doubled, and a
        backslash before another byte ends the string."""
        assert len(data) <= limit
        self.front += data.replace(b"\\", b"\\\\")
        if len(data) < limit:
            self.front += b"\\e"

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


class Maker:
    """FlowMaker's draws, with the values chosen."""

    def __init__(self):
        self.p = Provider()

    def text(self, value=b"", limit=64):
        if isinstance(value, tuple):  # ("repeat", count, byte)
            self.p.in_range(0, 3, 1, 4)
            self.p.in_range(0, 4096, value[1])
            self.p.integer(1, value[2])
        elif value == b"":
            self.p.in_range(0, 3, 2, 4)
        else:
            self.p.in_range(0, 3, 0, 4)
            self.p.string(value, limit)

    def text_list(self, values):
        if len(values) <= 4:
            self.p.boolean(True)
            self.p.in_range(0, 4, len(values))
        else:
            self.p.boolean(False)
            self.p.in_range(0, 5000, len(values))
        for v in values:
            self.text(v, 16)

    def number(self, kind, value=0):
        if value == MAX[kind]:
            self.p.in_range(0, 3, 0, 4)
        elif value == 0:
            self.p.in_range(0, 3, 1, 4)
        elif value == MAX[kind] // 2 + 1:
            self.p.in_range(0, 3, 2, 4)
        else:
            self.p.in_range(0, 3, 3, 4)
            self.p.integer(INT_SIZES[kind], value)

    def rate(self, name):
        self.p.boolean(True)
        self.p.in_range(0, len(RATES) - 1, RATES.index(name))

    def address(self, kind="none", value=b"", port=0):
        self.p.integer(2, port)
        modes = {"none": 0, "ipv4": 1, "ipv6": 2, "mac": 3, "text": 4}
        self.p.in_range(0, 4, modes[kind], 4)
        if kind in ("ipv4", "ipv6", "mac"):
            assert len(value) == {"ipv4": 4, "ipv6": 16, "mac": 6}[kind]
            self.p.raw(value)
        elif kind == "text":
            self.p.string(value, 48)

    def digest(self, value):
        assert len(value) == 20
        self.p.raw(value)

    def stats(self, s):
        for k in ("lower_bytes", "upper_bytes", "total_bytes"):
            self.number("u64", s.get(k, 0))
        for k in ("lower_packets", "upper_packets", "total_packets"):
            self.number("u32", s.get(k, 0))
        self.number("u8", s.get("detection_packets", 0))
        self.rate(s.get("lower_rate", "0.5"))
        self.rate(s.get("upper_rate", "2.9"))
        for k in ("tcp_seq_errors", "tcp_resets", "tcp_retrans"):
            self.number("u32", s.get(k, 0))

    def flow(self, f):
        self.text(f.get("ifname", b"eth0"))
        self.p.integer(1, f.get("role", 0))
        for k in ("lower_mac", "upper_mac", "lower_addr", "upper_addr"):
            self.address(*f.get(k, ("none",)))

        self.number("u8", f.get("ip_version", 4))
        if f.get("ip_protocol", 6) == 6:
            self.p.boolean(True)
        else:
            self.p.boolean(False)
            self.number("u8", f["ip_protocol"])
        self.number("u16", f.get("vlan_id", 0))
        self.number("u64", f.get("first_seen_at", 1700000000123))
        self.number("u64", f.get("last_seen_at", 1700000005456))
        self.number("u8", f.get("lower_map", 0))
        self.number("u8", f.get("other_type", 0))
        if f.get("tunnel_type", 0) == 1:
            self.p.boolean(True)
        else:
            self.p.boolean(False)
            self.number("u8", f.get("tunnel_type", 0))
        self.number("u8", f.get("origin", 0))
        self.number("u8", f.get("privacy_mask", 0))

        self.digest(f.get("digest_lower", bytes(range(20))))
        mdata = f.get("digest_mdata", [])
        if len(mdata) <= 2:
            self.p.boolean(True)
            self.p.in_range(0, 2, len(mdata))
        else:
            self.p.boolean(False)
            self.p.in_range(0, 1000, len(mdata))
        for d in mdata:
            self.digest(d)

        for flag in ("detection_complete", "detection_guessed",
                     "detection_init", "detection_updated", "dhc_hit",
                     "fhc_hit", "expiring", "expired", "soft_dissector"):
            self.p.boolean(flag in f.get("flags", ()))

        self.number("u8", f.get("fin_acks", 0))
        self.number("u32", f.get("last_seq", 0))

        g = f.get("gtp", {})
        self.number("u8", g.get("version", 0))
        self.number("u8", g.get("ip_version", 0))
        self.number("u32", g.get("lower_teid", 0))
        self.number("u32", g.get("upper_teid", 0))
        self.number("u8", g.get("lower_type", 0))
        self.number("u8", g.get("upper_type", 0))
        self.address(*g.get("lower_addr", ("none",)))
        self.address(*g.get("upper_addr", ("none",)))
        self.number("u8", g.get("lower_map", 0))
        self.number("u8", g.get("other_type", 0))

        self.text(f.get("dns_host_name", b""))
        self.text(f.get("host_server_name", b""))
        self.number("u32", f.get("detected_protocol", 0))
        self.text(f.get("detected_protocol_name", b""))
        self.number("u32", f.get("detected_application", 0))
        self.text(f.get("detected_application_name", b""))
        for k in ("application", "protocol", "domain", "network"):
            self.number("u32", f.get("category", {}).get(k, 0))

        master = f.get("master", "unknown")
        if master in PROTOCOLS:
            self.p.boolean(True)
            self.p.in_range(0, len(PROTOCOLS) - 1, PROTOCOLS[master])
        else:
            self.p.boolean(False)
            self.number("u32", master)

        for k in ("user_agent", "url", "fingerprint", "class_ident",
                  "client_agent", "server_agent"):
            self.text(f.get(k, b""))
        self.number("u8", f.get("smtp_tls", 0))
        self.text(f.get("mdns_domain_name", b""))

        t = f.get("tls", {})
        self.number("u16", t.get("version", 0))
        self.number("u16", t.get("cipher_suite", 0))
        for k in ("subject_dn", "issuer_dn", "server_cn", "client_ja3",
                  "server_ja3"):
            self.text(t.get(k, b""))
        self.text_list(t.get("alpn", []))
        self.text_list(t.get("alpn_server", []))
        self.number("u16", t.get("ech_version", 0))
        self.number("u16", t.get("esni_cipher_suite", 0))
        self.text(t.get("esni_client_sni", b""))

        for k in ("ndpi_score", "ndpi_score_client", "ndpi_score_server"):
            self.number("u16", f.get(k, 0))
        risks = f.get("risks", [])
        if len(risks) <= 4:
            self.p.boolean(True)
            self.p.in_range(0, 4, len(risks))
        else:
            self.p.boolean(False)
            self.p.in_range(0, 5000, len(risks))
        for r in risks:
            self.number("u32", r)


def seed(flow, stats=None):
    m = Maker()
    m.stats(stats or {})
    m.flow(flow)
    return m.p.data()


TCP = {
    "lower_mac": ("mac", bytes.fromhex("001122aabbcc")),
    "upper_mac": ("mac", bytes.fromhex("deadbeef0001")),
    "lower_addr": ("ipv4", bytes([192, 0, 2, 10]), 40000),
    "upper_addr": ("ipv4", bytes([198, 51, 100, 20]), 443),
    "flags": ("detection_init", "detection_complete"),
}


def with_tcp(**extra):
    f = dict(TCP)
    f.update(extra)
    return f


SEEDS = {
    # One per protocol branch, every text valid.
    "tls-full": with_tcp(
        master="tls", tunnel_type=1,
        gtp={"version": 1, "ip_version": 4, "lower_teid": 4096,
             "upper_teid": 8192,
             "lower_addr": ("ipv4", bytes([203, 0, 113, 1]), 2152),
             "upper_addr": ("ipv4", bytes([203, 0, 113, 2]), 2152)},
        host_server_name=b"sni.example.com", detected_protocol=91,
        detected_protocol_name=b"TLS",
        digest_mdata=[bytes([0xff] * 20), bytes([0xde, 0xad, 0xbe, 0xef] * 5)],
        tls={"version": 0x0304, "cipher_suite": 0x1301,
             "subject_dn": b"CN=sni.example.com", "issuer_dn": b"CN=Example CA",
             "server_cn": b"server.example.com", "client_ja3": b"771,4865-4866",
             "alpn": [b"h2", b"http/1.1"], "alpn_server": [b"h2"],
             "ech_version": 0xfe0d, "esni_cipher_suite": 0x1302,
             "esni_client_sni": b"hidden.example.com"},
        ndpi_score=100, ndpi_score_client=60, ndpi_score_server=40,
        risks=[3, 15, 1000]),
    "tls-bare": with_tcp(master="tls"),
    "smtp": with_tcp(master="smtp", smtp_tls=1),
    "http": with_tcp(master="http", user_agent=b"curl/8.4.0",
                     url=b"/index.html"),
    "mdns-named": dict(master="mdns", ip_protocol=17,
                       mdns_domain_name=b"printer.local"),
    "mdns-unnamed": dict(master="mdns", ip_protocol=17),
    "dhcp": dict(master="dhcp", ip_protocol=17, fingerprint=b"1,3,6,15",
                 class_ident=b"MSFT 5.0"),
    "ssh": with_tcp(master="ssh", client_agent=b"SSH-2.0-OpenSSH_9.6",
                    server_agent=b"SSH-2.0-dropbear"),
    "dns-no-group": dict(master="dns", ip_protocol=17,
                         dns_host_name=b"example.org",
                         lower_addr=("ipv6", bytes.fromhex("20010db8" + "00" * 11 + "10"), 53124),
                         upper_addr=("ipv6", bytes.fromhex("20014860486000000000000000008888"), 53)),
    "unknown-protocol": dict(master=0x7fffffff, ip_protocol=17),
    # Long lists and extremes.
    # Each fits in the 4 KiB that scripts/fuzz.sh allows an input (an
    # empty text costs one byte, a distinct risk five, a digest twenty).
    "long-alpn": dict(master="tls", tls={"alpn": [b""] * 3000 + [b"h2"],
                                         "alpn_server": [b"h2", b"http/1.1"]}),
    "long-risks": dict(risks=list(range(1, 701)), ndpi_score=0xffff),
    "many-digests": dict(digest_mdata=[bytes([i % 256] * 20) for i in range(180)]),
    "long-texts": dict(master="http", ifname=("repeat", 4096, ord("i")),
                       user_agent=("repeat", 4096, ord("a")),
                       url=("repeat", 4000, ord("/"))),
    "extreme-numbers": dict(
        ip_version=0xff, ip_protocol=0xff, vlan_id=0xffff, tunnel_type=0xff,
        first_seen_at=0xffffffffffffffff, last_seen_at=0x8000000000000000,
        detected_protocol=0xffffffff, detected_application=0x80000000,
        category={"application": 0xffffffff, "network": 0x80000000},
        master=0xffffffff, risks=[0, 0xffffffff, 0x80000000]),
    # Rates that do not fit a long, and NaN.
    "rates-nan": dict(),
    "rates-2^63": dict(),
    "rates-infinite": dict(),
    # Texts that are not UTF-8: the encoding is refused, cleanly.
    "bad-iface-name": dict(ifname=b"eth\xff0"),
    "bad-alpn-item": dict(master="tls", tls={"alpn": [b"h2", b"\xc0\xaf"]}),
    "bad-esni-name": dict(master="tls", tls={"ech_version": 0xfe0d,
                                             "esni_client_sni": b"\xed\xa0\x80"}),
    "bad-host-name": dict(host_server_name=b"\xf4\x90\x80\x80"),
    # Invalid bytes after a NUL are never seen: this one encodes.
    "nul-then-garbage": dict(master="http", url=b"/ok\x00\xff\xfe"),
}

STATS = {
    "rates-nan": {"lower_rate": "nan", "upper_rate": "-nan"},
    "rates-2^63": {"lower_rate": "2^63", "upper_rate": "below -2^63",
                   "lower_bytes": 0xffffffffffffffff,
                   "upper_bytes": 0x8000000000000000},
    "rates-infinite": {"lower_rate": "inf", "upper_rate": "-inf"},
    "extreme-numbers": {"lower_rate": "max", "upper_rate": "lowest",
                        "total_packets": 0xffffffff, "detection_packets": 0xff},
}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: encode-seeds.py DIRECTORY")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, flow in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(seed(flow, STATS.get(name)))


if __name__ == "__main__":
    main()
