// Reading a FLOW object into a host flow. The keys, nesting and value types
// are those of the flow dictionary, so that a dictionary a script printed can
// be fed back as input; the few places where the dictionary shows a derived
// value (the last metadata digest, the TLS server name, the protocol group
// chosen by the master protocol) are mapped back onto the fields they come
// from.

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "replay-flow.h"

using json = nlohmann::json;

namespace {

[[noreturn]] void Fail(const std::string &path, const std::string &problem)
{
    throw qppReplayInputError(path + ": " + problem);
}

using Handler = std::function<void(const json &value, const std::string &path)>;
using Handlers = std::map<std::string, Handler>;

// Hands each member of object to the handler of its key; a key without one
// is refused by its full path, so that a typo deep inside is easy to find.
void Walk(const json &object, const std::string &path, const Handlers &handlers)
{
    if (! object.is_object()) Fail(path, "expected an object");
    for (auto &member : object.items()) {
        auto handler = handlers.find(member.key());
        if (handler == handlers.end())
            throw qppReplayInputError("unknown key: " + path + "." + member.key());
        handler->second(member.value(), path + "." + member.key());
    }
}

// An unsigned host field of fewer than 64 bits: the value must fit.
template <typename T>
T Unsigned(const json &value, const std::string &path)
{
    static_assert(std::is_unsigned<T>::value && sizeof(T) < 8, "narrow fields");
    constexpr uint64_t max = std::numeric_limits<T>::max();
    if (value.is_number_unsigned() && value.get<uint64_t>() <= max)
        return static_cast<T>(value.get<uint64_t>());
    if (value.is_number_integer() && ! value.is_number_unsigned() &&
        value.get<int64_t>() >= 0 && static_cast<uint64_t>(value.get<int64_t>()) <= max)
        return static_cast<T>(value.get<int64_t>());
    Fail(path, "expected an integer from 0 to " + std::to_string(max));
}

// A 64-bit host field. Scripts see it as a signed 64-bit number (2^63 and
// up is negative), so both that form and the unsigned one are taken.
uint64_t Wide(const json &value, const std::string &path)
{
    if (value.is_number_unsigned()) return value.get<uint64_t>();
    if (value.is_number_integer())
        return static_cast<uint64_t>(value.get<int64_t>());
    Fail(path, "expected an integer");
}

float Rate(const json &value, const std::string &path)
{
    if (! value.is_number()) Fail(path, "expected a number");
    return value.get<float>();
}

bool Flag(const json &value, const std::string &path)
{
    if (! value.is_boolean()) Fail(path, "expected true or false");
    return value.get<bool>();
}

std::string Text(const json &value, const std::string &path)
{
    if (! value.is_string()) Fail(path, "expected a string");
    // The host keeps its texts as C strings: a NUL would end the text there
    // and the script would see less than the line says.
    if (value.get_ref<const std::string &>().find('\0') != std::string::npos)
        Fail(path, "contains a NUL character");
    return value.get<std::string>();
}

std::vector<std::string> TextList(const json &value, const std::string &path)
{
    if (! value.is_array()) Fail(path, "expected a list of strings");
    std::vector<std::string> texts;
    for (size_t i = 0; i < value.size(); i++)
        texts.push_back(Text(value[i], path + "[" + std::to_string(i) + "]"));
    return texts;
}

qdDigest Digest(const json &value, const std::string &path)
{
    std::string text = Text(value, path);
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    qdDigest digest{};
    bool valid = (text.size() == 40);
    for (size_t i = 0; valid && i < 20; i++) {
        int high = nibble(text[2 * i]), low = nibble(text[2 * i + 1]);
        // Nothing is combined from a bad digit: shifting its -1 is undefined.
        if (high < 0 || low < 0) {
            valid = false;
            break;
        }
        digest[i] = static_cast<uint8_t>((high << 4) | low);
    }
    if (! valid) Fail(path, "expected 40 hexadecimal digits");
    return digest;
}

void Mac(qdAddr &addr, const json &value, const std::string &path)
{
    std::string text = Text(value, path);
    if (text.empty()) {
        addr = qdAddr();
        return;
    }
    if (! qdAddr::Create(addr, text) || addr.GetType() != qdAddr::Type::ETHER)
        Fail(path, "not a MAC address: " + text);
}

// An IP address and its port arrive as two keys; they meet in one qdAddr
// once the whole object has been read.
struct Endpoint
{
    std::optional<std::string> text;
    std::optional<uint16_t> port;
    std::string text_path, port_path;

    Handler AddressHandler()
    {
        return [this](const json &v, const std::string &p) {
            text = Text(v, p);
            text_path = p;
        };
    }
    Handler PortHandler()
    {
        return [this](const json &v, const std::string &p) {
            port = Unsigned<uint16_t>(v, p);
            port_path = p;
        };
    }

    void Apply(qdAddr &addr) const
    {
        if (! text && ! port) return;
        std::string address;
        if (text)
            address = *text;
        else
            addr.MakeString(address, qdFlags<qdAddr::MakeFlags>());
        uint16_t number = port ? *port : addr.GetPort(true);
        if (address.empty()) {
            if (number != 0) Fail(port_path, "a port needs an address");
            addr = qdAddr();
            return;
        }
        if (! qdAddr::Create(addr, address, number) ||
            addr.GetType() != qdAddr::Type::IP)
            Fail(text_path, "not an IP address: " + address);
    }
};

// The protocol groups and the master protocol that selects each.
const std::vector<std::pair<std::string, uint32_t>> protocol_groups = {
    {"smtp", qdFlow::PROTO_SMTP},
    {"http", qdFlow::PROTO_HTTP},
    {"mdns", qdFlow::PROTO_MDNS},
    {"dhcp", qdFlow::PROTO_DHCP},
    {"tls", qdFlow::PROTO_TLS},
    {"ssh", qdFlow::PROTO_SSH},
};

class FlowReader
{
public:
    FlowReader(qdFlow &flow, const std::string &path) : f(flow), path(path) { }

    void Read(const json &object)
    {
        Handlers handlers = TopLevel();
        handlers["id"] = [](const json &, const std::string &) { };
        Walk(object, path, handlers);
        Finish();
    }

private:
    Handlers TopLevel()
    {
        Handlers h;
        h["iface"] = [this](const json &v, const std::string &p) { Iface(v, p); };
        h["digest_lower"] = [this](const json &v, const std::string &p) {
            f.digest_lower = Digest(v, p);
        };
        h["digest_mdata"] = [this](const json &v, const std::string &p) {
            DigestList(v, p);
        };
        h["stats"] = [this](const json &v, const std::string &p) { Stats(v, p); };

        h["ip_version"] = Narrow(f.ip_version);
        h["ip_protocol"] = Narrow(f.ip_protocol);
        h["vlan_id"] = Narrow(f.vlan_id);
        h["first_seen_at"] = Wide64(f.first_seen_at);
        h["last_seen_at"] = Wide64(f.last_seen_at);
        h["lower_map"] = Narrow(f.lower_map);
        h["other_type"] = Narrow(f.other_type);
        h["tunnel_type"] = Narrow(f.tunnel_type);
        h["origin"] = Narrow(f.origin);
        h["privacy_mask"] = Narrow(f.privacy_mask);

        h["lower_mac"] = [this](const json &v, const std::string &p) {
            Mac(f.lower_mac, v, p);
        };
        h["upper_mac"] = [this](const json &v, const std::string &p) {
            Mac(f.upper_mac, v, p);
        };
        h["lower_addr"] = lower.AddressHandler();
        h["upper_addr"] = upper.AddressHandler();
        h["lower_port"] = lower.PortHandler();
        h["upper_port"] = upper.PortHandler();

        h["flags"] = [this](const json &v, const std::string &p) {
            Walk(v, p, {
                {"detection_complete", Bool(f.flags.detection_complete)},
                {"detection_guessed", Bool(f.flags.detection_guessed)},
                {"detection_init", Bool(f.flags.detection_init)},
                {"detection_updated", Bool(f.flags.detection_updated)},
                {"dhc_hit", Bool(f.flags.dhc_hit)},
                {"fhc_hit", Bool(f.flags.fhc_hit)},
                {"expiring", Bool(f.flags.expiring)},
                {"expired", Bool(f.flags.expired)},
                {"soft_dissector", Bool(f.flags.soft_dissector)},
            });
        };
        h["tcp"] = [this](const json &v, const std::string &p) {
            Walk(v, p, {
                {"fin_acks", Narrow(f.tcp.fin_acks)},
                {"last_seq", Narrow(f.tcp.last_seq)},
            });
        };
        h["gtp"] = [this](const json &v, const std::string &p) {
            Walk(v, p, {
                {"version", Narrow(f.gtp.version)},
                {"ip_version", Narrow(f.gtp.ip_version)},
                {"lower_teid", Narrow(f.gtp.lower_teid)},
                {"upper_teid", Narrow(f.gtp.upper_teid)},
                {"lower_type", Narrow(f.gtp.lower_type)},
                {"upper_type", Narrow(f.gtp.upper_type)},
                {"lower_addr", gtp_lower.AddressHandler()},
                {"upper_addr", gtp_upper.AddressHandler()},
                {"lower_port", gtp_lower.PortHandler()},
                {"upper_port", gtp_upper.PortHandler()},
                {"lower_map", Narrow(f.gtp.lower_map)},
                {"other_type", Narrow(f.gtp.other_type)},
            });
        };

        h["dns_host_name"] = String(f.dns_host_name);
        h["host_server_name"] = [this](const json &v, const std::string &p) {
            host_server_name = Text(v, p);
        };
        h["detected_protocol"] = Narrow(f.detected_protocol);
        h["detected_application"] = Narrow(f.detected_application);
        h["detected_protocol_name"] = String(f.detected_protocol_name);
        h["detected_application_name"] = String(f.detected_application_name);
        h["category"] = [this](const json &v, const std::string &p) {
            Walk(v, p, {
                {"application", Narrow(f.category.application)},
                {"protocol", Narrow(f.category.protocol)},
                {"domain", Narrow(f.category.domain)},
                {"network", Narrow(f.category.network)},
            });
        };

        h["smtp"] = Group("smtp", {
            {"tls", [this](const json &v, const std::string &p) {
                 // The dictionary shows the host's indicator byte as a flag.
                 if (v.is_boolean())
                     f.smtp.tls = v.get<bool>() ? 1 : 0;
                 else
                     f.smtp.tls = Unsigned<uint8_t>(v, p);
             }},
        });
        h["http"] = Group("http", {
            {"user_agent", String(f.http.user_agent)},
            {"url", String(f.http.url)},
        });
        h["mdns"] = Group("mdns", {{"domain_name", String(f.mdns.domain_name)}});
        h["dhcp"] = Group("dhcp", {
            {"fingerprint", String(f.dhcp.fingerprint)},
            {"class_ident", String(f.dhcp.class_ident)},
        });
        h["ssh"] = Group("ssh", {
            {"client_agent", String(f.ssh.client_agent)},
            {"server_agent", String(f.ssh.server_agent)},
        });
        h["tls"] = Group("tls", {
            {"version", Narrow(f.tls.version)},
            {"cipher_suite", Narrow(f.tls.cipher_suite)},
            {"subject_dn", String(f.tls.subject_dn)},
            {"issuer_dn", String(f.tls.issuer_dn)},
            {"server_cn", String(f.tls.server_cn)},
            {"client_sni", [this](const json &v, const std::string &p) {
                 client_sni = Text(v, p);
                 client_sni_path = p;
             }},
            {"client_ja3", String(f.tls.client_ja3)},
            {"server_ja3", String(f.tls.server_ja3)},
            {"alpn_client", Strings(f.tls.alpn)},
            {"alpn_server", Strings(f.tls.alpn_server)},
            {"encrypted_ch", [this](const json &v, const std::string &p) {
                 Walk(v, p, {{"version", Narrow(f.tls.encrypted_ch.version)}});
             }},
            {"encrypted_sni", [this](const json &v, const std::string &p) {
                 Walk(v, p, {
                     {"cipher_suite", Narrow(f.tls.encrypted_sni.cipher_suite)},
                     {"client_sni", String(f.tls.encrypted_sni.client_sni)},
                 });
             }},
        });

        h["risk"] = [this](const json &v, const std::string &p) {
            Walk(v, p, {
                {"ndpi_score", Narrow(f.ndpi_score)},
                {"ndpi_score_client", Narrow(f.ndpi_score_client)},
                {"ndpi_score_server", Narrow(f.ndpi_score_server)},
                {"risks", [this](const json &list, const std::string &lp) {
                     if (! list.is_array()) Fail(lp, "expected a list of integers");
                     f.risks.clear();
                     for (size_t i = 0; i < list.size(); i++) {
                         f.risks.insert(Unsigned<uint32_t>(
                             list[i], lp + "[" + std::to_string(i) + "]"));
                     }
                 }},
            });
        };

        h["master_protocol"] = [this](const json &v, const std::string &p) {
            master_protocol = Unsigned<uint32_t>(v, p);
        };
        return h;
    }

    template <typename T>
    Handler Narrow(T &field)
    {
        return [&field](const json &v, const std::string &p) {
            field = Unsigned<T>(v, p);
        };
    }

    Handler Wide64(uint64_t &field)
    {
        return [&field](const json &v, const std::string &p) { field = Wide(v, p); };
    }

    Handler Bool(bool &field)
    {
        return [&field](const json &v, const std::string &p) { field = Flag(v, p); };
    }

    Handler String(std::string &field)
    {
        return [&field](const json &v, const std::string &p) { field = Text(v, p); };
    }

    Handler Strings(std::vector<std::string> &field)
    {
        return [&field](const json &v, const std::string &p) {
            field = TextList(v, p);
        };
    }

    Handler Group(const std::string &name, Handlers members)
    {
        return [this, name, members](const json &v, const std::string &p) {
            groups.push_back(name);
            Walk(v, p, members);
        };
    }

    void Iface(const json &value, const std::string &p)
    {
        std::string name = f.iface ? f.iface->ifname : std::string();
        uint8_t role = f.iface ? f.iface->role : 0;
        Walk(value, p, {
            {"name", [&name](const json &v, const std::string &vp) {
                 name = Text(v, vp);
             }},
            {"role", [&role](const json &v, const std::string &vp) {
                 role = Unsigned<uint8_t>(v, vp);
             }},
        });
        // A fresh interface object: flows handed out earlier keep theirs.
        f.iface = std::make_shared<qdInterface>(name, role);
    }

    // One text (the last digest, which is all the dictionary shows; empty
    // for none) or the whole list.
    void DigestList(const json &value, const std::string &p)
    {
        f.digest_mdata.clear();
        if (value.is_string()) {
            if (! value.get<std::string>().empty())
                f.digest_mdata.push_back(Digest(value, p));
            return;
        }
        if (! value.is_array()) Fail(p, "expected a digest or a list of digests");
        for (size_t i = 0; i < value.size(); i++)
            f.digest_mdata.push_back(Digest(value[i], p + "[" + std::to_string(i) + "]"));
    }

    void Stats(const json &value, const std::string &p)
    {
        qdFlowStats &s = f.stats;
        Walk(value, p, {
            {"lower_bytes", Wide64(s.lower_bytes)},
            {"upper_bytes", Wide64(s.upper_bytes)},
            {"total_bytes", Wide64(s.total_bytes)},
            {"lower_packets", Narrow(s.lower_packets)},
            {"upper_packets", Narrow(s.upper_packets)},
            {"total_packets", Narrow(s.total_packets)},
            {"detection_packets", Narrow(s.detection_packets)},
            {"lower_rate", [&s](const json &v, const std::string &vp) {
                 s.lower_rate = Rate(v, vp);
             }},
            {"upper_rate", [&s](const json &v, const std::string &vp) {
                 s.upper_rate = Rate(v, vp);
             }},
            {"tcp_seq_errors", Narrow(s.tcp_seq_errors)},
            {"tcp_resets", Narrow(s.tcp_resets)},
            {"tcp_retrans", Narrow(s.tcp_retrans)},
        });
    }

    // What depends on several keys, settled once all of them are read.
    void Finish()
    {
        lower.Apply(f.lower_addr);
        upper.Apply(f.upper_addr);
        gtp_lower.Apply(f.gtp.lower_addr);
        gtp_upper.Apply(f.gtp.upper_addr);

        // The dictionary's tls.client_sni is the flow's host_server_name.
        if (host_server_name) f.host_server_name = *host_server_name;
        if (client_sni) {
            if (host_server_name && *host_server_name != *client_sni) {
                Fail(client_sni_path,
                    "differs from " + path + ".host_server_name, whose value "
                    "scripts see here");
            }
            f.host_server_name = *client_sni;
        }

        // Without an explicit master protocol, the one group given says
        // which protocol the flow is: that is how a dictionary a script saw
        // comes back with the same group.
        if (master_protocol)
            f.master_protocol = *master_protocol;
        else if (groups.size() > 1) {
            std::string names;
            for (auto &g : groups) names += (names.empty() ? "" : ", ") + g;
            Fail(path, "several protocol groups (" + names +
                    "): give master_protocol to choose the one scripts see");
        }
        else if (groups.size() == 1) {
            for (auto &g : protocol_groups) {
                if (g.first == groups[0]) f.master_protocol = g.second;
            }
        }
    }

    qdFlow &f;
    std::string path;
    Endpoint lower, upper, gtp_lower, gtp_upper;
    std::optional<std::string> host_server_name, client_sni;
    std::string client_sni_path;
    std::optional<uint32_t> master_protocol;
    std::vector<std::string> groups;
};

}  // namespace

void qppReplayApplyFlow(
    qdFlow &flow, const json &object, const std::string &path)
{
    // The worker may read this flow at any time (the caller makes sure it
    // has no event of it pending, so what it reads is settled), and the host
    // writes flows under their own mutex.
    std::lock_guard<std::recursive_mutex> guard(flow.lock);
    FlowReader(flow, path).Read(object);
}

std::shared_ptr<qdFlow> qppReplayNewFlow()
{
    return std::make_shared<qdFlow>(std::make_shared<qdInterface>("", 0));
}
