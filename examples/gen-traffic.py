#!/usr/bin/env python3
"""Writes traffic.jsonl: a few hundred flows of a small office, as qpp-replay
input, over eight update intervals of the daemon.

Each interval begins with an instance status event (11, update init) and
ends with agent event 12 (update complete). In between, new flows appear
(event 2, then 4 when detection completes, and 5 when a TLS server's
certificate arrives), flows end (event 7, expired), and one flow-map snapshot
(event 1) lists every live flow with its counters.

The output depends on nothing but this file: a fixed seed drives a small
generator of our own, so that any Python 3 makes the same bytes.

    python3 gen-traffic.py > traffic.jsonl
    python3 gen-traffic.py --check traffic.jsonl   # exit 1 if it differs
"""

import hashlib
import json
import sys

MASK = (1 << 64) - 1


class Random:
    """splitmix64: tiny, fast and the same everywhere."""

    def __init__(self, seed):
        self.state = seed & MASK

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def below(self, n):
        return self.next() % n

    def between(self, low, high):
        return low + self.below(high - low + 1)

    def choice(self, items):
        return items[self.below(len(items))]

    def weighted(self, pairs):
        total = sum(weight for weight, _ in pairs)
        pick = self.below(total)
        for weight, item in pairs:
            if pick < weight:
                return item
            pick -= weight
        raise AssertionError("unreachable")


# Protocol identifiers of the host, with the name it gives each.
TLS, HTTP, DNS, MDNS, DHCP, SSH, SMTP, NTP = 91, 7, 5, 8, 18, 92, 3, 9
PROTOCOL_NAMES = {TLS: "TLS", HTTP: "HTTP", DNS: "DNS", MDNS: "MDNS",
                  DHCP: "DHCP", SSH: "SSH", SMTP: "SMTP", NTP: "NTP"}

# Risk identifiers used below and the score each adds to a flow.
RISK_SCORES = {5: 50, 6: 100, 7: 50, 8: 50, 11: 100, 13: 100, 16: 100,
               18: 50, 24: 10, 27: 150, 28: 150, 36: 100}

# Applications: identifier, name, category, and the server names that mean it.
APPLICATIONS = [
    (10100, "google", 5, ["www.google.com", "fonts.gstatic.com", "mail.google.com"]),
    (10110, "microsoft-365", 12, ["outlook.office365.com", "login.microsoftonline.com"]),
    (10111, "microsoft-teams", 14, ["teams.microsoft.com"]),
    (10120, "zoom", 14, ["zoom.us", "us04web.zoom.us"]),
    (10130, "github", 9, ["github.com", "api.github.com", "codeload.github.com"]),
    (10140, "netflix", 21, ["www.netflix.com", "occ-0-1234.1.nflxso.net"]),
    (10150, "apple", 9, ["www.apple.com", "gateway.icloud.com"]),
    (10160, "dropbox", 17, ["www.dropbox.com", "content.dropboxapi.com"]),
    (10170, "slack", 14, ["slack.com", "edgeapi.slack.com"]),
    (10180, "wikipedia", 30, ["en.wikipedia.org", "upload.wikimedia.org"]),
    (10190, "cloudflare", 9, ["cloudflare-ech.com"]),
]

# JA3 texts of a few client and server hellos.
JA3_CLIENTS = [
    "771,4865-4866-4867-49195-49199-49196-49200-52393-52392,0-23-65281-10-11-35-16-5-13-18-51-45-43-27-17513,29-23-24,0",
    "771,4865-4867-4866-49195-49199-52393-52392-49196-49200,0-23-65281-10-11-16-5-34-51-43-13-45-28-21,29-23-24-25-256-257,0",
    "771,49195-49199-49196-49200-52393-52392-49171-49172-156-157-47-53,65281-0-23-35-13-5-16-11-10,29-23-24,0",
    "771,4866-4867-4865-49196-49200-159-52393-52392-52394-49195,0-11-10-35-22-23-13-43-45-51,29-23-30-25-24,0-1-2",
]
JA3_SERVERS = [
    "771,4865,43-51",
    "771,4866,43-51",
    "771,49199,65281-0-11-35-23-16",
    "769,47,65281-0-11",
]
ISSUERS = [
    "CN=GTS CA 1C3,O=Google Trust Services LLC,C=US",
    "CN=DigiCert Global G2 TLS RSA SHA256 2020 CA1,O=DigiCert Inc,C=US",
    "CN=R3,O=Let's Encrypt,C=US",
    "CN=Sectigo RSA Domain Validation Secure Server CA,O=Sectigo Limited,C=GB",
]
USER_AGENTS = [
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:126.0) Gecko/20100101 Firefox/126.0",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 14_5) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.5 Safari/605.1.15",
    "curl/8.4.0",
    "Debian APT-HTTP/1.3 (2.6.1)",
]
HTTP_SITES = [
    ("deb.debian.org", "/debian/dists/bookworm/InRelease"),
    ("neverssl.com", "/"),
    ("detectportal.firefox.com", "/canonical.html"),
    ("ocsp.digicert.com", "/MFEwTzBNMEswSTAJBgUrDgMCGgUABBQ"),
]
DNS_NAMES = ["www.google.com", "github.com", "teams.microsoft.com", "zoom.us",
             "en.wikipedia.org", "slack.com", "www.netflix.com", "deb.debian.org",
             "time.cloudflare.com", "gateway.icloud.com", "xkqzv3lw9t.example-dga.net"]
MDNS_NAMES = ["Office-Printer._ipp._tcp.local", "Meeting-Room-TV._googlecast._tcp.local",
              "nas._smb._tcp.local", "iPhone-of-Kim._companion-link._tcp.local"]
DHCP_CLIENTS = [("1,3,6,15,31,33,43,44,46,47,119,121,249,252", "MSFT 5.0"),
                ("1,121,3,6,15,108,114,119,252,95,44,46", ""),
                ("1,3,6,15,26,28,51,58,59,43", "android-dhcp-14"),
                ("1,28,2,3,15,6,119,12,44,47,26,121,42", "dhcpcd-9.4.1")]
SSH_AGENTS = [("SSH-2.0-OpenSSH_9.2p1 Debian-2+deb12u2", "SSH-2.0-OpenSSH_9.6"),
              ("SSH-2.0-PuTTY_Release_0.81", "SSH-2.0-OpenSSH_8.9p1 Ubuntu-3ubuntu0.6"),
              ("SSH-2.0-libssh_0.6.3", "SSH-2.0-dropbear_2019.78")]

GATEWAY_MAC = "00:1b:21:3a:4f:01"
INTERVAL_MS = 15000
START_MS = 1718000000000


def sha1(text):
    return hashlib.sha1(text.encode()).hexdigest()


def md5(text):
    # JA3 fingerprints are usually shown as the MD5 hash of their text.
    return hashlib.md5(text.encode()).hexdigest()


class Host:
    def __init__(self, number, rng):
        self.v4 = "192.168.10.%d" % (20 + number)
        self.v6 = "2001:db8:10::%x" % (0x20 + number)
        self.mac = "02:5e:%02x:%02x:%02x:%02x" % (
            rng.below(256), rng.below(256), rng.below(256), number)
        self.iface = "wlan0" if number % 3 == 0 else "br-lan"


class Generator:
    def __init__(self):
        self.rng = Random(20240610)
        self.hosts = [Host(n, self.rng) for n in range(14)]
        self.lines = []
        self.live = []  # flows shown in the next snapshots, by id
        self.count = 0
        self.flows = {}

    def emit(self, line):
        self.lines.append(json.dumps(line))

    # A new flow: what the host knows when the first packet is seen.
    def start(self, now, kind):
        r = self.rng
        self.count += 1
        fid = "f%03d" % self.count
        host = r.choice(self.hosts)
        ipv6 = kind in ("tls", "dns") and r.below(4) == 0
        proto = 17 if kind in ("dns", "mdns", "dhcp", "ntp") else 6
        iface = {"name": host.iface, "role": 0}
        lower, upper = host.v6 if ipv6 else host.v4, None
        lower_port = r.between(32768, 60999)
        upper_mac = GATEWAY_MAC
        vlan = 10 if host.iface == "br-lan" else 0
        extra = {}
        if kind == "tls":
            upper = "2001:db8:ffff::%x" % r.between(1, 0xfff) if ipv6 else \
                "198.51.100.%d" % r.between(1, 254)
            upper_port = 443
        elif kind == "http":
            upper, upper_port = "203.0.113.%d" % r.between(1, 254), 80
        elif kind == "dns":
            upper = "2001:db8:10::1" if ipv6 else "192.168.10.1"
            upper_port = 53
        elif kind == "mdns":
            upper, upper_port, lower_port = "224.0.0.251", 5353, 5353
            upper_mac = "01:00:5e:00:00:fb"
        elif kind == "dhcp":
            lower, upper, lower_port, upper_port = "0.0.0.0", "255.255.255.255", 68, 67
            upper_mac = "ff:ff:ff:ff:ff:ff"
        elif kind == "ssh":
            upper, upper_port = "203.0.113.%d" % r.between(1, 254), 22
        elif kind == "smtp":
            upper = "192.0.2.%d" % r.between(1, 254)
            upper_port = r.choice([25, 587])
        elif kind == "ntp":
            upper, upper_port = "162.159.200.%d" % r.between(1, 254), 123
        elif kind == "gtp":
            # A handset's TCP flow seen inside the mobile backhaul.
            iface = {"name": "eth1", "role": 1}
            lower = "100.64.%d.%d" % (r.between(0, 3), r.between(2, 254))
            upper, upper_port = "203.0.113.%d" % r.between(1, 254), 80
            host = None
            vlan = 0
            extra["tunnel_type"] = 1
            extra["gtp"] = {
                "version": 1, "ip_version": 4,
                "lower_teid": r.between(1, 0xffffffff),
                "upper_teid": r.between(1, 0xffffffff),
                "lower_type": 1, "upper_type": 2,
                "lower_addr": "10.200.0.1", "upper_addr": "10.200.0.2",
                "lower_port": 2152, "upper_port": 2152,
                "lower_map": 1, "other_type": 2}
        else:
            raise ValueError(kind)

        flow = {
            "id": fid,
            "iface": iface,
            "digest_lower": sha1("%s %s:%d-%s:%d/%d" % (fid, lower, lower_port, upper, upper_port, proto)),
            "stats": {"lower_bytes": 74, "upper_bytes": 0, "total_bytes": 74,
                      "lower_packets": 1, "upper_packets": 0, "total_packets": 1,
                      "detection_packets": 1},
            "ip_version": 6 if ipv6 else 4,
            "ip_protocol": proto,
            "vlan_id": vlan,
            "first_seen_at": now,
            "last_seen_at": now,
            "lower_map": 1,
            "other_type": 2 if kind not in ("mdns", "dhcp") else 1,
            "origin": 1,
            "lower_mac": host.mac if host else "02:00:5e:00:53:01",
            "upper_mac": upper_mac,
            "lower_addr": lower,
            "upper_addr": upper,
            "lower_port": lower_port,
            "upper_port": upper_port,
            "flags": {"detection_init": True},
        }
        flow.update(extra)
        if proto == 6:
            flow["tcp"] = {"fin_acks": 0, "last_seq": r.between(1, 0xffffffff)}
        self.emit({"type": "flow", "event": 2, "flow": flow})

        state = {"id": fid, "kind": kind, "lower": 74, "upper": 0,
                 "lp": 1, "up": 0, "seq": flow.get("tcp", {}).get("last_seq", 0)}
        self.detect(state, now)
        return state

    # Detection completes a few packets later.
    def detect(self, state, now):
        r = self.rng
        kind = state["kind"]
        state["lower"] += r.between(200, 1500)
        state["upper"] += r.between(200, 5000)
        state["lp"] += r.between(2, 5)
        state["up"] += r.between(2, 5)
        risks = []
        update = {"id": state["id"],
                  "flags": {"detection_init": True, "detection_complete": True},
                  "last_seen_at": now + r.between(5, 400),
                  "stats": self.stats(state, r.between(3, 8))}
        group = None

        if kind == "tls":
            ident, app, category, names = r.choice(APPLICATIONS)
            name = r.choice(names)
            if r.below(25) == 0:
                # Now and then a host nobody should talk to.
                name, ident, app, category = "cdn.risky-domain.example", 0, "", 0
                risks += [27]
            ech = name == "cloudflare-ech.com"
            alpn = r.choice([["h2", "http/1.1"], ["h2"], ["http/1.1"], []])
            tls = {"client_ja3": md5(r.choice(JA3_CLIENTS))}
            if alpn:
                tls["alpn_client"] = alpn
            if ech:
                tls["encrypted_ch"] = {"version": 65037}
            if r.below(30) == 0:
                name = ""
                risks += [24]
            update.update(host_server_name=name, detected_protocol=TLS,
                          detected_protocol_name="TLS",
                          detected_application=ident,
                          detected_application_name=app,
                          category={"application": category, "protocol": 2},
                          master_protocol=TLS, tls=tls)
            state["tls_alpn"] = alpn
            state["tls_name"] = name
            state["ech"] = ech
            group = "tls"
        elif kind in ("http", "gtp"):
            site, url = r.choice(HTTP_SITES)
            agent = r.choice(USER_AGENTS)
            if r.below(5) == 0:
                agent, url = "sqlmap/1.7.12#stable (https://sqlmap.org)", url + "?id=1%27%20OR%201=1--"
                risks += [11, 13]
            update.update(host_server_name=site, detected_protocol=HTTP,
                          detected_protocol_name="HTTP",
                          category={"application": 0, "protocol": 1},
                          master_protocol=HTTP,
                          http={"user_agent": agent, "url": url})
            group = "http"
        elif kind == "dns":
            name = r.choice(DNS_NAMES)
            if "dga" in name:
                risks += [16]
            update.update(dns_host_name=name, host_server_name=name,
                          detected_protocol=DNS, detected_protocol_name="DNS",
                          category={"application": 0, "protocol": 4},
                          master_protocol=DNS)
        elif kind == "mdns":
            update.update(detected_protocol=MDNS, detected_protocol_name="MDNS",
                          category={"application": 0, "protocol": 4},
                          master_protocol=MDNS,
                          mdns={"domain_name": r.choice(MDNS_NAMES)})
        elif kind == "dhcp":
            fingerprint, ident = r.choice(DHCP_CLIENTS)
            update.update(detected_protocol=DHCP, detected_protocol_name="DHCP",
                          category={"application": 0, "protocol": 4},
                          master_protocol=DHCP,
                          dhcp={"fingerprint": fingerprint, "class_ident": ident})
        elif kind == "ssh":
            client, server = r.choice(SSH_AGENTS)
            if "libssh_0.6" in client:
                risks += [18]
            update.update(detected_protocol=SSH, detected_protocol_name="SSH",
                          category={"application": 0, "protocol": 16},
                          master_protocol=SSH,
                          ssh={"client_agent": client, "server_agent": server})
        elif kind == "smtp":
            starttls = r.below(3) != 0
            if not starttls:
                risks += [36]
            update.update(detected_protocol=SMTP, detected_protocol_name="SMTP",
                          host_server_name="mail.example.net",
                          category={"application": 0, "protocol": 3},
                          master_protocol=SMTP, smtp={"tls": starttls})
        elif kind == "ntp":
            update.update(detected_protocol=NTP, detected_protocol_name="NTP",
                          category={"application": 0, "protocol": 4},
                          master_protocol=NTP)
        update["digest_mdata"] = sha1(state["id"] + ":" + kind)
        state["risks"] = risks
        if risks:
            update["risk"] = self.risk(risks)
        self.emit({"type": "flow", "event": 4, "flow": update})

        if group == "tls":
            self.certificate(state, now)

    # The server's half of the TLS handshake, reported as a detection update.
    def certificate(self, state, now):
        r = self.rng
        name = state["tls_name"] or "unknown.invalid"
        version = r.weighted([(66, 772), (30, 771), (4, 769)])
        if state["ech"]:
            version = 772  # an encrypted client hello needs TLS 1.3
        server_ja3 = md5(r.choice(JA3_SERVERS[:3]) if version != 769 else JA3_SERVERS[3])
        issuer = r.choice(ISSUERS)
        risks = list(state["risks"])
        if version == 769:
            risks += [7, 8]
        if r.below(20) == 0:
            issuer = "CN=%s" % name
            risks += [6]
        tls = {"version": version,
               "cipher_suite": {772: 4865, 771: 49199, 769: 47}[version],
               "subject_dn": "CN=%s" % name, "issuer_dn": issuer,
               "server_cn": name, "server_ja3": server_ja3}
        if state["tls_alpn"]:
            tls["alpn_server"] = state["tls_alpn"][:1]
        update = {"id": state["id"], "tls": tls,
                  "flags": {"detection_updated": True},
                  "last_seen_at": now + r.between(400, 900)}
        if risks != state["risks"]:
            state["risks"] = risks
            update["risk"] = self.risk(risks)
        self.emit({"type": "flow", "event": 5, "flow": update})

    def risk(self, risks):
        score = sum(RISK_SCORES[x] for x in risks)
        client = score * 2 // 3
        return {"ndpi_score": score, "ndpi_score_client": client,
                "ndpi_score_server": score - client, "risks": sorted(set(risks))}

    def stats(self, state, detection_packets=None, seconds=15):
        stats = {"lower_bytes": state["lower"], "upper_bytes": state["upper"],
                 "total_bytes": state["lower"] + state["upper"],
                 "lower_packets": state["lp"], "upper_packets": state["up"],
                 "total_packets": state["lp"] + state["up"],
                 "lower_rate": state.get("lower_rate", 0),
                 "upper_rate": state.get("upper_rate", 0)}
        if detection_packets is not None:
            stats["detection_packets"] = detection_packets
        if state["kind"] in ("tls", "http", "ssh", "smtp", "gtp"):
            stats["tcp_retrans"] = state.get("retrans", 0)
        return stats

    # Traffic of one interval for a live flow.
    def grow(self, state):
        r = self.rng
        scale = {"tls": 400000, "http": 60000, "gtp": 40000, "ssh": 20000,
                 "smtp": 30000, "dns": 300, "mdns": 800, "dhcp": 600, "ntp": 180}
        big = scale[state["kind"]]
        if state["kind"] == "tls" and state.get("tls_name", "").endswith(
                ("nflxso.net", "netflix.com", "zoom.us", "teams.microsoft.com")):
            big *= 12
        down = r.between(big // 4, big)
        up = r.between(big // 40, big // 6)
        state["lower"] += up
        state["upper"] += down
        state["lp"] += max(1, up // 600)
        state["up"] += max(1, down // 1300)
        state["lower_rate"] = up // 15
        state["upper_rate"] = down // 15
        if state["kind"] in ("tls", "http", "ssh", "smtp", "gtp") and r.below(6) == 0:
            state["retrans"] = state.get("retrans", 0) + r.between(1, 9)

    def end(self, state, now):
        update = {"id": state["id"], "last_seen_at": now,
                  "flags": {"expired": True, "detection_complete": True,
                            "detection_init": True},
                  "stats": self.stats(state)}
        if state["kind"] in ("tls", "http", "ssh", "smtp", "gtp"):
            update["tcp"] = {"fin_acks": 2, "last_seq": (state["seq"] + state["lower"]) & 0xffffffff}
        self.emit({"type": "flow", "event": 7, "flow": update})

    def run(self, intervals=8):
        r = self.rng
        kinds = [(30, "tls"), (18, "dns"), (7, "http"), (4, "mdns"), (3, "dhcp"),
                 (4, "ssh"), (4, "smtp"), (4, "ntp"), (2, "gtp")]
        # Short exchanges end within their interval; sessions last longer.
        lives = {"dns": 0, "mdns": 0, "dhcp": 0, "ntp": 0}
        for interval in range(intervals):
            now = START_MS + interval * INTERVAL_MS
            self.emit({"type": "status", "event": 11,
                       "status": {"timestamp": now // 1000,
                                  "uptime": 3600 + interval * 15,
                                  "flows": len(self.live)}})
            for _ in range(r.between(30, 40)):
                state = self.start(now + r.between(0, INTERVAL_MS - 1000),
                                   r.weighted(kinds))
                state["until"] = interval + lives.get(state["kind"], r.between(1, 4))
                self.live.append(state)
            ending = [s for s in self.live if s["until"] <= interval]
            for state in ending:
                self.grow(state)
                self.end(state, now + INTERVAL_MS - r.between(1, 500))
            self.live = [s for s in self.live if s["until"] > interval]
            snapshot = []
            for state in self.live:
                self.grow(state)
                snapshot.append({"id": state["id"],
                                 "last_seen_at": now + INTERVAL_MS - r.between(1, 900),
                                 "stats": self.stats(state)})
            self.emit({"type": "flow_map", "event": 1, "flows": snapshot})
            self.emit({"type": "agent", "event": 12})
        return "\n".join(self.lines) + "\n"


def main(argv):
    text = Generator().run()
    if len(argv) == 3 and argv[1] == "--check":
        with open(argv[2], encoding="utf-8") as f:
            if f.read() != text:
                print("%s differs from what %s makes; run it again" % (argv[2], argv[0]),
                      file=sys.stderr)
                return 1
        return 0
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
