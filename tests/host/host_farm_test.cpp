// Three tavrel-host servers in namespaces of their own on one bridge (the
// LAN), reaching a PostgreSQL server of the test's own over a second bridge,
// and a few hundred clients on the LAN: each client is answered by exactly
// one server, the clients are spread evenly, an assignment moves a client, a
// dead server's clients (and only they) move whatever forged or replayed
// heartbeats say, a member cut off from the database or a database outage
// changes no answer and loses no report, a full member's clients go to the
// others (offers held count, and keep their clients), a stopped, restarted
// or crashed member never gets a client two answers, a member started
// during an outage serves once the database is back, and overlapping ranges
// are refused.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "host/store/lease_journal.h"
#include "support/dhcp_client.h"
#include "support/shell.h"
#include "support/test_postgres.h"
#include "support/temp_tree.h"

namespace {

constexpr int kServers = 3;
constexpr int kClients = 600;
constexpr int kHeartbeatPort = 4457;
const char *const kBridgeAddress = "192.0.2.250";
const char *const kDatabaseAddress = "198.51.100.250";  // on the database bridge
const char *const kFarmKey = "farm key of the test";

size_t Count(const std::string &text, const std::string &word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

std::string ServerAddress(int server) { return "192.0.2." + std::to_string(server); }

// Who answered a client, and with which address.
struct Answer {
    int server;  // 1..kServers, from the source address
    uint32_t yiaddr;
};
using Answers = std::map<int, std::vector<Answer>>;  // client → answers

class HostFarmTest : public testing::Test {
protected:
    void SetUp() override {
        m_Tag = std::to_string(getpid());
        ASSERT_EQ(Shell("ip link add tvbr type bridge && ip addr add " + std::string(kBridgeAddress) +
                        "/24 dev tvbr && ip link set tvbr up && ip route add default dev tvbr && "
                        "ip link add tvdb type bridge && ip addr add " + kDatabaseAddress +
                        "/24 dev tvdb && ip link set tvdb up"),
                  0);
        for (int i = 1; i <= kServers; ++i) {
            std::string ns = Namespace(i), veth = "tvf" + std::to_string(i);
            ASSERT_EQ(Shell("ip netns add " + ns + " && ip link add " + veth + " type veth peer name eth0 netns " + ns +
                            " && ip link set " + veth + " master tvbr up && ip -n " + ns + " addr add " +
                            ServerAddress(i) + "/24 dev eth0 && ip -n " + ns + " link set eth0 up && ip -n " + ns +
                            " link set lo up && ip link add " + DatabaseLink(i) + " type veth peer name db0 netns " +
                            ns + " && ip link set " + DatabaseLink(i) + " master tvdb up && ip -n " + ns +
                            " addr add 198.51.100." + std::to_string(i) + "/24 dev db0 && ip -n " + ns +
                            " link set db0 up"),
                      0);
            // A program folder of its own: the library keeps its lease file in data/ beside it.
            ASSERT_EQ(Shell("mkdir -p " + Home(i) + "/bin " + Home(i) + "/data/leases && cp " + TAVREL_HOST_BIN + " " +
                            Home(i) + "/bin/"),
                      0);
        }
        m_Postgres = std::make_unique<TestPostgres>(m_Tree.Root(), kDatabaseAddress);
        ASSERT_TRUE(m_Postgres->Start());
        if (m_nSkewed) SetClockOffset(m_nSkewed, m_nSkewSeconds);
        for (int i = 1; i <= kServers; ++i) {
            WriteConfig(i, Range(i));
            StartServer(i);
        }
        ASSERT_TRUE(AwaitLive(kServers));
        usleep(300000);  // the last to join is announced to the others
        int size = 1 << 22;
        setsockopt(m_Client.Fd(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    }
    void TearDown() override {
        for (int i = 1; i <= kServers; ++i) StopServer(i, SIGTERM);
        m_Postgres.reset();
        for (int i = 1; i <= kServers; ++i) Shell("ip netns del " + Namespace(i) + " 2>/dev/null");
    }
    // Every client of CLIENTS answered exactly once, round after round, for SECONDS.
    void ExpectOneAnswerEachFor(int seconds) {
        std::vector<int> clients = Clients(200);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (int round = 0; std::chrono::steady_clock::now() < end; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            OwnersOf(Exchange(1, clients), clients);
        }
    }

    // Rounds of DISCOVERs from CLIENTS, none answered twice in any round,
    // until a round answers each once (true) or ROUNDS have passed.
    bool AtMostOnceUntilAll(const std::vector<int> &clients, int rounds) {
        for (int round = 0; round < rounds; ++round) {
            Answers answers = Exchange(1, clients);
            size_t once = 0;
            for (int client : clients) {
                size_t n = answers.count(client) ? answers[client].size() : 0;
                EXPECT_LE(n, 1u) << "client " << client << " in round " << round;
                once += n == 1;
            }
            if (once == clients.size()) return true;
        }
        return false;
    }
    // Every server's dynamic range cut to its first SIZE addresses, by SIGHUP.
    void ShrinkRanges(int size) {
        for (int i = 1; i <= kServers; ++i) {
            std::string prefix = "198.18." + std::to_string(i) + ".";
            WriteConfig(i, prefix + "1-" + prefix + std::to_string(size));
            kill(m_Pids[i], SIGHUP);
        }
        // Counted with the next heartbeats.
        std::string free = "\"free\": " + std::to_string(size);
        for (int n = 0; n < 50 && Count(Capture(Cli("farm --json")), free) < kServers; ++n) usleep(100000);
    }

    std::string Namespace(int server) const { return "tvfarm-" + m_Tag + "-" + std::to_string(server); }
    std::string Config(int server) const { return m_Tree.Root() + "/server" + std::to_string(server) + ".toml"; }
    std::string Home(int server) const { return m_Tree.Root() + "/s" + std::to_string(server); }
    std::string Err(int server) const { return m_Tree.Root() + "/server" + std::to_string(server) + ".err"; }
    std::string Out(int server) const { return m_Tree.Root() + "/server" + std::to_string(server) + ".out"; }
    // Seconds the server's wall clock is off, read by tavrel-host with each heartbeat it sends.
    std::string ClockOffsetFile(int server) const { return Home(server) + "/clock-offset"; }
    void SetClockOffset(int server, int seconds) { std::ofstream(ClockOffsetFile(server)) << seconds << "\n"; }
    // The skew SERVER told of MEMBER's clock ("" when it told none), and how often.
    std::string SkewTold(int server, int member, size_t *times) {
        std::string err = ReadWholeFile(Err(server)), told = "farm member " + ServerAddress(member) + " clock is ";
        *times = Count(err, told);
        size_t at = err.find(told);
        return at == std::string::npos ? "" : err.substr(at + told.size(), err.find(" this", at) - at - told.size());
    }
    bool AwaitTold(int server, const std::string &line, size_t times) {
        for (int i = 0; i < 100; ++i, usleep(100000))
            if (Count(ReadWholeFile(Err(server)), line) >= times) return true;
        return false;
    }
    static std::string DatabaseLink(int server) { return "tvd" + std::to_string(server); }
    static std::string Range(int server) {
        return "198.18." + std::to_string(server) + ".1-198.18." + std::to_string(server) + ".250";
    }
    void WriteConfig(int server, const std::string &range) {
        size_t dash = range.find('-');
        std::ofstream(Config(server)) << "[server]\naddress = \"" << ServerAddress(server)
                                      << "\"\nnetmask = \"255.255.255.0\"\nboot_file = \"boot.ipxe\"\n"
                                      << "boot_directory = \"" << m_Tree.Root() << "\"\n"
                                      << "[policy]\ndatabase = \"" << m_Postgres->Uri() << "\"\n"
                                      << "[farm]\nname = \"s" << server << "\"\nkey = \"" << kFarmKey << "\"\n"
                                      << "[[range]]\nbegin = \"" << range.substr(0, dash) << "\"\nend = \""
                                      << range.substr(dash + 1) << "\"\nnetmask = \"255.254.0.0\"\nclass = \"boot\"\n"
                                      << "relayed = true\n";
    }
    void StartServer(int server) {
        std::string err = Err(server), out = Out(server), bin = Home(server) + "/bin/tavrel-host";
        pid_t pid = fork();
        if (pid == 0) {
            setenv("TAVREL_TEST_CLOCK_OFFSET_FILE", ClockOffsetFile(server).c_str(), 1);
            if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
            execlp("ip", "ip", "netns", "exec", Namespace(server).c_str(), bin.c_str(), "run",
                   Config(server).c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        m_Pids[server] = pid;
    }
    int StopServer(int server, int sig) {
        if (m_Pids[server] <= 0) return -1;
        kill(m_Pids[server], sig);
        int status = 0;
        waitpid(m_Pids[server], &status, 0);
        m_Pids[server] = -1;
        return status;
    }
    std::string Cli(const std::string &args) const {
        return std::string(TAVREL_HOST_BIN) + " " + args + " --db " + m_Postgres->Uri();
    }
    bool AwaitLive(size_t count) {
        for (int i = 0; i < 100; ++i, usleep(100000))
            if (Count(Capture(Cli("farm --json")), "\"state\": \"live\"") == count) return true;
        return false;
    }

    static void MacOf(int client, unsigned char *mac) {
        const unsigned char base[6] = {0x02, 0xfa, 0x00, 0x00, static_cast<unsigned char>(client >> 8),
                                       static_cast<unsigned char>(client)};
        memcpy(mac, base, 6);
    }
    // One message of TYPE per client, in bursts, gathering every answer
    // until the bridge has been quiet for a while. A REQUEST names the
    // server and address of the client's offer, as a client in SELECTING does.
    Answers Exchange(unsigned char type, const std::vector<int> &clients, const Answers *offers = nullptr,
                     int quietMs = 400) {
        uint32_t xidBase = (m_dwRound++ << 16) + 0x10000;
        Answers answers;
        for (size_t first = 0; first < clients.size(); first += 100) {
            for (size_t i = first; i < std::min(clients.size(), first + 100); ++i) {
                DhcpRequest request;
                request.byType = type;
                MacOf(clients[i], request.abMac);
                request.dwXid = xidBase + static_cast<uint32_t>(i);
                auto offer = offers ? offers->find(clients[i]) : Answers::const_iterator();
                if (offers && offer != offers->end() && !offer->second.empty()) {
                    request.dwRequested = offer->second[0].yiaddr;
                    request.dwServerId = htonl(0xC0000200u | static_cast<uint32_t>(offer->second[0].server));
                }
                Bytes message = BuildDhcp(request);
                m_Client.SendTo("255.255.255.255", 67, message.data(), message.size());
            }
            for (;;) {
                bool ok = false;
                sockaddr_in from{};
                Bytes reply = m_Client.Receive(quietMs, &ok, &from);
                if (!ok) break;
                uint32_t xid = XidOf(reply);
                if (reply.size() < 240 || xid < xidBase || xid - xidBase >= clients.size()) continue;
                int server = static_cast<int>(ntohl(from.sin_addr.s_addr) & 255);
                answers[clients[xid - xidBase]].push_back({server, AddrAt(reply, 16)});
            }
        }
        return answers;
    }
    static std::vector<int> Clients(int count) {
        std::vector<int> clients;
        for (int i = 0; i < count; ++i) clients.push_back(i);
        return clients;
    }
    // Every client answered exactly once; returns client → server.
    static std::map<int, int> OwnersOf(const Answers &answers, const std::vector<int> &clients) {
        std::map<int, int> owners;
        for (int client : clients) {
            auto found = answers.find(client);
            size_t n = found == answers.end() ? 0 : found->second.size();
            EXPECT_EQ(n, 1u) << "client " << client << " answered " << n << " times";
            if (n == 1) owners[client] = found->second[0].server;
        }
        return owners;
    }

    TempTree m_Tree;
    std::string m_Tag;
    std::unique_ptr<TestPostgres> m_Postgres;
    pid_t m_Pids[kServers + 2] = {};
    TestSocket m_Client{"0.0.0.0", 68, false, true};
    uint32_t m_dwRound = 0;
    int m_nSkewed = 0, m_nSkewSeconds = 0;  // a server whose clock is off from the start
};

class HostFarmSkewTest : public HostFarmTest {
protected:
    HostFarmSkewTest() { m_nSkewed = kServers, m_nSkewSeconds = 40; }
};

}  // namespace

TEST_F(HostFarmTest, EveryClientAnsweredByOneServerEvenly) {
    std::vector<int> clients = Clients(kClients);
    Answers offers = Exchange(1, clients);
    std::map<int, int> offered = OwnersOf(offers, clients);
    Answers acks = Exchange(3, clients, &offers);
    std::map<int, int> acked = OwnersOf(acks, clients);
    EXPECT_EQ(offered, acked) << "the same server offers and acknowledges";
    std::map<uint32_t, int> holders;
    for (const auto &entry : acks)
        for (const Answer &answer : entry.second) {
            auto taken = holders.emplace(answer.yiaddr, entry.first);
            EXPECT_TRUE(taken.second) << "address given to clients " << taken.first->second << " and " << entry.first;
        }
    std::map<int, int> load;
    for (const auto &owner : acked) ++load[owner.second];
    for (int i = 1; i <= kServers; ++i) {
        EXPECT_GE(load[i], kClients / kServers * 8 / 10) << "server " << i;
        EXPECT_LE(load[i], kClients / kServers * 12 / 10) << "server " << i;
    }
    // The listing counts them with the next heartbeats.
    long served = 0;
    std::string farm;
    for (int i = 0; i < 50 && served != kClients; ++i, usleep(100000)) {
        farm = Capture(Cli("farm --json"));
        served = 0;
        for (size_t at = farm.find("\"served_last_hour\": "); at != std::string::npos;
             at = farm.find("\"served_last_hour\": ", at + 1))
            served += strtol(farm.c_str() + at + 20, nullptr, 10);
    }
    EXPECT_EQ(served, kClients) << farm;
}

TEST_F(HostFarmTest, AssignmentMovesAClientEverywhereWithinASecond) {
    std::vector<int> one = {7};
    std::map<int, int> before = OwnersOf(Exchange(1, one), one);
    ASSERT_EQ(before.size(), 1u);
    int target = before[7] % kServers + 1;
    unsigned char mac[6];
    MacOf(7, mac);
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    EXPECT_NE(Shell(Cli(std::string("assign ") + text + " 192.0.2.99")), 0) << "no such member";
    EXPECT_NE(Shell(Cli(std::string("assign ") + text + " s9")), 0);
    ASSERT_EQ(Shell(Cli(std::string("assign ") + text + " s" + std::to_string(target))), 0) << "by name";
    nlohmann::json rows = nlohmann::json::parse(Capture(Cli("assignments --json")));
    EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](const nlohmann::json &row) {
        return row["mac"] == text && row["server"] == ServerAddress(target);
    })) << rows.dump();
    usleep(1000000);
    std::map<int, int> after = OwnersOf(Exchange(1, one), one);
    EXPECT_EQ(after[7], target);
}

TEST_F(HostFarmTest, DeadServerLosesOnlyItsClientsWhateverForgedBeatsSay) {
    // A listener posing as a stopped member receives the members' real heartbeats.
    TestSocket listener(kBridgeAddress, kHeartbeatPort);
    ASSERT_EQ(Shell("psql -q '" + m_Postgres->Uri() + "' -c \"INSERT INTO servers (address, name, weight, ranges, "
                    "statics, served, state, last_seen) VALUES ('" + kBridgeAddress + "', 'listener', 1, '', '', 0, "
                    "'stopped', extract(epoch from now()))\""),
              0);
    Bytes captured;
    for (int i = 0; i < 50 && captured.empty(); ++i) {
        bool ok = false;
        sockaddr_in from{};
        Bytes beat = listener.Receive(200, &ok, &from);
        if (ok && ntohl(from.sin_addr.s_addr) == 0xc0000200u + kServers) captured = beat;
    }
    ASSERT_EQ(captured.size(), 64u) << "a heartbeat of server " << kServers;
    std::vector<int> clients = Clients(300);
    Answers offers = Exchange(1, clients);
    std::map<int, int> owners = OwnersOf(offers, clients);
    OwnersOf(Exchange(3, clients, &offers), clients);
    auto killed = std::chrono::steady_clock::now();
    StopServer(kServers, SIGKILL);
    // Its last heartbeat replayed from its own address, altered, and a forged
    // "stopped" for server 1: none may keep it alive or end server 1.
    Bytes altered = captured, stopped = captured;
    altered[20] ^= 1;
    stopped[5] = 1;
    stopped[11] = 1;
    std::string hex;
    for (const Bytes *beat : {&captured, &altered}) {
        for (unsigned char byte : *beat) hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
        hex += " ";
    }
    pid_t replayer = fork();
    if (replayer == 0) {
        std::string script = "import socket,sys,time\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                             "s.bind(('" + ServerAddress(kServers) + "'," + std::to_string(kHeartbeatPort) + "))\n"
                             "while True:\n for h in sys.argv[1:]:\n  for a in ('192.0.2.1','192.0.2.2'):\n"
                             "   s.sendto(bytes.fromhex(h),(a," + std::to_string(kHeartbeatPort) + "))\n time.sleep(0.1)\n";
        execlp("ip", "ip", "netns", "exec", Namespace(kServers).c_str(), "python3", "-c", script.c_str(),
               hex.substr(0, 128).c_str(), hex.substr(129, 128).c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 30; ++i) listener.SendTo(ServerAddress(2).c_str(), kHeartbeatPort, stopped.data(), stopped.size());
    std::vector<int> orphans;
    for (const auto &owner : owners)
        if (owner.second == kServers) orphans.push_back(owner.first);
    ASSERT_FALSE(orphans.empty());
    // They ask again, as clients do, until someone answers.
    std::map<int, int> moved;
    while (moved.size() < orphans.size() && std::chrono::steady_clock::now() - killed < std::chrono::seconds(10)) {
        std::vector<int> waiting;
        for (int client : orphans)
            if (!moved.count(client)) waiting.push_back(client);
        for (const auto &entry : Exchange(1, waiting)) {
            if (entry.second.empty()) continue;
            const Answer &answer = entry.second[0];
            moved[entry.first] = answer.server;
            EXPECT_EQ(ntohl(answer.yiaddr) >> 8, 0xc61200u + static_cast<uint32_t>(answer.server))
                << "an address from the new server's range";
        }
        usleep(500000);
    }
    EXPECT_EQ(moved.size(), orphans.size()) << "orphans answered within 10 s of the crash";
    std::map<int, int> now = OwnersOf(Exchange(1, clients), clients);
    kill(replayer, SIGKILL);
    waitpid(replayer, nullptr, 0);
    std::string err = ReadWholeFile(Err(1));
    EXPECT_NE(err.find("farm heartbeats ignored ("), std::string::npos) << err;
    EXPECT_LE(Count(err, "farm heartbeats ignored"), 2u) << "told at most once per 10 s";
    for (const auto &owner : owners) {
        if (owner.second != kServers) {
            EXPECT_EQ(now[owner.first], owner.second) << "client " << owner.first;
        } else {
            EXPECT_NE(now[owner.first], kServers);
        }
    }
    std::string farm = Capture(Cli("farm --json"));
    EXPECT_EQ(Count(farm, "\"state\": \"live\""), 2u) << farm;
    EXPECT_EQ(Count(farm, "\"state\": \"dead\""), 1u) << farm;
}

TEST_F(HostFarmTest, MemberCutOffFromTheDatabaseKeepsItsClients) {
    ASSERT_EQ(Shell("ip link set " + DatabaseLink(1) + " down"), 0);
    ExpectOneAnswerEachFor(15);
    std::string farm = Capture(Cli("farm --json"));
    nlohmann::json members = nlohmann::json::parse(farm, nullptr, false);
    EXPECT_TRUE(std::any_of(members.begin(), members.end(), [](const nlohmann::json &m) {
        return m.value("address", "") == "192.0.2.1" && m.value("state", "") == "database unreachable, serving";
    })) << farm;
    ASSERT_EQ(Shell("ip link set " + DatabaseLink(1) + " up"), 0);
    std::string err;
    for (int i = 0; i < 100 && err.find("reachable again") == std::string::npos; ++i, usleep(100000))
        err = ReadWholeFile(Err(1));
    EXPECT_NE(err.find("tavrel-host: the database is out of reach ("), std::string::npos) << err;
    EXPECT_NE(err.find("tavrel-host: the database is reachable again"), std::string::npos) << err;
    ExpectOneAnswerEachFor(1);
}

TEST_F(HostFarmTest, DatabaseOutageChangesNoAnswerAndLosesNoReport) {
    // Reports are taken only from clients the receiving server served.
    std::vector<int> reported = Clients(60);
    std::map<int, int> owners = OwnersOf(Exchange(1, reported), reported);
    ASSERT_TRUE(m_Postgres->Stop());
    auto stopped = std::chrono::steady_clock::now();
    TestSocket peer("0.0.0.0", 4455, false, true);
    for (const auto &owner : owners) {
        Bytes pack(292, 0);
        const unsigned char head[] = {0x75, 0x6d, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};  // magic, MAC, operation 2 (a report)
        memcpy(pack.data(), head, sizeof head);
        MacOf(owner.first, &pack[4]);
        const unsigned char ip[4] = {static_cast<unsigned char>(owner.first), 0, 18, 198};  // its address, 198.18.0.x
        memcpy(&pack[16], ip, 4);
        peer.SendTo(ServerAddress(owner.second).c_str(), 4455, pack.data(), pack.size());
        pack[9] ^= 0x80;  // a client nobody served
        peer.SendTo(ServerAddress(owner.second).c_str(), 4455, pack.data(), pack.size());
        usleep(20000);
    }
    ExpectOneAnswerEachFor(30 - static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::steady_clock::now() - stopped).count()));
    ASSERT_TRUE(m_Postgres->Start());
    std::string reports;
    for (int i = 0; i < 100 && Count(reports, "02:fa:00:00:") < owners.size(); ++i, usleep(200000))
        reports = Capture(Cli("reports --json --limit 1000"));
    EXPECT_EQ(Count(reports, "02:fa:00:00:"), owners.size()) << reports;
    EXPECT_EQ(Count(Capture(Cli("reports --json --limit 7")), "02:fa:00:00:"), 7u) << "a page of the newest";
    EXPECT_EQ(Count(Capture(Cli("reports --json --since 2999-01-01")), "02:fa:00:00:"), 0u);
    EXPECT_TRUE(AwaitLive(kServers));
    ExpectOneAnswerEachFor(1);
}

TEST_F(HostFarmTest, FullMembersClientsAreAnsweredByOthers) {
    std::vector<int> clients = Clients(300);
    std::map<int, int> before = OwnersOf(Exchange(1, clients), clients);
    // Every address of server 3 leased, as its library's lease file tells.
    std::string journal = "TAVREL-LEASES 1\n";
    for (int host = 1; host <= 250; ++host) {
        char text[64];
        snprintf(text, sizeof text, "L 02ee000000%02x 198.18.3.%d 4000000000", host, host);
        char crc[16];
        snprintf(crc, sizeof crc, " %08x\n", Crc32(text));
        journal += std::string(text) + crc;
    }
    std::ofstream(Home(3) + "/data/leases/leases.journal") << journal;
    std::string farm;
    for (int i = 0; i < 60 && farm.find("\"free\": 0") == std::string::npos; ++i, usleep(100000))
        farm = Capture(Cli("farm --json"));
    ASSERT_NE(farm.find("\"free\": 0"), std::string::npos) << farm;
    usleep(1500000);  // its direct beats tell the others too
    std::map<int, int> after = OwnersOf(Exchange(1, clients), clients);
    for (const auto &owner : before) {
        if (owner.second == 3) {
            EXPECT_NE(after[owner.first], 3) << "client " << owner.first;
        } else {
            EXPECT_EQ(after[owner.first], owner.second) << "client " << owner.first;
        }
    }
    EXPECT_NE(ReadWholeFile(Err(3)).find("tavrel-host: range 198.18.3.1-198.18.3.250 has no free address"),
              std::string::npos);
}

TEST_F(HostFarmTest, MemberStartedDuringAnOutageServesOnceTheDatabaseIsBack) {
    StopServer(kServers, SIGTERM);
    ASSERT_TRUE(m_Postgres->Stop());
    StartServer(kServers);
    std::string err;
    for (int i = 0; i < 100 && err.find("trying the database again") == std::string::npos; ++i, usleep(100000))
        err = ReadWholeFile(Err(kServers));
    EXPECT_NE(err.find("nothing is served until then"), std::string::npos) << err;
    EXPECT_EQ(ReadWholeFile(Out(kServers)).find("serving"), std::string::npos);
    ASSERT_TRUE(m_Postgres->Start());
    EXPECT_TRUE(AwaitLive(kServers)) << "no restart by hand";
    std::string out;
    for (int i = 0; i < 100 && out.find("serving") == std::string::npos; ++i, usleep(100000))
        out = ReadWholeFile(Out(kServers));
    EXPECT_NE(out.find("tavrel-host: serving on 192.0.2.3"), std::string::npos) << out;
}

TEST_F(HostFarmTest, OverlappingRangesAreRefused) {
    // A fourth server whose range reaches into the first one's.
    ASSERT_EQ(Shell("ip addr add 192.0.2.4/24 dev tvbr"), 0);
    std::string config = m_Tree.Root() + "/server4.toml";
    std::ofstream(config) << "[server]\naddress = \"192.0.2.4\"\nnetmask = \"255.255.255.0\"\nboot_file = \"b\"\n"
                          << "boot_directory = \"" << m_Tree.Root() << "\"\n[policy]\ndatabase = \""
                          << m_Postgres->Uri() << "\"\n[farm]\nname = \"s4\"\nkey = \"" << kFarmKey
                          << "\"\n[[range]]\nbegin = \"198.18.1.200\"\nend = \"198.18.1.255\"\n"
                          << "netmask = \"255.254.0.0\"\nrelayed = true\n";
    std::string out = Capture("timeout 20 " + std::string(TAVREL_HOST_BIN) + " run " + config + " 2>&1; echo exit=$?");
    EXPECT_NE(out.find("refusing to start: dynamic range 198.18.1.200-198.18.1.255 of this server 192.0.2.4 (\"s4\")"
                       " overlaps range " + Range(1) + " of live server 192.0.2.1 (\"s1\")"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("exit=1"), std::string::npos) << out;
    // A re-read configuration that overlaps is not applied either.
    WriteConfig(2, "198.18.3.100-198.18.3.110");
    kill(m_Pids[2], SIGHUP);
    usleep(500000);
    std::string err = ReadWholeFile(m_Tree.Root() + "/server2.err");
    EXPECT_NE(err.find("configuration not applied: dynamic range 198.18.3.100-198.18.3.110 of this server 192.0.2.2"),
              std::string::npos)
        << err;
    std::vector<int> clients = Clients(60);
    for (const auto &entry : Exchange(1, clients))
        for (const Answer &answer : entry.second)
            if (answer.server == 2) {
                EXPECT_EQ(ntohl(answer.yiaddr) >> 8, 0xc61202u) << "still 198.18.2.x";
            }
}

// Clients that hold leases keep their server when the rendezvous order no
// longer names it (here: it has just run out of free addresses), also while
// the store is out of reach.
TEST_F(HostFarmTest, ClientsWithLeasesAreAnsweredByTheirHoldersThroughAStoreOutage) {
    std::vector<int> clients = Clients(150);
    Answers offers = Exchange(1, clients);
    Answers acks = Exchange(3, clients, &offers);
    std::map<int, int> holders = OwnersOf(acks, clients);
    ASSERT_EQ(holders.size(), clients.size());
    ASSERT_TRUE(m_Postgres->Stop());
    // Lines in the format the library's file is in now (its header says 2).
    std::ofstream journal(Home(3) + "/data/leases/leases.journal", std::ios::app);
    for (int host = 1; host <= 250; ++host) {
        char text[64], crc[16];
        snprintf(text, sizeof text, "L mac1-02ee000000%02x 198.18.3.%d 4000000000", host, host);
        snprintf(crc, sizeof crc, " %08x\n", Crc32(text));
        journal << text << crc;
    }
    journal.close();
    for (int i = 1; i < kServers; ++i)
        ASSERT_TRUE(AwaitTold(i, "farm member " + ServerAddress(3) + " has no free address", 1)) << "server " << i;
    Answers again = Exchange(1, clients);
    EXPECT_EQ(OwnersOf(again, clients), holders) << "each by the member that holds its lease";
    for (int client : clients)
        if (again[client].size() == 1) {
            EXPECT_EQ(again[client][0].yiaddr, acks[client][0].yiaddr) << client;
        }
}

TEST_F(HostFarmSkewTest, MemberWithAClockOffAndNoDatabaseKeepsItsClients) {
    for (int i = 1; i < kServers; ++i)
        ASSERT_TRUE(AwaitTold(i, "farm member " + ServerAddress(kServers) + " clock is", 1)) << "its beats believed";
    ASSERT_EQ(Shell("ip link set " + DatabaseLink(kServers) + " down"), 0);
    ExpectOneAnswerEachFor(10);
    size_t times = 0;
    std::string ahead = SkewTold(1, kServers, &times), behind;
    EXPECT_TRUE(ahead == "39 s ahead of" || ahead == "40 s ahead of" || ahead == "41 s ahead of") << ahead;
    EXPECT_EQ(times, 1u) << "told once per member";
    behind = SkewTold(kServers, 2, &times);
    EXPECT_TRUE(behind == "39 s behind" || behind == "40 s behind" || behind == "41 s behind") << behind;
    EXPECT_EQ(Count(ReadWholeFile(Err(1)), "tavrel-host: error: farm member"), 1u);
    EXPECT_EQ(Count(ReadWholeFile(Err(1)), "replayed"), 0u) << ReadWholeFile(Err(1));
}

TEST_F(HostFarmTest, WallClockJumpsChangeNoAnswer) {
    ASSERT_EQ(Shell("ip link set " + DatabaseLink(kServers) + " down"), 0);
    for (int jump : {3600, -3600}) {
        SCOPED_TRACE("jump " + std::to_string(jump));
        SetClockOffset(kServers, jump);
        ExpectOneAnswerEachFor(8);  // past the 6 s a member stays live unheard
    }
    for (int i = 1; i <= kServers; ++i)
        EXPECT_EQ(ReadWholeFile(Err(i)).find(" left\n"), std::string::npos) << "server " << i << ": "
                                                                             << ReadWholeFile(Err(i));
    // Restarted with its clock two hours back, its beats still go on past its last run's.
    ASSERT_EQ(Shell("ip link set " + DatabaseLink(kServers) + " up"), 0);
    StopServer(kServers, SIGTERM);
    SetClockOffset(kServers, -7200);
    StartServer(kServers);
    for (int i = 1; i < kServers; ++i) {
        ASSERT_TRUE(AwaitTold(i, "farm member " + ServerAddress(kServers) + " clock is 7200 s behind", 1));
        ASSERT_TRUE(AwaitTold(kServers, "farm member " + ServerAddress(i) + " clock is 7200 s ahead", 1));
    }
    // The others follow its return (within a second), before its link goes.
    std::vector<int> clients = Clients(200);
    auto once = [&clients](const Answers &answers) {
        for (int client : clients)
            if (!answers.count(client) || answers.at(client).size() != 1) return false;
        return true;
    };
    for (int i = 0; i < 20 && !once(Exchange(1, clients)); ++i) usleep(100000);
    ASSERT_EQ(Shell("ip link set " + DatabaseLink(kServers) + " down"), 0);
    ExpectOneAnswerEachFor(8);
}

// 60 clients that DISCOVER and never REQUEST, so every member holds their
// offers, on ranges of 32 addresses: a clean stop hands its clients over at
// once, to members with room; a member that starts again answers none of
// the clients the others hold; a crash moves the crashed member's clients to
// the room left. No client is ever offered twice in a round.
TEST_F(HostFarmTest, HeldOffersMoveOnlyToRoomAtAStopARestartAndACrash) {
    ShrinkRanges(32);
    std::vector<int> clients = Clients(60);
    ASSERT_TRUE(AtMostOnceUntilAll(clients, 10)) << "all offered";
    {
        SCOPED_TRACE("SIGTERM");
        kill(m_Pids[2], SIGTERM);
        EXPECT_TRUE(AtMostOnceUntilAll(clients, 4)) << "its clients taken at once, spilling to room";
        waitpid(m_Pids[2], nullptr, 0);
        m_Pids[2] = -1;
    }
    {
        SCOPED_TRACE("restart");
        unlink(Err(2).c_str());
        StartServer(2);
        // Every round while it starts and after: each client once, by the member holding its offer.
        for (int round = 0; round < 30 && ReadWholeFile(Err(2)).find("answering") == std::string::npos; ++round)
            OwnersOf(Exchange(1, clients), clients);
        EXPECT_NE(ReadWholeFile(Err(2)).find("tavrel-host: heard the farm (3 live); answering"), std::string::npos)
            << ReadWholeFile(Err(2));
        OwnersOf(Exchange(1, clients), clients);
    }
    {
        SCOPED_TRACE("kill -9");
        StopServer(3, SIGKILL);
        EXPECT_TRUE(AtMostOnceUntilAll(clients, 40)) << "its clients answered once it is found dead";
    }
}

// A member that starts again while its direct heartbeats do not get through
// (the others learn of it from the database, a little later) answers no
// client before the others have stopped answering its clients.
TEST_F(HostFarmTest, RestartedMemberAnswersOnlyOnceTheOthersSeeIt) {
    std::vector<int> held = Clients(60);
    ASSERT_TRUE(AtMostOnceUntilAll(held, 10)) << "60 offers held";
    StopServer(2, SIGTERM);
    ASSERT_TRUE(AtMostOnceUntilAll(held, 4));
    ASSERT_EQ(Shell("ip -n " + Namespace(2) + " route add blackhole 192.0.2.1/32 && ip -n " + Namespace(2) +
                    " route add blackhole 192.0.2.3/32"),
              0);
    unlink(Err(2).c_str());
    StartServer(2);
    // New clients in quick rounds while it starts, then two more rounds.
    int next = 1000, after = 0;
    for (int round = 0; round < 100 && after < 2; ++round) {
        after += ReadWholeFile(Err(2)).find("answering") != std::string::npos;
        std::vector<int> clients = held;
        for (int i = 0; i < 20; ++i) clients.push_back(next++);
        Answers answers = Exchange(1, clients, nullptr, 100);
        for (int client : clients) {
            size_t n = answers.count(client) ? answers[client].size() : 0;
            EXPECT_LE(n, 1u) << "client " << client << " in round " << round;
            if (client < 1000) {
                EXPECT_EQ(n, 1u) << "held client " << client << " in round " << round;
            }
        }
    }
    EXPECT_EQ(after, 2) << ReadWholeFile(Err(2));
}
