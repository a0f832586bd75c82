#include "host/config/host_config.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <toml++/toml.h>

#include "boot/ipxe_names.h"
#include "host/config/pi_check.h"
#include "host/config/secure_boot_check.h"
#include "host/text/address_text.h"
#include "host/text/mac_text.h"
#include "host/text/uuid_text.h"
#include "tftp/boot_path.h"

namespace {

constexpr int kMaxRanges = 10239;
constexpr size_t kMinFarmKey = 16;
// examples/farm.toml's key: published, so it signs nothing.
const char kFarmKeyPlaceholder[] = "change me: the same long secret on every member";
// Accepted by the previous release, so served for one more with a warning.
const char kNextReleaseRefuses[] = "; the next release refuses it";
const char kDatabaseLivenessOnly[] =
    "so this farm runs on database liveness only: the members send no direct heartbeats, and a member that "
    "loses only its database link is taken for dead (another member answers its clients too). Give every "
    "member the same key of 16 characters or more; the next release refuses a farm without one";

// Every key the file may hold, per section: a misspelt optional key would
// otherwise be dropped without a word. A new key is a new entry here.
struct SectionKeys {
    const char *section;
    bool array;  // [[section]] rather than [section]
    std::vector<const char *> keys;
};
const SectionKeys kKnownKeys[] = {
    {"server", false,
     {"address", "netmask", "dhcp_mode", "boot_file", "boot_directory", "relay_text1", "relay_text2"}},
    {"policy", false, {"database", "report_retention_days"}},
    {"farm", false, {"name", "weight", "key", "heartbeat_port", "prune_after_hours"}},
    {"http", false, {"listen"}},
    {"metrics", false, {"listen", "retention_days"}},
    {"range", true, {"begin", "end", "netmask", "gateway", "dns1", "dns2", "class", "relayed"}},
    {"static", true, {"mac", "ip", "netmask", "gateway", "dns1", "dns2"}},
    {"boot", true, {"arch", "user_class", "vendor_class", "mac", "file", "fallback", "profile"}},
    {"identity", false, {"mode", "discovery", "deny_uuids", "max_unknown"}},
    {"profiles", false, {}},  // its keys are the profiles' names, each checked by ReadProfiles
    {"api", false, {"token", "token_file"}},
    {"secure_boot", false, {"revocations", "level", "refuse_revoked", "warn_unsigned"}},
    {"ipv6", false,
     {"address", "interface", "boot_file", "dhcp_mode", "dns", "router_advertisement", "prefix", "range", "static"}},
};
// [ipv6]'s own lists, checked as [ipv6] is.
const SectionKeys kIpv6Range{"ipv6.range", true, {"begin", "end", "class"}};
const SectionKeys kIpv6Static{"ipv6.static", true, {"duid", "mac", "ip"}};
constexpr size_t kMaxDuidBytes = 130;  // type (2) and at most 128 more
constexpr int kIpv6Bits = 128;

class Checker {
public:
    Checker(std::string path, std::vector<std::string> *errors, std::vector<std::string> *warnings)
        : m_Path(std::move(path)), m_lpErrors(errors), m_lpWarnings(warnings) {}

    void Error(const toml::source_region &where, const std::string &key, const std::string &problem) {
        m_lpErrors->push_back(Line(where, key, problem));
    }
    void Warning(const toml::source_region &where, const std::string &key, const std::string &problem) {
        m_lpWarnings->push_back(Line(where, key, problem));
    }

    // A text that fits its field (NUL included); required or optional.
    bool Text(const toml::table &table, const char *name, const std::string &key, char *field, size_t size,
              bool required, const toml::source_region &owner) {
        const toml::node *node = table.get(name);
        if (!node) {
            if (required) Error(owner, key, "missing");
            return !required;
        }
        const std::string *value = node->as_string() ? &node->as_string()->get() : nullptr;
        if (!value) {
            Error(node->source(), key, "must be a string");
            return false;
        }
        if (value->size() >= size) {
            Error(node->source(), key, "longer than " + std::to_string(size - 1) + " characters");
            return false;
        }
        snprintf(field, size, "%s", value->c_str());
        return true;
    }

    // An address, rewritten in the one form the library, the store and the
    // listings then see ("192.0.2.010" as "192.0.2.10").
    bool Address(const toml::table &table, const char *name, const std::string &key, char *field, size_t size,
                 bool required, const toml::source_region &owner) {
        if (!Text(table, name, key, field, size, required, owner)) return false;
        if (!*field && !required) return true;
        std::string canonical;
        if (!CanonicalAddress(field, &canonical)) {
            Error(table.get(name)->source(), key, "not a dotted quad (like 192.0.2.1)");
            return false;
        }
        snprintf(field, size, "%s", canonical.c_str());
        return true;
    }

    // A required netmask: ones, then zeros.
    bool Netmask(const toml::table &table, const std::string &key, char *field, size_t size,
                 const toml::source_region &owner) {
        if (!Address(table, "netmask", key, field, size, true, owner)) return false;
        if (IsContiguousMask(field)) return true;
        Error(table.get("netmask")->source(), key, "not a contiguous netmask (like 255.255.255.0)");
        return false;
    }

    static bool IsContiguousMask(const char *text) {
        uint32_t hostPart = ~AddressValue(text);
        return (hostPart & (hostPart + 1)) == 0;
    }

    // A whole MAC, rewritten in the library's form (it reads ':' pairs only).
    static bool TakeMac(char *text, size_t size) {
        std::string canonical;
        if (!CanonicalMac(text, &canonical) || canonical.size() >= size) return false;
        snprintf(text, size, "%s", canonical.c_str());
        return true;
    }

private:
    std::string Line(const toml::source_region &where, const std::string &key, const std::string &problem) const {
        return m_Path + ":" + std::to_string(where.begin.line) + ": " + key + ": " + problem;
    }

    std::string m_Path;
    std::vector<std::string> *m_lpErrors;
    std::vector<std::string> *m_lpWarnings;
};

// The clients would be refused a boot file that is not in the folder; the
// file may yet be put there, so this is a warning, named like the key.
void CheckBootFileExists(Checker &check, const HostConfig &config, const toml::node &node, const std::string &key,
                         const char *file) {
    const char *root = config.server.rootpath;
    struct stat info {};
    if (!*root || stat(root, &info) != 0 || !S_ISDIR(info.st_mode)) return;  // reported with boot_directory
    if (!*file || IsBootUrl(file) || RefuseBootFileName(file)) return;
    char path[kRealPathSize];
    if (!MakeBootFilePath(root, file, path, sizeof path)) return;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode))
        check.Warning(node.source(), key, std::string("no such file in ") + root);
}

// A Pi rule serves the boot folder's Pi files: those lock-step TFTP cannot
// bring within the bootloader's time per file boot no Pi.
void CheckPiFiles(Checker &check, HostConfig &config, const toml::node &node, const std::string &key) {
    for (const PiFile &file : PiFilesTooLarge(config.server.rootpath, kPiLargestFile)) {
        ++config.nPiFilesTooLarge;
        char problem[512];
        snprintf(problem, sizeof problem,
                 "%s (%.1f MB) takes longer than the Raspberry Pi's %.0f s per file (TFTP_FILE_TIMEOUT) over "
                 "lock-step TFTP at %.1f MB/s: raise TFTP_FILE_TIMEOUT, shrink it, or boot the Pi over HTTP",
                 file.name.c_str(), file.qwSize / 1e6, kPiFileTimeoutSeconds, kPiTftpBytesPerSecond / 1e6);
        check.Warning(node.source(), key + ".arch", problem);
    }
}

// The previous release ignored unknown keys, except in [[boot]], where a
// misspelt condition would make the rule match every client.
void CheckKeysOf(Checker &check, const toml::table &table, const std::string &prefix, const SectionKeys &known) {
    bool refused = strcmp(known.section, "boot") == 0;
    for (const auto &entry : table) {
        std::string name(entry.first.str());
        bool found = false;
        for (const char *key : known.keys) found = found || name == key;
        if (found) continue;
        if (refused)
            check.Error(entry.second.source(), prefix + "." + name, "unknown key");
        else
            check.Warning(entry.second.source(), prefix + "." + name,
                          std::string("unknown key, ignored") + kNextReleaseRefuses);
    }
}

// A list that may be absent, read in place (a copy would lose its lines).
const toml::array &ListOrNone(const toml::array *list) {
    static const toml::array none;
    return list ? *list : none;
}

void CheckIpv6Lists(Checker &check, const toml::table &ipv6) {
    for (const SectionKeys *known : {&kIpv6Range, &kIpv6Static}) {
        const toml::array *items = ipv6[strchr(known->section, '.') + 1].as_array();
        int index = 0;
        for (const toml::node &item : ListOrNone(items))
            if (const toml::table *table = item.as_table())
                CheckKeysOf(check, *table, std::string(known->section) + "[" + std::to_string(index++) + "]", *known);
    }
}

void CheckKnownKeys(Checker &check, const toml::table &root) {
    for (const auto &entry : root) {
        std::string name(entry.first.str());
        const SectionKeys *known = nullptr;
        for (const SectionKeys &section : kKnownKeys)
            if (name == section.section) known = &section;
        if (!known) {
            check.Warning(entry.second.source(), name,
                          std::string("unknown section or key, ignored") + kNextReleaseRefuses);
            continue;
        }
        if (!known->array) {
            if (const toml::table *table = entry.second.as_table()) {
                if (name != "profiles") CheckKeysOf(check, *table, name, *known);
                if (name == "ipv6") CheckIpv6Lists(check, *table);
            } else
                check.Warning(entry.second.source(), name,
                              "must be a section [" + name + "], ignored" + kNextReleaseRefuses);
            continue;
        }
        const toml::array *items = entry.second.as_array();
        if (!items) {
            check.Warning(entry.second.source(), name,
                          "must be a list of sections [[" + name + "]], ignored" + kNextReleaseRefuses);
            continue;
        }
        int index = 0;
        for (const toml::node &item : *items) {
            std::string prefix = name + "[" + std::to_string(index++) + "]";
            if (const toml::table *table = item.as_table()) CheckKeysOf(check, *table, prefix, *known);
        }
    }
}

// An optional whole number in [low, high], FALLBACK when absent.
int WholeNumber(Checker &check, const toml::table &table, const char *name, const std::string &key, int fallback,
                int low, int high) {
    const toml::node *node = table.get(name);
    if (!node) return fallback;
    std::optional<int64_t> value = node->value_exact<int64_t>();
    if (!value || *value < low || *value > high) {
        check.Error(node->source(), key, "must be a whole number from " + std::to_string(low) + " to " +
                                             std::to_string(high));
        return fallback;
    }
    return static_cast<int>(*value);
}

void ReadServer(Checker &check, const toml::table &root, HostConfig *config) {
    const toml::table *server = root["server"].as_table();
    if (!server) {
        check.Error(root.source(), "server", "missing [server] section");
        return;
    }
    TeskPxeServerStruct &s = config->server;
    const auto &where = server->source();
    check.Address(*server, "address", "server.address", s.ServerIP, sizeof s.ServerIP, true, where);
    if (const toml::node *address = server->get("address")) config->nAddressLine = address->source().begin.line;
    check.Netmask(*server, "server.netmask", s.NetMask, sizeof s.NetMask, where);
    check.Text(*server, "boot_file", "server.boot_file", s.bootfile, sizeof s.bootfile, true, where);
    check.Text(*server, "relay_text1", "server.relay_text1", s.relaytext1, sizeof s.relaytext1, false, where);
    check.Text(*server, "relay_text2", "server.relay_text2", s.relaytext2, sizeof s.relaytext2, false, where);
    if (check.Text(*server, "boot_directory", "server.boot_directory", s.rootpath, sizeof s.rootpath, true, where)) {
        struct stat info {};
        if (*s.rootpath && (stat(s.rootpath, &info) != 0 || !S_ISDIR(info.st_mode)))
            check.Error(server->get("boot_directory")->source(), "server.boot_directory", "no such directory");
    }
    if (const toml::node *file = server->get("boot_file")) {
        CheckBootFileExists(check, *config, *file, "server.boot_file", s.bootfile);
        config->secureBoot.nBootFileLine = file->source().begin.line;
    }
    char mode[32] = "dynamic";
    if (check.Text(*server, "dhcp_mode", "server.dhcp_mode", mode, sizeof mode, false, where)) {
        if (strcmp(mode, "dynamic") == 0)
            s.dhcpmode = 0;
        else if (strcmp(mode, "static-only") == 0)
            s.dhcpmode = 1;
        else
            check.Error(server->get("dhcp_mode")->source(), "server.dhcp_mode", "must be \"dynamic\" or \"static-only\"");
    }
}

void ReadRanges(Checker &check, const toml::table &root, HostConfig *config) {
    const toml::array *ranges = root["range"].as_array();
    if (!ranges) return;
    if (ranges->size() > kMaxRanges) check.Error(ranges->source(), "range", "more than 10239 ranges");
    int index = 0;
    for (const toml::node &node : *ranges) {
        std::string key = "range[" + std::to_string(index++) + "]";
        const toml::table *table = node.as_table();
        if (!table) continue;
        TeskSubNetStruct r{};
        const auto &where = table->source();
        bool begin = check.Address(*table, "begin", key + ".begin", r.beginip, sizeof r.beginip, true, where);
        bool end = check.Address(*table, "end", key + ".end", r.endip, sizeof r.endip, true, where);
        check.Netmask(*table, key + ".netmask", r.netmask, sizeof r.netmask, where);
        check.Address(*table, "gateway", key + ".gateway", r.netgate, sizeof r.netgate, false, where);
        check.Address(*table, "dns1", key + ".dns1", r.dns1, sizeof r.dns1, false, where);
        check.Address(*table, "dns2", key + ".dns2", r.dns2, sizeof r.dns2, false, where);
        if (begin && end && AddressValue(r.beginip) > AddressValue(r.endip))
            check.Error(table->get("end")->source(), key + ".end", "below begin");
        bool relayed = false;
        if (const toml::node *flag = table->get("relayed")) {
            if (flag->is_boolean()) relayed = flag->as_boolean()->get();
            else check.Error(flag->source(), key + ".relayed", "must be true or false");
        }
        // Clients on the server's own link can use only addresses of its
        // subnet. The previous release, without `relayed`, served such
        // ranges through relays.
        uint32_t mask = AddressValue(config->server.NetMask), net = AddressValue(config->server.ServerIP) & mask;
        if (begin && end && !relayed && mask && Checker::IsContiguousMask(config->server.NetMask) &&
            ((AddressValue(r.beginip) & mask) != net || (AddressValue(r.endip) & mask) != net))
            check.Warning(table->get("begin")->source(), key,
                          std::string(r.beginip) + "-" + r.endip + " lies outside the server's subnet " +
                              config->server.ServerIP + "/" + config->server.NetMask +
                              " (relayed = true for a range served through a DHCP relay)" + kNextReleaseRefuses);
        char kind[16] = "boot";
        if (check.Text(*table, "class", key + ".class", kind, sizeof kind, false, where)) {
            if (strcmp(kind, "boot") == 0)
                r.nDhcpType = 1;
            else if (strcmp(kind, "other") == 0)
                r.nDhcpType = 2;
            else
                check.Error(table->get("class")->source(), key + ".class", "must be \"boot\" or \"other\"");
        }
        config->ranges.push_back(r);
        config->relayed.push_back(relayed);
    }
}

void ReadStatics(Checker &check, const toml::table &root, HostConfig *config) {
    const toml::array *statics = root["static"].as_array();
    if (!statics) return;
    int index = 0;
    for (const toml::node &node : *statics) {
        std::string key = "static[" + std::to_string(index++) + "]";
        const toml::table *table = node.as_table();
        if (!table) continue;
        TeskStaticDhcpStruct e{};
        const auto &where = table->source();
        if (check.Text(*table, "mac", key + ".mac", e.mac, sizeof e.mac, true, where) &&
            !Checker::TakeMac(e.mac, sizeof e.mac))
            check.Error(table->get("mac")->source(), key + ".mac", "not six hex pairs (like 52:54:00:12:34:56)");
        if (check.Address(*table, "ip", key + ".ip", e.ip, sizeof e.ip, true, where) &&
            AddressValue(e.ip) == AddressValue(config->server.ServerIP))
            check.Error(table->get("ip")->source(), key + ".ip", std::string(e.ip) + " is the server's own address");
        check.Netmask(*table, key + ".netmask", e.netmask, sizeof e.netmask, where);
        check.Address(*table, "gateway", key + ".gateway", e.netgate, sizeof e.netgate, false, where);
        check.Address(*table, "dns1", key + ".dns1", e.dns1, sizeof e.dns1, false, where);
        check.Address(*table, "dns2", key + ".dns2", e.dns2, sizeof e.dns2, false, where);
        config->statics.push_back(e);
    }
}

// The previous release had no key (and ignored one): without a usable key
// the farm runs as it did then, and says so at every start.
void ReadFarmKey(Checker &check, const toml::table &farm, HostConfig *config) {
    const toml::node *node = farm.get("key");
    if (!node) {
        check.Warning(farm.source(), "farm.key", std::string("missing, ") + kDatabaseLivenessOnly);
        return;
    }
    char key[256] = "";
    if (!check.Text(farm, "key", "farm.key", key, sizeof key, true, farm.source())) return;
    if (strcmp(key, kFarmKeyPlaceholder) == 0)
        check.Error(node->source(), "farm.key",
                    "the example's placeholder: a published key signs nothing; choose a secret of your own, the same "
                    "on every member");
    else if (strlen(key) < kMinFarmKey)
        check.Warning(node->source(), "farm.key",
                      std::string("at least 16 characters, the same on every member: it signs the heartbeats between "
                                  "them. This one is not used, ") +
                          kDatabaseLivenessOnly);
    else
        config->farmKey = key;
}

void ReadFarm(Checker &check, const toml::table &root, HostConfig *config) {
    const toml::table *farm = root["farm"].as_table();
    if (!farm) return;
    config->farm = true;
    char name[64] = "";
    if (check.Text(*farm, "name", "farm.name", name, sizeof name, true, farm->source())) config->farmName = name;
    if (const toml::node *weight = farm->get("weight")) {
        std::optional<double> value = weight->value<double>();
        if (!value || !(*value > 0) || *value > 1e6)
            check.Error(weight->source(), "farm.weight", "must be a number above 0 (1 by default)");
        else
            config->farmWeight = *value;
    }
    ReadFarmKey(check, *farm, config);
    config->nHeartbeatPort = WholeNumber(check, *farm, "heartbeat_port", "farm.heartbeat_port", kFarmHeartbeatPort, 1,
                                         65535);
    config->nPruneAfterHours = WholeNumber(check, *farm, "prune_after_hours", "farm.prune_after_hours",
                                           kDefaultPruneAfterHours, 1, 24 * 365);
}

// VALUE as an IPv6 address in its one form (RFC 5952) into FIELD; BYTES get its value.
bool Ipv6Value(Checker &check, const toml::source_region &where, const std::string &key, const std::string &value,
               char *field, size_t size, unsigned char bytes[16]) {
    std::string canonical;
    if (!CanonicalAddress6(value, &canonical) || !ParseAddress6(canonical, bytes) || canonical.size() >= size) {
        check.Error(where, key, "not an IPv6 address (like 2001:db8::1)");
        *field = '\0';
        return false;
    }
    snprintf(field, size, "%s", canonical.c_str());
    return true;
}

// An IPv6 address key; an absent optional one leaves FIELD empty (true).
bool Address6(Checker &check, const toml::table &table, const char *name, const std::string &key, char *field,
              size_t size, bool required, unsigned char bytes[16]) {
    if (!check.Text(table, name, key, field, size, required, table.source())) return false;
    if (!*field) return !required;
    return Ipv6Value(check, table.get(name)->source(), key, field, field, size, bytes);
}

// "ADDRESS/LENGTH" split; LENGTH stays as it was when the text has none.
bool SplitPrefix(char *text, int *nLength) {
    char *slash = strchr(text, '/');
    if (!slash) return true;
    char *end = nullptr;
    long length = strtol(slash + 1, &end, 10);
    *slash = '\0';
    if (end == slash + 1 || *end || length < 1 || length > kIpv6Bits) return false;
    *nLength = static_cast<int>(length);
    return true;
}

// The prefixes ranges must lie in: the server address's, and the advertised one.
struct Prefix6 {
    unsigned char bytes[16];
    int nLength;
    std::string text;
};

void ReadIpv6Server(Checker &check, const toml::table &ipv6, HostConfig *config, std::vector<Prefix6> *prefixes) {
    TeskPxeServerV6Struct &s = config->server6;
    const auto &where = ipv6.source();
    if (const toml::node *address = ipv6.get("address")) config->nAddress6Line = address->source().begin.line;
    char text[80] = "";
    Prefix6 own{};
    own.nLength = config->nPrefixLength6;
    if (check.Text(ipv6, "address", "ipv6.address", text, sizeof text, true, where) &&
        !SplitPrefix(text, &own.nLength))
        check.Error(ipv6.get("address")->source(), "ipv6.address", "prefix length must be 1 to 128 (like /64)");
    else if (*text) {
        if (Ipv6Value(check, ipv6.get("address")->source(), "ipv6.address", text, s.ServerIP, sizeof s.ServerIP,
                      own.bytes)) {
            config->nPrefixLength6 = own.nLength;
            own.text = std::string(s.ServerIP) + "/" + std::to_string(own.nLength);
            prefixes->push_back(own);
        }
    }
    check.Text(ipv6, "interface", "ipv6.interface", s.ifname, sizeof s.ifname, false, where);
    if (!prefixes->empty() && IsLinkLocal6(own.bytes) && !*s.ifname)
        check.Error(ipv6.get("address")->source(), "ipv6.address",
                    std::string(s.ServerIP) + " is link-local: name its link with ipv6.interface");
    check.Text(ipv6, "boot_file", "ipv6.boot_file", s.bootfile, sizeof s.bootfile, false, where);
    if (const toml::node *file = ipv6.get("boot_file"))
        CheckBootFileExists(check, *config, *file, "ipv6.boot_file", s.bootfile);
    char mode[32] = "dynamic";
    if (check.Text(ipv6, "dhcp_mode", "ipv6.dhcp_mode", mode, sizeof mode, false, where) &&
        strcmp(mode, "dynamic") != 0) {
        if (strcmp(mode, "static-only") == 0) s.dhcpmode = 1;
        else check.Error(ipv6.get("dhcp_mode")->source(), "ipv6.dhcp_mode", "must be \"dynamic\" or \"static-only\"");
    }
    if (const toml::node *flag = ipv6.get("router_advertisement")) {
        if (flag->is_boolean()) s.routeradvert = flag->as_boolean()->get() ? 1 : 0;
        else check.Error(flag->source(), "ipv6.router_advertisement", "must be true or false");
    }
    Prefix6 ra{};
    ra.nLength = 0;
    if (check.Text(ipv6, "prefix", "ipv6.prefix", s.raprefix, sizeof s.raprefix, false, where) && *s.raprefix) {
        std::string canonical;
        if (!SplitPrefix(s.raprefix, &ra.nLength) || ra.nLength == 0 || !CanonicalAddress6(s.raprefix, &canonical) ||
            !ParseAddress6(canonical, ra.bytes)) {
            check.Error(ipv6.get("prefix")->source(), "ipv6.prefix", "not an IPv6 prefix (like 2001:db8::/64)");
            *s.raprefix = '\0';
        } else {
            ra.text = canonical + "/" + std::to_string(ra.nLength);
            snprintf(s.raprefix, sizeof s.raprefix, "%s", ra.text.c_str());
            prefixes->push_back(ra);
        }
    }
    if (s.routeradvert && !*s.raprefix)
        check.Error(ipv6.get("router_advertisement")->source(), "ipv6.router_advertisement",
                    "needs ipv6.prefix, the prefix to advertise");
}

// dns = ["2001:db8::53", ...]: at most two, given to every range.
void ReadIpv6Dns(Checker &check, const toml::table &ipv6, char (*dns)[64]) {
    const toml::node *node = ipv6.get("dns");
    if (!node) return;
    const toml::array *list = node->as_array();
    if (!list || list->size() > 2) {
        check.Error(node->source(), "ipv6.dns", "must be a list of one or two IPv6 addresses");
        return;
    }
    for (size_t i = 0; i < list->size(); ++i) {
        const toml::node &item = *list->get(i);
        unsigned char bytes[16];
        std::string key = "ipv6.dns[" + std::to_string(i) + "]";
        if (!item.is_string()) check.Error(item.source(), key, "not an IPv6 address (like 2001:db8::1)");
        else Ipv6Value(check, item.source(), key, item.as_string()->get(), dns[i], 64, bytes);
    }
}

// The first prefix of PREFIXES that BYTES lies outside of, or null.
const Prefix6 *OutsidePrefix(const std::vector<Prefix6> &prefixes, const unsigned char bytes[16]) {
    for (const Prefix6 &prefix : prefixes)
        if (!SamePrefix6(bytes, prefix.bytes, prefix.nLength)) return &prefix;
    return nullptr;
}

void ReadIpv6Ranges(Checker &check, const toml::table &ipv6, HostConfig *config, const std::vector<Prefix6> &prefixes,
                    char (*dns)[64]) {
    const toml::array *ranges = ipv6["range"].as_array();
    int index = 0;
    for (const toml::node &node : ListOrNone(ranges)) {
        std::string key = "ipv6.range[" + std::to_string(index++) + "]";
        const toml::table *table = node.as_table();
        if (!table) continue;
        TeskSubNetV6Struct r{};
        unsigned char begin[16], end[16];
        bool ok = Address6(check, *table, "begin", key + ".begin", r.beginip, sizeof r.beginip, true, begin);
        ok = Address6(check, *table, "end", key + ".end", r.endip, sizeof r.endip, true, end) && ok;
        if (ok && memcmp(begin, end, sizeof begin) > 0)
            check.Error(table->get("end")->source(), key + ".end", "below begin");
        const Prefix6 *outside = nullptr;
        if (ok && ((outside = OutsidePrefix(prefixes, begin)) || (outside = OutsidePrefix(prefixes, end))))
            check.Error(table->get("begin")->source(), key,
                        std::string(r.beginip) + "-" + r.endip + " lies outside " + outside->text +
                            (outside == &prefixes.front() && config->server6.ServerIP[0] ? ", the server's prefix"
                                                                                         : ", the advertised prefix"));
        snprintf(r.dns1, sizeof r.dns1, "%s", dns[0]);
        snprintf(r.dns2, sizeof r.dns2, "%s", dns[1]);
        r.nDhcpType = 1;
        char kind[16] = "boot";
        if (check.Text(*table, "class", key + ".class", kind, sizeof kind, false, table->source())) {
            if (strcmp(kind, "other") == 0) r.nDhcpType = 2;
            else if (strcmp(kind, "any") == 0) r.nDhcpType = 0;
            else if (strcmp(kind, "boot") != 0)
                check.Error(table->get("class")->source(), key + ".class", "must be \"boot\", \"other\" or \"any\"");
        }
        config->ranges6.push_back(r);
    }
}

// A DUID in hex, colons optional, rewritten lowercase without colons.
bool TakeDuid(char *text, size_t size) {
    std::string hex;
    for (const char *c = text; *c; ++c)
        if (*c != ':') hex += static_cast<char>(tolower(static_cast<unsigned char>(*c)));
    bool ok = hex.size() >= 4 && hex.size() % 2 == 0 && hex.size() / 2 <= kMaxDuidBytes && hex.size() < size &&
              hex.find_first_not_of("0123456789abcdef") == std::string::npos;
    if (ok) snprintf(text, size, "%s", hex.c_str());
    return ok;
}

void ReadIpv6Statics(Checker &check, const toml::table &ipv6, HostConfig *config) {
    const toml::array *statics = ipv6["static"].as_array();
    int index = 0;
    unsigned char own[16] = {};
    ParseAddress6(config->server6.ServerIP, own);
    for (const toml::node &node : ListOrNone(statics)) {
        std::string key = "ipv6.static[" + std::to_string(index++) + "]";
        const toml::table *table = node.as_table();
        if (!table) continue;
        TeskStaticDhcpV6Struct e{};
        const auto &where = table->source();
        if (check.Text(*table, "duid", key + ".duid", e.duid, sizeof e.duid, false, where) && *e.duid &&
            !TakeDuid(e.duid, sizeof e.duid))
            check.Error(table->get("duid")->source(), key + ".duid", "not a DUID: 2 to 130 bytes in hex (like 00:04:…)");
        if (check.Text(*table, "mac", key + ".mac", e.mac, sizeof e.mac, false, where) && *e.mac &&
            !Checker::TakeMac(e.mac, sizeof e.mac))
            check.Error(table->get("mac")->source(), key + ".mac", "not six hex pairs (like 52:54:00:12:34:56)");
        if (!table->get("duid") && !table->get("mac")) check.Error(where, key, "needs duid or mac");
        unsigned char bytes[16];
        if (Address6(check, *table, "ip", key + ".ip", e.ip, sizeof e.ip, true, bytes) &&
            memcmp(bytes, own, sizeof own) == 0)
            check.Error(table->get("ip")->source(), key + ".ip", std::string(e.ip) + " is the server's own address");
        config->statics6.push_back(e);
    }
}

// [ipv6]: the server's IPv6 address, its ranges and static entries.
void ReadIpv6(Checker &check, const toml::table &root, HostConfig *config) {
    const toml::table *ipv6 = root["ipv6"].as_table();
    if (!ipv6) return;
    config->ipv6 = true;
    std::vector<Prefix6> prefixes;
    ReadIpv6Server(check, *ipv6, config, &prefixes);
    char dns[2][64] = {};
    ReadIpv6Dns(check, *ipv6, dns);
    ReadIpv6Ranges(check, *ipv6, config, prefixes, dns);
    ReadIpv6Statics(check, *ipv6, config);
}

// "${http}" in a boot file needs [http] (and, for IPv6 clients, a global
// [ipv6] address), and the file it becomes must still fit.
void CheckHttpBase(Checker &check, const toml::node &node, const std::string &key, const std::string &file,
                   const HostConfig &config) {
    if (file.find(kHttpBaseWord) == std::string::npos) return;
    if (config.httpBase.empty()) return check.Error(node.source(), key, "${http} needs [http] listen");
    for (const std::string &base : {config.httpBase, config.httpBase6})
        if (ExpandHttpBase(file, base).size() >= kBootFileNameSize)
            return check.Error(node.source(), key,
                               "longer than " + std::to_string(kBootFileNameSize - 1) + " characters with ${http} as " +
                                   base);
}

void CheckHttpBases(Checker &check, const toml::table &root, HostConfig *config) {
    unsigned char bytes[16];
    if (!config->httpAddress.empty()) {
        config->httpBase = HttpBase(config->httpAddress, config->nHttpPort);
        if (config->ipv6 && ParseAddress6(config->server6.ServerIP, bytes) && !IsLinkLocal6(bytes))
            config->httpBase6 = HttpBase(config->server6.ServerIP, config->nHttpPort);
    }
    const toml::array *rules = root["boot"].as_array();
    for (size_t i = 0; rules && i < rules->size() && i < config->bootRules.size(); ++i)
        if (const toml::table *table = rules->get(i)->as_table(); table && table->get("file"))
            CheckHttpBase(check, *table->get("file"), "boot[" + std::to_string(i) + "].file",
                          config->bootRules[i].file, *config);
    if (!config->ipv6) return;
    const toml::node *file = root["ipv6"]["boot_file"].node();
    std::string text = config->server6.bootfile;
    if (!file || text.find(kHttpBaseWord) == std::string::npos) return;
    if (config->httpBase6.empty())
        return check.Error(file->source(), "ipv6.boot_file", "${http} needs [http] listen and a global ipv6.address");
    std::string url = ExpandHttpBase(text, config->httpBase6);
    if (url.size() >= sizeof config->server6.bootfile)
        return check.Error(file->source(), "ipv6.boot_file", "longer than 127 characters as " + url);
    snprintf(config->server6.bootfile, sizeof config->server6.bootfile, "%s", url.c_str());
}

}  // namespace

bool IsPostgresDatabase(const std::string &database) {
    return database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0;
}

namespace {

// [policy] database (a SQLite file, or a PostgreSQL URI a farm needs).
void ReadPolicy(Checker &check, const toml::table &root, HostConfig *config) {
    config->database = "tavrel.db";
    config->nReportRetentionDays = kDefaultReportRetentionDays;
    const toml::table *policy = root["policy"].as_table();
    if (policy) {
        char database[1024] = "";
        if (check.Text(*policy, "database", "policy.database", database, sizeof database, false, policy->source()) &&
            *database)
            config->database = database;
        config->nReportRetentionDays = WholeNumber(check, *policy, "report_retention_days",
                                                   "policy.report_retention_days", kDefaultReportRetentionDays, 1,
                                                   36500);
    }
    if (config->farm && !IsPostgresDatabase(config->database)) {
        const toml::node *where = policy && policy->get("database") ? policy->get("database") : root["farm"].node();
        check.Error(where->source(), "policy.database",
                    "a [farm] shares one PostgreSQL database: a postgresql:// URI, not \"" +
                        MaskedUri(config->database) + "\"");
    }
}

// [[boot]] fallback: what a UEFI client gets instead of a revoked loader.
void ReadFallback(Checker &check, const toml::table &table, const std::string &key, const HostConfig &config,
                  BootRule *rule) {
    char text[kBootFileNameSize] = "";
    if (!check.Text(table, "fallback", key + ".fallback", text, sizeof text, false, table.source()) || !*text) return;
    const toml::node &node = *table.get("fallback");
    if (const char *lpWhy = IsBootUrl(text) ? nullptr : RefuseBootFileName(text))
        check.Error(node.source(), key + ".fallback", std::string("refused: ") + lpWhy);
    CheckBootFileExists(check, config, node, key + ".fallback", text);
    rule->fallback = text;
    rule->nFallbackLine = node.source().begin.line;
}

// [secure_boot]: the SBAT revocation table and level, and what a revoked
// or unsigned loader brings.
void ReadSecureBoot(Checker &check, const toml::table &root, HostConfig *config) {
    SecureBootOptions &options = config->secureBoot;
    const toml::table *table = root["secure_boot"].as_table();
    toml::source_region where = table ? table->source() : root.source();
    if (table) {
        char text[1024] = "";
        if (check.Text(*table, "revocations", "secure_boot.revocations", text, sizeof text, false, where))
            options.revocations = text;
        *text = '\0';
        if (check.Text(*table, "level", "secure_boot.level", text, sizeof text, false, where) && *text)
            options.which = text;
        for (auto [name, flag] : {std::pair{"refuse_revoked", &options.bRefuseRevoked},
                                  std::pair{"warn_unsigned", &options.bWarnUnsigned}}) {
            const toml::node *node = table->get(name);
            if (node && node->is_boolean()) *flag = node->as_boolean()->get();
            else if (node) check.Error(node->source(), std::string("secure_boot.") + name, "must be true or false");
        }
        if (const toml::node *node = table->get("revocations")) where = node->source();
    }
    std::string error;
    if (!LoadSbatLevel(&options, &error)) check.Error(where, "secure_boot.revocations", error);
}

// [[boot]]: conditions arch, user_class, vendor_class (prefix), mac (prefix)
// and the file they give.
void ReadBootRules(Checker &check, const toml::table &root, HostConfig *config) {
    const toml::array *rules = root["boot"].as_array();
    if (!rules) return;
    int index = 0;
    for (const toml::node &node : *rules) {
        std::string key = "boot[" + std::to_string(index++) + "]";
        const toml::table *table = node.as_table();
        if (!table) continue;
        const auto &where = table->source();
        BootRule rule;
        rule.name = key + " (line " + std::to_string(where.begin.line) + ")";
        char text[kBootFileNameSize] = "";
        // The Pi's bootloader takes no boot file: its rule may name none.
        const toml::node *lpArch = table->get("arch");
        bool bPi = lpArch && lpArch->is_string() && lpArch->as_string()->get() == "rpi";
        if (check.Text(*table, "profile", key + ".profile", text, sizeof text, false, where)) rule.profile = text;
        *text = '\0';
        if (check.Text(*table, "file", key + ".file", text, sizeof text, !bPi && rule.profile.empty(), where) && *text) {
            rule.file = text;
            const char *lpWhy = IsBootUrl(text) ? nullptr : RefuseBootFileName(text);
            if (lpWhy) check.Error(table->get("file")->source(), key + ".file", std::string("refused: ") + lpWhy);
            CheckBootFileExists(check, *config, *table->get("file"), key + ".file", text);
            rule.nFileLine = table->get("file")->source().begin.line;
        }
        ReadFallback(check, *table, key, *config, &rule);
        if (const toml::node *arch = table->get("arch")) {
            if (arch->is_integer() && arch->as_integer()->get() >= 0 && arch->as_integer()->get() <= 0xffff)
                rule.arches = {static_cast<int>(arch->as_integer()->get())};
            else if (arch->is_string())
                rule.arches = ArchitectureCodes(arch->as_string()->get());
            if (rule.arches.empty())
                check.Error(arch->source(), key + ".arch",
                            "must be 0 to 65535 or one of bios, efi-ia32, efi-x64, efi-arm32, efi-arm64, "
                            "efi-ia32-http, efi-x64-http, efi-arm64-http, rpi");
        }
        if (bPi) CheckPiFiles(check, *config, *lpArch, key);
        char value[256] = "";
        if (check.Text(*table, "user_class", key + ".user_class", value, sizeof value, false, where))
            rule.userClass = value;
        *value = '\0';
        if (check.Text(*table, "vendor_class", key + ".vendor_class", value, sizeof value, false, where))
            rule.vendorPrefix = value;
        *value = '\0';
        if (check.Text(*table, "mac", key + ".mac", value, sizeof value, false, where) && *value &&
            !ParseMacPrefix(value, &rule.macPrefix))
            check.Error(table->get("mac")->source(), key + ".mac", "not one to six hex pairs (like 52:54:00)");
        config->bootRules.push_back(rule);
    }
}

// ADDRESS:PORT of a listen key into its parts (the address in its one
// form); false after an error, which names EXAMPLE.
bool ListenParts(Checker &check, const toml::table &table, const char *lpKey, const char *lpExample,
                 std::string *address, int *nPort) {
    char listen[64] = "";
    if (!check.Text(table, "listen", lpKey, listen, sizeof listen, true, table.source())) return false;
    char *colon = strrchr(listen, ':');
    char *end = nullptr;
    long port = colon ? strtol(colon + 1, &end, 10) : 0;
    if (colon) *colon = '\0';
    if (!colon || !CanonicalAddress(listen, address) || *end || port < 1 || port > 65535) {
        check.Error(table.get("listen")->source(), lpKey, std::string("not ADDRESS:PORT (like ") + lpExample + ")");
        address->clear();
        return false;
    }
    *nPort = static_cast<int>(port);
    return true;
}

// [http] listen = "ADDRESS:PORT": the boot folder served over HTTP.
void ReadHttp(Checker &check, const toml::table &root, HostConfig *config) {
    const toml::table *http = root["http"].as_table();
    if (!http) return;
    ListenParts(check, *http, "http.listen", "192.0.2.1:80", &config->httpAddress, &config->nHttpPort);
}

// [metrics] listen = "ADDRESS:PORT": /metrics and the status page;
// retention_days: how long boot records stay in the store.
void ReadMetrics(Checker &check, const toml::table &root, HostConfig *config) {
    const toml::table *metrics = root["metrics"].as_table();
    if (!metrics) return;
    ListenParts(check, *metrics, "metrics.listen", "192.0.2.1:9100", &config->metricsAddress, &config->nMetricsPort);
    if (const toml::node *days = metrics->get("retention_days")) {
        std::optional<double> value = days->value<double>();
        if (!value || *value <= 0)
            check.Error(days->source(), "metrics.retention_days", "must be a number above 0 (30 by default)");
        else
            config->machineRetentionSeconds = *value * 86400;
    }
}


// The folder FILE (the configuration) is in: templates are named from there.
std::string FolderOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// A template file, read now: the service renders from memory, and `check`
// sees the variables it needs.
bool ReadTemplate(const std::string &path, std::string *text, std::string *problem) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return *problem = std::string("cannot be read: ") + strerror(errno), false;
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (text->size() > kMaxRenderBytes)
        return *problem = "larger than " + std::to_string(kMaxRenderBytes) + " bytes", false;
    return true;
}

// A table of strings (vars, files); false after an error.
bool StringTable(Checker &check, const toml::node &node, const std::string &key,
                 std::map<std::string, std::string> *out) {
    const toml::table *table = node.as_table();
    if (!table) return check.Error(node.source(), key, "must be a table of strings (like { a = \"b\" })"), false;
    for (const auto &entry : *table) {
        const toml::node &value = entry.second;
        if (!value.is_string()) {
            check.Error(value.source(), key + "." + std::string(entry.first.str()), "must be a string");
            return false;
        }
        (*out)[std::string(entry.first.str())] = value.as_string()->get();
    }
    return true;
}

void CheckTemplateVars(Checker &check, const toml::node &where, const std::string &key, const Profile &profile,
                       const std::string &text) {
    std::set<std::string> needs;
    std::string problem;
    if (!TemplateNeeds(text, &needs, &problem)) return check.Error(where.source(), key, problem);
    for (const std::string &name : needs) {
        bool known = profile.vars.count(name) > 0;
        for (const char *builtIn : kMachineVars) known = known || name == builtIn;
        if (!known)
            check.Error(where.source(), key,
                        "{{" + name + "}} has no value: neither a machine variable (name, mac, uuid, address, arch, "
                        "server, profile) nor one of this profile's vars (give it one, or write {{" + name +
                            "|default}})");
    }
}

void ReadProfileFiles(Checker &check, const toml::node &node, const std::string &key, const std::string &folder,
                      Profile *profile) {
    if (!StringTable(check, node, key, &profile->files)) return;
    for (const auto &[name, file] : profile->files) {
        const toml::node &where = *node.as_table()->get(name);
        std::string entry = key + "." + name;
        if (const char *lpWhy = RefuseBootFileName(name.c_str()))
            check.Error(where.source(), entry, std::string("refused as a file name: ") + lpWhy);
        std::string path = !file.empty() && file[0] == '/' ? file : folder + "/" + file, text, problem;
        if (!ReadTemplate(path, &text, &problem)) {
            check.Error(where.source(), entry, path + ": " + problem);
            continue;
        }
        CheckTemplateVars(check, where, entry + " (" + file + ")", *profile, text);
        profile->templates[name] = text;
    }
}

// [profiles.NAME]: bios, uefi-x64, uefi-arm64, http and ipxe give the chain
// per family; vars, files and fallback the rest.
void ReadProfiles(Checker &check, const toml::table &root, const std::string &path, HostConfig *config) {
    const toml::table *profiles = root["profiles"].as_table();
    if (!profiles) return;
    for (const auto &entry : *profiles) {
        std::string name(entry.first.str()), key = "profiles." + name;
        const toml::table *table = entry.second.as_table();
        if (!table) {
            check.Error(entry.second.source(), key, "must be a section [profiles." + name + "]");
            continue;
        }
        Profile profile;
        profile.name = name;
        profile.nLine = static_cast<int>(table->source().begin.line);
        for (const auto &item : *table) {
            std::string field(item.first.str()), itemKey = key + "." + field;
            const toml::node &value = item.second;
            bool family = false;
            for (const char *known : kProfileFamilies) family = family || field == known;
            if (family || field == "fallback") {
                if (!value.is_string() || value.as_string()->get().empty() ||
                    value.as_string()->get().size() >= kBootFileNameSize) {
                    check.Error(value.source(), itemKey, "must be a string of 1 to 127 characters");
                    continue;
                }
                const std::string &text = value.as_string()->get();
                if (field == "fallback") {
                    profile.fallback = text;
                    continue;
                }
                if (const char *lpWhy = IsBootUrl(text) ? nullptr : RefuseBootFileName(text.c_str()))
                    check.Error(value.source(), itemKey, std::string("refused: ") + lpWhy);
                CheckBootFileExists(check, *config, value, itemKey, text.c_str());
                CheckHttpBase(check, value, itemKey, text, *config);
                profile.chain[field] = text;
                profile.chainLines[field] = static_cast<int>(value.source().begin.line);
            } else if (field == "vars") {
                StringTable(check, value, itemKey, &profile.vars);
            } else if (field != "files") {
                check.Error(value.source(), itemKey,
                            "unknown key (a profile has bios, uefi-x64, uefi-arm64, http, ipxe, vars, files, fallback)");
            }
        }
        if (const toml::node *files = table->get("files"))  // after vars: its templates are checked against them
            ReadProfileFiles(check, *files, key + ".files", FolderOf(path), &profile);
        config->profiles.push_back(std::move(profile));
    }
    for (const auto &entry : *profiles) {
        const Profile *profile = FindProfile(config->profiles, std::string(entry.first.str()));
        if (!profile || profile->fallback.empty() || FindProfile(config->profiles, profile->fallback)) continue;
        check.Error(entry.second.as_table()->get("fallback")->source(), "profiles." + profile->name + ".fallback",
                    "no profile \"" + profile->fallback + "\" ([profiles." + profile->fallback + "])");
    }
    for (const BootRule &rule : config->bootRules)
        if (!rule.profile.empty() && !FindProfile(config->profiles, rule.profile))
            check.Error(root.source(), rule.name.substr(0, rule.name.find(' ')) + ".profile",
                        "no profile \"" + rule.profile + "\" ([profiles." + rule.profile + "]), in " + rule.name);
}

// An iPXE client that the rules (or boot_file, or a profile without an
// "ipxe" entry) hand an iPXE binary loads it again, and again: one warning
// per place that would, tried with iPXE as each architecture asks.
void CheckIpxeChainLoops(const std::string &path, const HostConfig &config, std::vector<std::string> *warnings) {
    const struct { int arch; const char *lpName; } kAsked[] = {{0, "bios"}, {7, "efi-x64"}, {11, "efi-arm64"}};
    std::set<std::string> warned;
    auto warn = [&](const std::string &key, int nLine, const std::string &file, const char *lpArch, const char *lpFix) {
        if (!IsIpxeBinaryName(file.c_str()) || !warned.insert(key).second) return;
        warnings->push_back(path + ":" + std::to_string(nLine) + ": " + key + ": " + file + ": an iPXE client (" +
                            lpArch + ") would be given iPXE again and load it in a loop: " + lpFix);
    };
    for (const auto &asked : kAsked) {
        SelectBootFileRecord client{};
        client.arch = asked.arch;
        client.flags = TAVREL_BOOT_CLIENT_IPXE;
        snprintf(client.userclass, sizeof client.userclass, "iPXE");
        snprintf(client.vendorclass, sizeof client.vendorclass, "PXEClient:Arch:%05d:UNDI:003010", asked.arch);
        const BootRule *rule = MatchBootRule(config.bootRules, client);
        const char *lpRuleFix = "put a rule with user_class = \"iPXE\" (its script) before it";
        if (!rule) {
            warn("server.boot_file", config.secureBoot.nBootFileLine, config.server.bootfile, asked.lpName, lpRuleFix);
        } else if (!rule->file.empty()) {
            warn(rule->name.substr(0, rule->name.find(' ')) + ".file", rule->nFileLine, rule->file, asked.lpName,
                 lpRuleFix);
        }
    }
    for (const Profile &profile : config.profiles) {
        if (profile.chain.count("ipxe")) continue;
        for (const auto &asked : kAsked) {
            SelectBootFileRecord client{};
            client.arch = asked.arch;
            std::string family = ClientFamily(client);
            if (!profile.chain.count(family)) continue;
            warn("profiles." + profile.name + "." + family, profile.chainLines.count(family) ? profile.chainLines.at(family) : profile.nLine,
                 profile.chain.at(family), asked.lpName, "give the profile an ipxe entry (its script)");
        }
    }
}

// [identity]: what an unknown machine gets, and UUIDs not to believe.
void ReadIdentity(Checker &check, const toml::table &root, HostConfig *config) {
    IdentityOptions &identity = config->identity;
    const toml::table *table = root["identity"].as_table();
    if (!table) return;
    char text[256] = "";
    if (check.Text(*table, "mode", "identity.mode", text, sizeof text, false, table->source()) && *text) {
        if (strcmp(text, "log") == 0) identity.mode = UnknownMode::kLog;
        else if (strcmp(text, "enforce") == 0) identity.mode = UnknownMode::kEnforce;
        else check.Error(table->get("mode")->source(), "identity.mode", "must be \"log\" or \"enforce\"");
    }
    *text = '\0';
    if (check.Text(*table, "discovery", "identity.discovery", text, sizeof text, false, table->source()) && *text) {
        identity.discovery = text;
        if (!FindProfile(config->profiles, identity.discovery))
            check.Error(table->get("discovery")->source(), "identity.discovery",
                        "no profile \"" + identity.discovery + "\" ([profiles." + identity.discovery + "])");
    }
    if (const toml::node *deny = table->get("deny_uuids")) {
        const toml::array *list = deny->as_array();
        if (!list) check.Error(deny->source(), "identity.deny_uuids", "must be a list of UUIDs");
        int index = 0;
        for (const toml::node &item : ListOrNone(list)) {
            std::string canonical, key = "identity.deny_uuids[" + std::to_string(index++) + "]";
            if (item.is_string() && CanonicalUuid(item.as_string()->get(), &canonical))
                identity.denyUuids.push_back(canonical);
            else
                check.Error(item.source(), key, "not a UUID (like 4c4c4544-0042-3510-8058-b4c04f384d32)");
        }
    }
    identity.nMaxUnknown = static_cast<size_t>(
        WholeNumber(check, *table, "max_unknown", "identity.max_unknown", 4096, 16, 1000000));
}

// [api] token or token_file: the bearer token of /api/v1/; none, no API.
void ReadApi(Checker &check, const toml::table &root, const std::string &path, HostConfig *config) {
    const toml::table *table = root["api"].as_table();
    if (!table) return;
    constexpr size_t kMinToken = 16;
    char text[1024] = "";
    std::string token;
    const toml::node *where = table->get("token");
    if (check.Text(*table, "token", "api.token", text, sizeof text, false, table->source()) && *text) token = text;
    *text = '\0';
    if (check.Text(*table, "token_file", "api.token_file", text, sizeof text, false, table->source()) && *text) {
        where = table->get("token_file");
        std::string file = text[0] == '/' ? text : FolderOf(path) + "/" + text;
        std::ifstream in(file);
        if (!in || !std::getline(in, token))
            return check.Error(where->source(), "api.token_file", file + ": cannot be read");
        while (!token.empty() && isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
    }
    if (!where) return;
    if (token.size() < kMinToken)
        return check.Error(where->source(), where == table->get("token") ? "api.token" : "api.token_file",
                           "a token of at least 16 characters");
    config->apiToken = token;
}
}  // namespace

namespace {

std::string Trimmed(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t"), end = text.find_last_not_of(" \t\r");
    return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

// The key a syntax error stands at, as the checks name keys ("range[1].end"),
// from the file's lines up to LINE: the parser itself names none.
std::string SyntaxErrorKey(const std::string &path, long line) {
    std::ifstream in(path);
    std::string text, section, key;
    std::vector<std::pair<std::string, int>> arrays;  // [[name]] seen so far, and how often
    for (long number = 1; number <= line && std::getline(in, text); ++number) {
        std::string item = Trimmed(text.substr(0, text.find('#')));
        if (item.empty()) continue;
        if (item[0] == '[') {
            bool array = item.rfind("[[", 0) == 0;
            std::string name = Trimmed(item.substr(array ? 2 : 1, item.find(']') - (array ? 2 : 1)));
            section = name;
            if (array) {
                auto seen = std::find_if(arrays.begin(), arrays.end(), [&](const auto &a) { return a.first == name; });
                if (seen == arrays.end()) seen = arrays.insert(arrays.end(), {name, 0});
                section = name + "[" + std::to_string(seen->second++) + "]";
            }
            key = section;
            continue;
        }
        size_t equals = item.find('=');
        std::string name = Trimmed(item.substr(0, equals));
        key = equals == std::string::npos || name.empty() ? section : section.empty() ? name : section + "." + name;
    }
    return key.empty() ? "(top level)" : key;
}

// Only a regular file that can be read: toml++ would say "line 0".
bool CheckReadable(const std::string &path, std::vector<std::string> *errors) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        errors->push_back(path + ": is a directory, not a configuration file");
        return false;
    }
    if (FILE *file = fopen(path.c_str(), "r")) {
        fclose(file);
        return true;
    }
    errors->push_back(path + ": cannot be read: " + strerror(errno));
    return false;
}

// In the file's order, whichever check found them.
void SortByLine(const std::string &path, std::vector<std::string> *lines, size_t from) {
    auto line = [&](const std::string &text) { return strtol(text.c_str() + path.size() + 1, nullptr, 10); };
    std::stable_sort(lines->begin() + static_cast<long>(from), lines->end(),
                     [&](const std::string &a, const std::string &b) { return line(a) < line(b); });
}

}  // namespace

bool LoadHostConfig(const std::string &path, HostConfig *config, std::vector<std::string> *errors,
                    std::vector<std::string> *warnings) {
    *config = HostConfig{};
    if (!CheckReadable(path, errors)) return false;
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error &error) {
        long line = error.source().begin.line;
        if (line == 0)
            errors->push_back(path + ": cannot be read: " + std::string(error.description()));
        else
            errors->push_back(path + ":" + std::to_string(line) + ": " + SyntaxErrorKey(path, line) + ": " +
                              std::string(error.description()));
        return false;
    }
    std::vector<std::string> ignored;
    if (!warnings) warnings = &ignored;
    Checker check(path, errors, warnings);
    size_t before = errors->size(), warningsBefore = warnings->size();
    CheckKnownKeys(check, root);
    ReadServer(check, root, config);
    ReadRanges(check, root, config);
    ReadStatics(check, root, config);
    ReadFarm(check, root, config);
    ReadBootRules(check, root, config);
    ReadHttp(check, root, config);
    ReadMetrics(check, root, config);
    ReadIpv6(check, root, config);
    CheckHttpBases(check, root, config);
    ReadPolicy(check, root, config);
    ReadSecureBoot(check, root, config);
    ReadProfiles(check, root, path, config);
    ReadIdentity(check, root, config);
    ReadApi(check, root, path, config);
    if (errors->size() == before) CheckSecureBootChains(path, config, warnings);
    if (errors->size() == before) CheckIpxeChainLoops(path, *config, warnings);
    SortByLine(path, errors, before);
    SortByLine(path, warnings, warningsBefore);
    return errors->size() == before;
}

std::string CheckSummary(const HostConfig &config, size_t nWarnings) {
    auto count = [](size_t n, const char *one, const char *many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    // A loader that Secure Boot machines refuse is no "ok": they fail at the console.
    const SecureBootOptions &secure = config.secureBoot;
    std::string verdict = secure.nLoaderWarnings
                              ? "not ok for Secure Boot: " + count(secure.nLoaderWarnings, "loader", "loaders") +
                                    " with a warning"
                              : "ok";
    // Nor is a Pi file the bootloader gives up on.
    if (config.nPiFilesTooLarge && !secure.nLoaderWarnings)
        verdict = "not ok for Raspberry Pi: " + count(config.nPiFilesTooLarge, "file", "files") +
                  " too large for its TFTP_FILE_TIMEOUT";
    std::string line = verdict + " (" + count(config.ranges.size(), "range", "ranges") + ", " +
                       count(config.statics.size(), "static entry", "static entries") + ", " +
                       count(config.bootRules.size(), "boot rule", "boot rules") + ", " +
                       count(nWarnings, "warning", "warnings");
    // The other members' ranges are in the database, which `check` leaves alone.
    if (config.ipv6)
        line += "; IPv6 on " + std::string(config.server6.ServerIP) + ": " +
                count(config.ranges6.size(), "range", "ranges") + ", " +
                count(config.statics6.size(), "static entry", "static entries");
    if (!config.profiles.empty()) {
        size_t files = 0;
        for (const Profile &profile : config.profiles) files += profile.templates.size();
        line += "; " + count(config.profiles.size(), "profile", "profiles") + ", " +
                count(files, "per-machine file", "per-machine files") + ", unknown machines " +
                (config.identity.mode == UnknownMode::kEnforce ? "not answered" : "answered");
    }
    if (config.farm) line += "; overlaps with the other members' ranges: checked by run, with the database";
    if (secure.nLoadersChecked)
        line += "; " + count(secure.nLoadersChecked, "EFI loader", "EFI loaders") + " checked against SBAT level " +
                secure.level.date + " (" + secure.which + ", from " + secure.source + ")";
    return line + ")";
}

bool CheckHostHasAddress(const HostConfig &config, const std::string &path, std::vector<std::string> *errors) {
    uint32_t wanted = AddressValue(config.server.ServerIP);
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return true;  // cannot tell: the library will say
    bool found = false;
    for (ifaddrs *entry = list; entry && !found; entry = entry->ifa_next)
        found = entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET &&
                ntohl(reinterpret_cast<sockaddr_in *>(entry->ifa_addr)->sin_addr.s_addr) == wanted;
    freeifaddrs(list);
    if (!found)
        errors->push_back(path + ":" + std::to_string(config.nAddressLine) + ": server.address: " +
                          config.server.ServerIP + " is not an address of this host (`ip -4 address` lists them)");
    return found;
}

bool CheckHostHasAddress6(const HostConfig &config, const std::string &path, std::vector<std::string> *errors) {
    unsigned char wanted[16];
    if (!config.ipv6 || !ParseAddress6(config.server6.ServerIP, wanted)) return true;
    const char *lpInterface = config.server6.ifname;
    unsigned index = *lpInterface ? if_nametoindex(lpInterface) : 0;
    if (!index && *lpInterface) index = static_cast<unsigned>(strtoul(lpInterface, nullptr, 10));
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return true;  // cannot tell: the library will say
    bool found = false;
    for (ifaddrs *entry = list; entry && !found; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET6) continue;
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(entry->ifa_addr);
        found = memcmp(in6->sin6_addr.s6_addr, wanted, sizeof wanted) == 0 &&
                (!*lpInterface || if_nametoindex(entry->ifa_name) == index);
    }
    freeifaddrs(list);
    if (!found)
        errors->push_back(path + ":" + std::to_string(config.nAddress6Line) + ": ipv6.address: " +
                          config.server6.ServerIP + " is not an address of this host" +
                          (*lpInterface ? std::string(" on ") + lpInterface : std::string()) +
                          " (`ip -6 address` lists them)");
    return found;
}

std::string MaskedUri(const std::string &uri) {
    std::string out = uri;
    size_t scheme = out.find("://");
    if (scheme != std::string::npos) {
        size_t end = out.find_first_of("/?", scheme + 3);
        size_t at = out.rfind('@', end == std::string::npos ? out.size() : end);
        size_t colon = out.find(':', scheme + 3);
        if (at != std::string::npos && at > scheme && colon < at) out.replace(colon + 1, at - colon - 1, "***");
    }
    // password=... as a URI parameter or in a key=value connection string.
    for (size_t at = 0; (at = out.find("password=", at)) != std::string::npos;) {
        at += 9;
        size_t end = out.find_first_of("& ", at);
        out.replace(at, (end == std::string::npos ? out.size() : end) - at, "***");
    }
    return out;
}
