"""Type information for the built-in module qpp of the Python processor plugin.

The module exists only inside the plugin; this stub tells a type checker
and an editor what it holds. The functions, the class error and the EVENT_
constants are the module's own. The TypedDict classes describe the flow
dictionaries that the callbacks receive and the dictionary of qpp.stats();
they exist only for the type checker:
refer to them in annotations, which Python does not evaluate when the
script starts with ``from __future__ import annotations``::

    from __future__ import annotations
    import qpp

    def ProcessFlowEvent(event: int, flow: qpp.Flow) -> None:
        if event == qpp.EVENT_FLOW_DPI_COMPLETE and "tls" in flow:
            qpp.print(flow["tls"]["client_sni"] + "\\n")

Integers are Python ints: the daemon's 64-bit fields (time stamps, byte
counters) arrive as signed 64-bit numbers, so a value of 2**63 or more is
negative. Texts are str; an empty daemon text is "".
"""

from typing import Final, TypedDict

from typing_extensions import NotRequired

# Event values, as the callbacks receive them.
EVENT_FLOW_MAP: Final = 1
"""A flow-map snapshot: ProcessFlowStats, then ProcessFlowMap (no event argument)."""
EVENT_FLOW_NEW: Final = 2
EVENT_FLOW_UPDATED: Final = 3
EVENT_FLOW_DPI_COMPLETE: Final = 4
EVENT_FLOW_DPI_UPDATE: Final = 5
EVENT_FLOW_EXPIRING: Final = 6
EVENT_FLOW_EXPIRED: Final = 7
EVENT_UPDATE_INIT: Final = 11
EVENT_UPDATE_COMPLETE: Final = 12
EVENT_UNLOAD: Final = 99
"""The unload notice: the last call to ProcessAgentEvent before a re-import or the end."""


def print(message: str, /) -> int:
    """Writes message to the daemon's log as it is (no tag, no line end); returns 0.

    Raises TypeError("message type must be a string") for anything but one
    str without NUL characters.
    """


def debug(message: str, /) -> int:
    """Like print, but written only while the daemon runs with debug output."""


def dispatch(
    target: str,
    channels: list[str],
    payload: str,
    format: int = 0,
    header: int = 0,
    /,
) -> bool:
    """Hands payload to the sink plugin target; True when it was accepted.

    channels: items that are not str are skipped; duplicates count once.
    format: 1 JSON, 2 MessagePack, other values 0 to 255 nothing.
    header: 1 asks the sink for its header, other values 0 to 255 nothing.
    Raises TypeError for bad arguments or when called from a thread other
    than the plugin's worker; returns False when the daemon refuses.
    """


def stats() -> Statistics:
    """Returns the statistics of this plugin instance, a new dictionary on every call.

    Raises TypeError when called from a thread other than the plugin's worker.
    """


class error(Exception):
    """For scripts to raise and catch; the plugin never raises it."""


# What qpp.stats() returns.


class EventCounts(TypedDict):
    queued: int
    served: int  # a callback ran
    unhandled: int  # no callback took it
    dropped: int


class FlowMapEventCounts(EventCounts):
    flows_queued: int
    flows_served: int
    flows_dropped: int


class EventStatistics(TypedDict):
    queued: int  # totals over the kinds below
    served: int
    unhandled: int
    dropped: int
    flow: EventCounts
    flow_map: FlowMapEventCounts
    agent: EventCounts


class CallTimes(TypedDict):
    """Time per call in microseconds."""

    median: float
    p99: float
    max: float


class CallbackStatistics(TypedDict):
    calls: int
    exceptions: int
    interrupted: int  # stopped by the time budget
    time_us: CallTimes


class CallbackStatisticsByName(TypedDict):
    ProcessAgentEvent: CallbackStatistics
    ProcessFlowEvent: CallbackStatistics
    ProcessFlowMap: CallbackStatistics
    ProcessFlowStats: CallbackStatistics


class QueueStatistics(TypedDict):
    depth: int
    high_water: int
    bytes: int  # estimated memory held by the waiting events
    max_events: int  # the bounds in force; 0: none
    max_bytes: int


class ReloadStatistics(TypedDict):
    done: int
    failed: int
    unchanged: int


class PayloadStatistics(TypedDict):
    dispatched: int
    refused: int


class RunnerStatistics(TypedDict):
    """A script runner's, with "isolation": "process"."""

    pid: int  # 0 while none runs
    restarts: int
    last_end: str  # why the last runner ended, as its log line said; "" before


class Statistics(TypedDict):
    events: EventStatistics
    callbacks: CallbackStatisticsByName
    queue: QueueStatistics
    reloads: ReloadStatistics
    payloads: PayloadStatistics
    runner: NotRequired[RunnerStatistics]  # "isolation": "process" only


# The flow dictionary. Keys marked NotRequired are present only under the
# condition given beside them.


class Interface(TypedDict):
    name: str  # the capture interface
    role: int  # 0 LAN, 1 WAN


class Counters(TypedDict):
    """The value of "stats": a copy taken when the event was queued."""

    lower_bytes: int
    upper_bytes: int
    total_bytes: int
    lower_packets: int
    upper_packets: int
    total_packets: int
    detection_packets: int
    lower_rate: int  # the daemon's rate, truncated toward zero
    upper_rate: int
    tcp_seq_errors: int  # zero for flows that are not TCP
    tcp_resets: int
    tcp_retrans: int


class FlowStats(TypedDict):
    """The statistics form, which ProcessFlowStats receives."""

    iface: Interface
    digest_lower: str  # 40 lower-case hex digits
    digest_mdata: str  # 40 hex digits, or "" when the flow has none
    stats: Counters


class Flags(TypedDict):
    detection_complete: bool
    detection_guessed: bool
    detection_init: bool
    detection_updated: bool
    dhc_hit: bool
    fhc_hit: bool
    expiring: bool
    expired: bool
    soft_dissector: bool


class Tcp(TypedDict):
    fin_acks: int
    last_seq: int


class Gtp(TypedDict):
    """The tunnel's own values, not the top-level ones of the same names."""

    version: int
    ip_version: int
    lower_teid: int
    upper_teid: int
    lower_type: int
    upper_type: int
    lower_addr: str
    upper_addr: str
    lower_port: int
    upper_port: int
    lower_map: int
    other_type: int


class Category(TypedDict):
    application: int
    protocol: int
    domain: int
    network: int


class Smtp(TypedDict):
    tls: bool  # the session switched to TLS


class Http(TypedDict):
    user_agent: str
    url: str


class Mdns(TypedDict):
    domain_name: str


class Dhcp(TypedDict):
    fingerprint: str
    class_ident: str


class Ssh(TypedDict):
    client_agent: str
    server_agent: str


class TlsEncryptedCH(TypedDict):
    version: int


class TlsEncryptedSNI(TypedDict):
    cipher_suite: int
    client_sni: str


class Tls(TypedDict):
    version: int  # 771 (0x0303) TLS 1.2, 772 (0x0304) TLS 1.3
    cipher_suite: int
    subject_dn: str
    issuer_dn: str
    server_cn: str
    client_sni: str  # the same text as the flow's "host_server_name"
    client_ja3: str
    server_ja3: str
    alpn_client: NotRequired[list[str]]  # the client offered any
    alpn_server: NotRequired[list[str]]  # the server's list is not empty
    encrypted_ch: NotRequired[TlsEncryptedCH]  # an encrypted client hello
    encrypted_sni: NotRequired[TlsEncryptedSNI]  # an encrypted SNI


class Risk(TypedDict):
    ndpi_score: int
    ndpi_score_client: int
    ndpi_score_server: int
    risks: list[int]  # ascending


class Flow(FlowStats):
    """The full form, which ProcessFlowEvent and ProcessFlowMap receive."""

    ip_version: int  # 4 or 6
    ip_protocol: int  # 6 TCP, 17 UDP, ...
    vlan_id: int
    first_seen_at: int  # in the daemon's unit
    last_seen_at: int
    lower_map: int
    other_type: int
    tunnel_type: int  # 0 none, 1 GTP
    origin: int
    privacy_mask: int
    lower_mac: str  # "aa:bb:cc:dd:ee:ff", or "" if unknown
    upper_mac: str
    lower_addr: str
    upper_addr: str
    lower_port: int
    upper_port: int
    flags: Flags
    tcp: NotRequired[Tcp]  # "ip_protocol" is 6
    gtp: NotRequired[Gtp]  # "tunnel_type" is 1
    dns_host_name: str
    host_server_name: str
    detected_protocol: int
    detected_application: int
    detected_protocol_name: str
    detected_application_name: str
    category: Category
    # At most one protocol group, chosen by the flow's master protocol.
    smtp: NotRequired[Smtp]  # master protocol 3
    http: NotRequired[Http]  # master protocol 7
    mdns: NotRequired[Mdns]  # master protocol 8, with a domain name
    dhcp: NotRequired[Dhcp]  # master protocol 18
    tls: NotRequired[Tls]  # master protocol 91
    ssh: NotRequired[Ssh]  # master protocol 92
    risk: NotRequired[Risk]  # the flow has at least one risk
