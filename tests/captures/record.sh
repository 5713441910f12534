#!/bin/bash
# Records the packet captures in this directory from real clients and servers
# talking on this machine only: the loopback interface (127.0.0.1, ::1) and,
# for the VLAN and fragment captures, network namespaces and tap/veth devices
# the script makes and removes itself. Nothing is sent to any other address.
#
# Needs root (tcpdump, sshd, namespaces) and these Debian packages, which it
# does not install: tcpdump openssl curl python3 dnsmasq-base dnsutils
# openssh-server openssh-client iproute2 iputils-ping, and libndpi-bin for the
# ndpiReader reports written beside each capture.
#
# Usage: record.sh [OUTDIR]   (default: the directory of this script)
# The test command never runs this; its output is committed.

set -euo pipefail

OUT=$(cd "${1:-$(dirname "$0")}" && pwd)
PY=${PYTHON:-/usr/bin/python3}
WORK=$(mktemp -d /tmp/qpp-captures.XXXXXX)
chmod 755 "$WORK"

# Server ports. DNS stays on 53 because nDPI only dissects DNS there.
TLS_PORT=44330
TLS6_PORT=44331
HTTP_PORT=48080
DNS_PORT=53
DNS_HIGH_PORT=45353   # a second resolver where nDPI does not look for DNS
SSH_PORT=42222
UDP_PORT=40000      # namespace captures only
CLOSED_PORT=40001
NAME=www.example.test
UA='qpp-replay-test/1.0 (capture)'
HOST4=192.0.2.10
HOST6=2001:db8::10

PIDS=()
NETNS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
    for p in "${NETNS[@]}"; do ip netns del "$p" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT

die() { echo "record.sh: $*" >&2; exit 1; }

for t in tcpdump openssl curl dnsmasq dig /usr/sbin/sshd ssh ssh-keygen ip ping ndpiReader "$PY"; do
    command -v "$t" >/dev/null || die "missing $t (see the package list at the top)"
done
[ "$(id -u)" = 0 ] || die "needs root"

# wait_for FILE TEXT: waits up to 10 s for TEXT to appear in FILE.
wait_for() {
    local i
    for i in $(seq 100); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    die "timed out waiting for '$2' in $1"
}

# wait_port PROTO PORT [NETNS]: waits until something listens on PORT.
wait_port() {
    local i flag=-lnt
    [ "$1" = udp ] && flag=-lnu
    for i in $(seq 100); do
        if [ -n "${3:-}" ]; then
            ip netns exec "$3" ss $flag | grep -q ":$2 " && return 0
        else
            ss $flag | grep -q ":$2 " && return 0
        fi
        sleep 0.1
    done
    die "nothing listens on $1 port $2"
}

# start_cap OUTFILE IFACE LINKTYPE NETNS FILTER: starts tcpdump; LINKTYPE and
# NETNS may be empty. Sets CAP_PID.
start_cap() {
    local out=$1 iface=$2 dlt=$3 ns=$4 filter=$5
    local log="$WORK/$(basename "$out").log"
    # -O: libpcap 1.10's filter optimizer drops the IPv6 half of the long
    # port filter below on Ethernet. --immediate-mode: otherwise packets wait
    # in the kernel's ring blocks and those still there at SIGINT are lost.
    # -B: with the default buffer the kernel drops packets on "any".
    local args=(-i "$iface" -n -O -U --immediate-mode -B 32768 -s 0 -Z root -w "$out")
    [ -n "$dlt" ] && args+=(-y "$dlt")
    [ -n "$filter" ] && args+=("$filter")
    if [ -n "$ns" ]; then
        ip netns exec "$ns" tcpdump "${args[@]}" 2>"$log" &
    else
        tcpdump "${args[@]}" 2>"$log" &
    fi
    CAP_PID=$!
    PIDS+=("$CAP_PID")
    wait_for "$log" "listening on"
}

stop_caps() {
    local p
    sleep 1   # the last packets of a session reach the capture
    for p in "$@"; do kill -INT "$p"; done
    for p in "$@"; do wait "$p" || true; done
    if grep -L "^0 packets dropped by kernel" "$WORK"/*.log | grep -q pcap; then
        grep "dropped by kernel" "$WORK"/*.pcap.log >&2
        die "tcpdump lost packets"
    fi
}

# Small pcap helpers: pcapng conversion, relinking to other link types, and
# cutting a file in the middle of a record.
cat >"$WORK/pcaptool.py" <<'EOF'
import struct, sys

def read_pcap(path):
    data = open(path, 'rb').read()
    magic, vmaj, vmin, _, _, snap, link = struct.unpack('<IHHiIII', data[:24])
    assert magic == 0xa1b2c3d4, 'expects a little-endian microsecond pcap'
    recs, off = [], 24
    while off + 16 <= len(data):
        sec, usec, incl, orig = struct.unpack('<IIII', data[off:off + 16])
        recs.append((off, sec, usec, orig, data[off + 16:off + 16 + incl]))
        off += 16 + incl
    return data, snap, link, recs

def write_pcap(path, snap, link, recs):
    with open(path, 'wb') as f:
        f.write(struct.pack('<IHHiIII', 0xa1b2c3d4, 2, 4, 0, 0, snap, link))
        for _, sec, usec, orig, pkt in recs:
            f.write(struct.pack('<IIII', sec, usec, len(pkt), orig) + pkt)

def opt(code, val):
    pad = (-len(val)) % 4
    return struct.pack('<HH', code, len(val)) + val + b'\0' * pad

def block(btype, body):
    n = 12 + len(body)
    return struct.pack('<II', btype, n) + body + struct.pack('<I', n)

def to_pcapng(src, dst, ifname, comment):
    _, snap, link, recs = read_pcap(src)
    out = bytearray()
    shb = struct.pack('<IHHq', 0x1A2B3C4D, 1, 0, -1)
    shb += opt(1, comment.encode()) + opt(4, b'qpp record.sh') + opt(0, b'')
    out += block(0x0A0D0D0A, shb)
    idb = struct.pack('<HHI', link, 0, snap)
    idb += opt(2, ifname.encode()) + opt(9, b'\x06') + opt(0, b'')
    out += block(1, idb)
    for _, sec, usec, orig, pkt in recs:
        ts = sec * 1000000 + usec
        body = struct.pack('<IIIII', 0, ts >> 32, ts & 0xffffffff, len(pkt), orig)
        body += pkt + b'\0' * ((-len(pkt)) % 4)
        out += block(6, body)
    open(dst, 'wb').write(out)

def relink(src, dst, kind):
    # From Ethernet (EN10MB) to BSD loopback (NULL: a host-order address
    # family, 2 for IPv4 and 24 for IPv6 as BSD writes it) or to raw IP
    # (LINKTYPE_RAW 101).
    _, snap, link, recs = read_pcap(src)
    assert link == 1, 'expects an Ethernet capture'
    out = []
    for off, sec, usec, orig, pkt in recs:
        etype = struct.unpack('!H', pkt[12:14])[0]
        ip = pkt[14:]
        if kind == 'null':
            fam = {0x0800: 2, 0x86dd: 24}[etype]
            new = struct.pack('<I', fam) + ip
            out.append((off, sec, usec, orig - 14 + 4, new))
        else:
            out.append((off, sec, usec, orig - 14, ip))
    write_pcap(dst, snap, 0 if kind == 'null' else 101, out)

def cut(src, dst, marker, after):
    # Cuts inside the data of the record AFTER records past the first one
    # holding MARKER, so the file ends in the middle of a packet record and in
    # the middle of that flow, rather than on a record or flow boundary.
    data, _, _, recs = read_pcap(src)
    first = next(i for i, r in enumerate(recs) if marker.encode() in r[4])
    i = first + int(after)
    off, _, _, _, pkt = recs[i]
    at = off + 16 + len(pkt) // 2
    open(dst, 'wb').write(data[:at])
    print(f'cut at byte {at} of {len(data)}, inside record {i + 1} of {len(recs)} '
          f'(record header at byte {off}); {i} whole records before it, '
          f'{len(recs) - i - 1} whole records dropped after it')

cmd = sys.argv[1]
if cmd == 'pcapng':
    to_pcapng(*sys.argv[2:6])
elif cmd == 'relink':
    relink(*sys.argv[2:5])
elif cmd == 'cut':
    cut(*sys.argv[2:6])
EOF

# ---------------------------------------------------------------- material
mkdir -p "$WORK/www/docs" "$WORK/ssh"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 3650 \
    -subj "/CN=$NAME/O=qpp capture test" -addext "subjectAltName=DNS:$NAME" \
    -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null
printf '<html><body>qpp capture test page</body></html>\n' >"$WORK/www/docs/index.html"
ssh-keygen -q -t ed25519 -N '' -C 'qpp-capture-host' -f "$WORK/ssh/host_key"
ssh-keygen -q -t ed25519 -N '' -C 'qpp-capture-user' -f "$WORK/ssh/user_key"
cp "$WORK/ssh/user_key.pub" "$WORK/ssh/authorized_keys"
cat >"$WORK/ssh/sshd_config" <<EOF
Port $SSH_PORT
ListenAddress 127.0.0.1
HostKey $WORK/ssh/host_key
AuthorizedKeysFile $WORK/ssh/authorized_keys
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
PermitRootLogin prohibit-password
StrictModes no
PidFile none
EOF
mkdir -p /run/sshd

# ---------------------------------------------------------------- servers
openssl s_server -accept "127.0.0.1:$TLS_PORT" -cert "$WORK/cert.pem" -key "$WORK/key.pem" \
    -alpn http/1.1 -www -quiet </dev/null >"$WORK/s_server4.log" 2>&1 &
PIDS+=($!)
openssl s_server -accept "[::1]:$TLS6_PORT" -cert "$WORK/cert.pem" -key "$WORK/key.pem" \
    -alpn http/1.1 -www -quiet </dev/null >"$WORK/s_server6.log" 2>&1 &
PIDS+=($!)
"$PY" -m http.server "$HTTP_PORT" --bind 127.0.0.1 --directory "$WORK/www" \
    >"$WORK/http.log" 2>&1 &
PIDS+=($!)
dnsmasq --keep-in-foreground --conf-file=/dev/null --port="$DNS_PORT" \
    --listen-address=127.0.0.1 --listen-address=::1 --bind-interfaces \
    --no-resolv --no-hosts --no-poll --pid-file= --log-facility=- \
    --host-record="$NAME,$HOST4,$HOST6" >"$WORK/dnsmasq.log" 2>&1 &
PIDS+=($!)
dnsmasq --keep-in-foreground --conf-file=/dev/null --port="$DNS_HIGH_PORT" \
    --listen-address=127.0.0.1 --bind-interfaces \
    --no-resolv --no-hosts --no-poll --pid-file= --log-facility=- \
    --host-record="$NAME,$HOST4,$HOST6" >"$WORK/dnsmasq-high.log" 2>&1 &
PIDS+=($!)
/usr/sbin/sshd -D -e -f "$WORK/ssh/sshd_config" >"$WORK/sshd.log" 2>&1 &
PIDS+=($!)
wait_port tcp "$TLS_PORT"; wait_port tcp "$TLS6_PORT"; wait_port tcp "$HTTP_PORT"
wait_port udp "$DNS_PORT"; wait_port udp "$DNS_HIGH_PORT"; wait_port tcp "$SSH_PORT"

# ---------------------------------------------------------------- loopback captures
ALL="port $TLS_PORT or port $TLS6_PORT or port $HTTP_PORT or port $SSH_PORT or port $DNS_HIGH_PORT or (udp port $DNS_PORT and (host 127.0.0.1 or host ::1))"
start_cap "$OUT/tls.pcap" lo "" "" "tcp port $TLS_PORT"; C1=$CAP_PID
start_cap "$OUT/http.pcap" lo "" "" "tcp port $HTTP_PORT"; C2=$CAP_PID
start_cap "$OUT/dns.pcap" lo "" "" "udp port $DNS_PORT and host 127.0.0.1"; C3=$CAP_PID
start_cap "$OUT/ssh.pcap" lo "" "" "tcp port $SSH_PORT"; C4=$CAP_PID
start_cap "$OUT/ipv6.pcap" lo "" "" "ip6 and ($ALL)"; C5=$CAP_PID
start_cap "$OUT/mixed.pcap" lo "" "" "$ALL"; C6=$CAP_PID
start_cap "$OUT/http-sll.pcap" any LINUX_SLL "" "tcp port $HTTP_PORT"; C7=$CAP_PID
start_cap "$OUT/mixed-sll2.pcap" any LINUX_SLL2 "" "$ALL"; C8=$CAP_PID

CURL=(curl -sS -o /dev/null --max-time 10)
# TLS 1.3 and TLS 1.2 (the 1.2 handshake shows the certificate in clear).
"${CURL[@]}" -k -A "$UA" --resolve "$NAME:$TLS_PORT:127.0.0.1" "https://$NAME:$TLS_PORT/tls13"
sleep 0.3
"${CURL[@]}" -k -A "$UA" --tlsv1.2 --tls-max 1.2 --resolve "$NAME:$TLS_PORT:127.0.0.1" \
    "https://$NAME:$TLS_PORT/tls12"
sleep 0.3
# HTTP with a user agent and a path, then a request whose User-Agent is not UTF-8.
"${CURL[@]}" -A "$UA" --resolve "$NAME:$HTTP_PORT:127.0.0.1" \
    "http://$NAME:$HTTP_PORT/docs/index.html?flow=1"
sleep 0.3
"$PY" - "$HTTP_PORT" "$NAME" <<'EOF'
import socket, sys
port, name = int(sys.argv[1]), sys.argv[2]
s = socket.create_connection(('127.0.0.1', port), timeout=10)
s.sendall(b'GET /raw/agent HTTP/1.1\r\nHost: ' + name.encode() + b':' + str(port).encode() +
          b'\r\nUser-Agent: qpp-\xff\xfe-agent/\xc3\x28\r\nAccept: */*\r\nConnection: close\r\n\r\n')
while s.recv(4096):
    pass
s.close()
EOF
sleep 0.3
# DNS A and AAAA for the host record.
dig +tries=1 +time=3 -p "$DNS_PORT" @127.0.0.1 "$NAME" A >"$WORK/dig-a.txt"
sleep 0.3
dig +tries=1 +time=3 -p "$DNS_PORT" @127.0.0.1 "$NAME" AAAA >"$WORK/dig-aaaa.txt"
grep -q "$HOST6" "$WORK/dig-aaaa.txt" || die "dnsmasq did not answer the AAAA query"
sleep 0.3
# The same A query to the resolver on a high port (only in the mixed captures).
dig +tries=1 +time=3 -p "$DNS_HIGH_PORT" @127.0.0.1 "$NAME" A >/dev/null
sleep 0.3
# SSH: authenticates with the throwaway key pair and runs true.
ssh -q -i "$WORK/ssh/user_key" -p "$SSH_PORT" -o BatchMode=yes -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile=/dev/null -o GlobalKnownHostsFile=/dev/null -F /dev/null \
    root@127.0.0.1 true
sleep 0.3
# IPv6: TLS and DNS over ::1.
"${CURL[@]}" -k -A "$UA" --resolve "$NAME:$TLS6_PORT:[::1]" "https://$NAME:$TLS6_PORT/ipv6"
sleep 0.3
dig +tries=1 +time=3 -p "$DNS_PORT" @::1 "$NAME" AAAA >/dev/null
stop_caps "$C1" "$C2" "$C3" "$C4" "$C5" "$C6" "$C7" "$C8"

# The cut falls in the SSH flow, after both banners and key exchange offers.
"$PY" "$WORK/pcaptool.py" cut "$OUT/mixed.pcap" "$OUT/mixed-cut.pcap" SSH-2.0- 8 | tee "$WORK/cut.txt"
"$PY" "$WORK/pcaptool.py" pcapng "$OUT/http.pcap" "$OUT/http.pcapng" lo \
    "HTTP flows of http.pcap, written as pcapng"
"$PY" "$WORK/pcaptool.py" relink "$OUT/dns.pcap" "$OUT/dns-null.pcap" null
"$PY" "$WORK/pcaptool.py" relink "$OUT/dns.pcap" "$OUT/dns-raw.pcap" raw

# ---------------------------------------------------------------- VLAN captures
# The kernel here may lack 802.1Q devices, so the tags are put on and taken off
# by a small user-space switch: each end is a namespace with a tap device and
# the real TCP/IP stack; the switch reads the untagged frames from one tap,
# tags them and sends them over a veth pair (the trunk) in a third namespace,
# takes them off the other end of the trunk, strips the tags and writes them
# to the other tap. tcpdump on the trunk sees the tagged frames.
cat >"$WORK/vlanswitch.py" <<'EOF'
import fcntl, os, select, socket, struct, sys, time

IFF_TAP, IFF_NO_PI, TUNSETIFF = 0x0002, 0x1000, 0x400454ca
ETH_P_ALL = 0x0003

def tap(name):
    fd = os.open('/dev/net/tun', os.O_RDWR)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack('16sH', name.encode(), IFF_TAP | IFF_NO_PI))
    return fd

def raw(ifname):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.bind((ifname, 0))
    return s

def untag(frame):
    # The receiving kernel may already have moved the outer tag out of the
    # frame; strip whatever tags remain.
    head, rest = frame[:12], frame[12:]
    while rest[:2] in (b'\x81\x00', b'\x88\xa8'):
        rest = rest[4:]
    return head + rest

tags = [(int(t.split(':')[0], 16), int(t.split(':')[1])) for t in sys.argv[5].split(',') if t]
tagbytes = b''.join(struct.pack('!HH', tpid, vid) for tpid, vid in tags)
ta, tb = tap(sys.argv[1]), tap(sys.argv[2])
open(sys.argv[6], 'w').write('ready\n')
# Wait until the taps have been moved and the trunk exists.
while not os.path.exists(sys.argv[6] + '.go'):
    time.sleep(0.05)
sa, sb = raw(sys.argv[3]), raw(sys.argv[4])
def relay(x):
        if x == ta:
            f = os.read(ta, 65536); sa.send(f[:12] + tagbytes + f[12:])
        elif x == tb:
            f = os.read(tb, 65536); sb.send(f[:12] + tagbytes + f[12:])
        elif x == sa:
            f, addr = sa.recvfrom(65536)
            if addr[2] != socket.PACKET_OUTGOING:
                os.write(ta, untag(f))
        elif x == sb:
            f, addr = sb.recvfrom(65536)
            if addr[2] != socket.PACKET_OUTGOING:
                os.write(tb, untag(f))

# Runs until killed; a frame that cannot be passed on is dropped, as a switch
# would drop it.
while True:
    for x in select.select([ta, tb, sa, sb], [], [])[0]:
        try:
            relay(x)
        except OSError:
            pass
EOF

# vlan_capture OUTFILE TAGS SUFFIX [misc]: TAGS is a list of TPID:VID,
# outermost first, or empty for untagged frames. Without "misc" the traffic is
# HTTP over IPv4 and IPv6; with it, ICMP echo, fragmented UDP and a TCP reset.
vlan_capture() {
    local out=$1 tags=$2 s=$3 mode=${4:-http}
    local na=qppcap-a$s nb=qppcap-b$s nt=qppcap-t$s
    ip netns add "$na"; NETNS+=("$na")
    ip netns add "$nb"; NETNS+=("$nb")
    ip netns add "$nt"; NETNS+=("$nt")
    ip netns exec "$nt" ip link add trunka type veth peer name trunkb
    # The trunk itself has no addresses: no untagged IPv6 chatter on it.
    ip netns exec "$nt" sysctl -q -w net.ipv6.conf.trunka.disable_ipv6=1 \
        net.ipv6.conf.trunkb.disable_ipv6=1
    ip netns exec "$nt" ip link set trunka up
    ip netns exec "$nt" ip link set trunkb up
    ip netns exec "$nt" ip link set lo up
    rm -f "$WORK/switch$s" "$WORK/switch$s.go"
    ip netns exec "$nt" "$PY" "$WORK/vlanswitch.py" tapa tapb trunka trunkb "$tags" \
        "$WORK/switch$s" 2>"$WORK/switch$s.log" &
    PIDS+=($!)
    local switch=$!
    wait_for "$WORK/switch$s" ready
    ip netns exec "$nt" ip link set tapa netns "$na"
    ip netns exec "$nt" ip link set tapb netns "$nb"
    ip netns exec "$na" ip link set lo up
    ip netns exec "$nb" ip link set lo up
    ip netns exec "$na" ip link set tapa address 02:00:00:00:0a:01 mtu 1400 up
    ip netns exec "$nb" ip link set tapb address 02:00:00:00:0b:01 mtu 1400 up
    ip netns exec "$na" ip addr add 192.0.2.1/24 dev tapa
    ip netns exec "$nb" ip addr add 192.0.2.2/24 dev tapb
    ip netns exec "$na" ip addr add 2001:db8:100::1/64 dev tapa nodad
    ip netns exec "$nb" ip addr add 2001:db8:100::2/64 dev tapb nodad
    touch "$WORK/switch$s.go"
    if [ "$mode" = misc ]; then
        ip netns exec "$nb" "$PY" "$WORK/udpecho.py" "$UDP_PORT" >"$WORK/udpecho$s.log" 2>&1 &
        PIDS+=($!)
        local srv=$!
        wait_port udp "$UDP_PORT" "$nb"
    else
        ip netns exec "$nb" "$PY" -m http.server "$HTTP_PORT" --bind :: --directory "$WORK/www" \
            >"$WORK/vlanhttp$s.log" 2>&1 &
        PIDS+=($!)
        local srv=$!
        wait_port tcp "$HTTP_PORT" "$nb"
    fi
    start_cap "$out" trunka "" "$nt" ""; local cap=$CAP_PID
    if [ "$mode" = misc ]; then
        ip netns exec "$na" ping -q -c 2 -i 0.2 -W 2 192.0.2.2 >/dev/null
        ip netns exec "$na" ping -q -c 2 -i 0.2 -W 2 2001:db8:100::2 >/dev/null
        sleep 0.3
        ip netns exec "$na" "$PY" "$WORK/misc-client.py" "$UDP_PORT" "$CLOSED_PORT"
    else
        ip netns exec "$na" "${CURL[@]}" -A "$UA" --resolve "$NAME:$HTTP_PORT:192.0.2.2" \
            "http://$NAME:$HTTP_PORT/docs/index.html?vlan=$s"
        sleep 0.3
        ip netns exec "$na" "${CURL[@]}" -A "$UA" -g "http://[2001:db8:100::2]:$HTTP_PORT/docs/?vlan6=$s"
    fi
    stop_caps "$cap"
    kill "$srv" "$switch"
    wait "$srv" "$switch" || true
    for n in "$na" "$nb" "$nt"; do ip netns del "$n"; done
}

# UDP echo: answers each datagram with the same bytes, on IPv4 and IPv6.
cat >"$WORK/udpecho.py" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
s.bind(('::', int(sys.argv[1])))
for _ in range(2):
    data, peer = s.recvfrom(65536)
    s.sendto(data, peer)
EOF
# 3000-byte UDP datagrams (fragmented at the taps' MTU of 1400) to the echo
# server over IPv4 and IPv6, then a TCP connection refused with a reset.
cat >"$WORK/misc-client.py" <<'EOF'
import socket, sys, time
port, closed = int(sys.argv[1]), int(sys.argv[2])
payload = (b'qpp fragment test, ' * 200)[:3000]   # plain text: nDPI finds no protocol in it
for fam, addr in ((socket.AF_INET, '192.0.2.2'), (socket.AF_INET6, '2001:db8:100::2')):
    s = socket.socket(fam, socket.SOCK_DGRAM)
    s.settimeout(5)
    s.sendto(payload, (addr, port))
    assert s.recv(65536) == payload
    s.close()
    time.sleep(0.3)
try:
    socket.create_connection(('192.0.2.2', closed), timeout=5)
    raise SystemExit('the closed port accepted a connection')
except ConnectionRefusedError:
    pass
EOF

vlan_capture "$OUT/frag.pcap" "" 0 misc
vlan_capture "$OUT/vlan.pcap" 8100:100 1
# Stacked tags twice: both 802.1Q (which nDPI 4.2's reader decodes), and an
# 802.1ad service tag outside an 802.1Q tag (which it does not).
vlan_capture "$OUT/qinq.pcap" 8100:200,8100:300 2
vlan_capture "$OUT/qinq-8021ad.pcap" 88a8:200,8100:300 3

# ---------------------------------------------------------------- nDPI reports
cd "$OUT"
for f in *.pcap *.pcapng; do
    ndpiReader -i "$f" -v 2 >"$f.ndpi.txt" 2>&1 || true
    ndpiReader -i "$f" -C "$f.ndpi.csv" -q >/dev/null 2>&1 || true
done
cp "$WORK/cut.txt" "$OUT/mixed-cut.txt"
ls -l "$OUT"
