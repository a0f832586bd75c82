#include "host/host_config.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <toml++/toml.h>

#include "tftp/boot_path.h"

namespace {

constexpr int kMaxRanges = 10239;

class Checker {
public:
    Checker(std::string path, std::vector<std::string> *errors) : m_Path(std::move(path)), m_lpErrors(errors) {}

    void Error(const toml::source_region &where, const std::string &key, const std::string &problem) {
        m_lpErrors->push_back(m_Path + ":" + std::to_string(where.begin.line) + ": " + key + ": " + problem);
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

    bool Address(const toml::table &table, const char *name, const std::string &key, char *field, size_t size,
                 bool required, const toml::source_region &owner) {
        if (!Text(table, name, key, field, size, required, owner)) return false;
        if (!*field && !required) return true;
        if (!IsDottedQuad(field)) {
            Error(table.get(name)->source(), key, "not a dotted quad (like 192.0.2.1)");
            return false;
        }
        return true;
    }

    static bool IsDottedQuad(const char *text) {
        int parts = 0;
        for (const char *p = text;;) {
            int digits = 0, value = 0;
            while (*p >= '0' && *p <= '9' && digits < 4) value = value * 10 + (*p++ - '0'), ++digits;
            if (digits == 0 || digits > 3 || value > 255) return false;
            ++parts;
            if (*p == '\0') return parts == 4;
            if (*p++ != '.' || parts == 4) return false;
        }
    }

    static bool IsMac(const char *text) {
        std::vector<unsigned char> bytes;
        return ParseMacPrefix(text, &bytes) && bytes.size() == 6;
    }

private:
    std::string m_Path;
    std::vector<std::string> *m_lpErrors;
};

uint32_t HostOrder(const char *text) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d);
    return a << 24 | b << 16 | c << 8 | d;
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
    check.Address(*server, "netmask", "server.netmask", s.NetMask, sizeof s.NetMask, true, where);
    check.Text(*server, "boot_file", "server.boot_file", s.bootfile, sizeof s.bootfile, true, where);
    check.Text(*server, "relay_text1", "server.relay_text1", s.relaytext1, sizeof s.relaytext1, false, where);
    check.Text(*server, "relay_text2", "server.relay_text2", s.relaytext2, sizeof s.relaytext2, false, where);
    if (check.Text(*server, "boot_directory", "server.boot_directory", s.rootpath, sizeof s.rootpath, true, where)) {
        struct stat info {};
        if (*s.rootpath && (stat(s.rootpath, &info) != 0 || !S_ISDIR(info.st_mode)))
            check.Error(server->get("boot_directory")->source(), "server.boot_directory", "no such directory");
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
        check.Address(*table, "netmask", key + ".netmask", r.netmask, sizeof r.netmask, true, where);
        check.Address(*table, "gateway", key + ".gateway", r.netgate, sizeof r.netgate, false, where);
        check.Address(*table, "dns1", key + ".dns1", r.dns1, sizeof r.dns1, false, where);
        check.Address(*table, "dns2", key + ".dns2", r.dns2, sizeof r.dns2, false, where);
        if (begin && end && HostOrder(r.beginip) > HostOrder(r.endip))
            check.Error(table->get("end")->source(), key + ".end", "below begin");
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
        if (check.Text(*table, "mac", key + ".mac", e.mac, sizeof e.mac, true, where) && !Checker::IsMac(e.mac))
            check.Error(table->get("mac")->source(), key + ".mac", "not six hex pairs (like 52:54:00:12:34:56)");
        check.Address(*table, "ip", key + ".ip", e.ip, sizeof e.ip, true, where);
        check.Address(*table, "netmask", key + ".netmask", e.netmask, sizeof e.netmask, true, where);
        check.Address(*table, "gateway", key + ".gateway", e.netgate, sizeof e.netgate, false, where);
        check.Address(*table, "dns1", key + ".dns1", e.dns1, sizeof e.dns1, false, where);
        check.Address(*table, "dns2", key + ".dns2", e.dns2, sizeof e.dns2, false, where);
        config->statics.push_back(e);
    }
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
        // A misspelt condition would otherwise be dropped and the rule match every client.
        for (const auto &entry : *table) {
            static const char *const kKeys[] = {"arch", "user_class", "vendor_class", "mac", "file"};
            bool known = false;
            for (const char *name : kKeys) known = known || entry.first.str() == name;
            if (!known) check.Error(entry.second.source(), key + "." + std::string(entry.first.str()), "unknown key");
        }
        BootRule rule;
        rule.name = key + " (line " + std::to_string(where.begin.line) + ")";
        char text[kBootFileNameSize] = "";
        if (check.Text(*table, "file", key + ".file", text, sizeof text, true, where) && *text) {
            rule.file = text;
            const char *lpWhy = IsBootUrl(text) ? nullptr : RefuseBootFileName(text);
            if (lpWhy) check.Error(table->get("file")->source(), key + ".file", std::string("refused: ") + lpWhy);
        }
        if (const toml::node *arch = table->get("arch")) {
            if (arch->is_integer() && arch->as_integer()->get() >= 0 && arch->as_integer()->get() <= 0xffff)
                rule.arches = {static_cast<int>(arch->as_integer()->get())};
            else if (arch->is_string())
                rule.arches = ArchitectureCodes(arch->as_string()->get());
            if (rule.arches.empty())
                check.Error(arch->source(), key + ".arch",
                            "must be 0 to 65535 or one of bios, efi-ia32, efi-x64, efi-arm32, efi-arm64, "
                            "efi-ia32-http, efi-x64-http, efi-arm64-http");
        }
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

// [http] listen = "ADDRESS:PORT": the boot folder served over HTTP.
void ReadHttp(Checker &check, const toml::table &root, HostConfig *config) {
    const toml::table *http = root["http"].as_table();
    if (!http) return;
    char listen[64] = "";
    if (!check.Text(*http, "listen", "http.listen", listen, sizeof listen, true, http->source())) return;
    char *colon = strrchr(listen, ':');
    char *end = nullptr;
    long port = colon ? strtol(colon + 1, &end, 10) : 0;
    if (colon) *colon = '\0';
    if (!colon || !Checker::IsDottedQuad(listen) || *end || port < 1 || port > 65535) {
        check.Error(http->get("listen")->source(), "http.listen", "not ADDRESS:PORT (like 192.0.2.1:80)");
        return;
    }
    config->httpAddress = listen;
    config->nHttpPort = static_cast<int>(port);
}

}  // namespace

bool LoadHostConfig(const std::string &path, HostConfig *config, std::vector<std::string> *errors) {
    *config = HostConfig{};
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error &error) {
        errors->push_back(path + ":" + std::to_string(error.source().begin.line) + ": " +
                          std::string(error.description()));
        return false;
    }
    Checker check(path, errors);
    size_t before = errors->size();
    ReadServer(check, root, config);
    ReadRanges(check, root, config);
    ReadStatics(check, root, config);
    ReadFarm(check, root, config);
    ReadBootRules(check, root, config);
    ReadHttp(check, root, config);
    config->database = root["policy"]["database"].value_or(std::string("tavrel.db"));
    return errors->size() == before;
}
