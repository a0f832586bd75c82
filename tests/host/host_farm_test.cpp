// Three tavrel-host servers in namespaces of their own on one bridge, with a
// PostgreSQL server of the test's own, and a few hundred clients on the
// bridge: each client is answered by exactly one server, the clients are
// spread evenly, an assignment moves a client, a dead server's clients (and
// only they) move, a database outage loses no report, and overlapping
// ranges are refused.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "support/dhcp_client.h"
#include "support/shell.h"
#include "support/test_postgres.h"
#include "support/temp_tree.h"

namespace {

constexpr int kServers = 3;
constexpr int kClients = 600;
const char *const kBridgeAddress = "192.0.2.250";

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
                        "/24 dev tvbr && ip link set tvbr up && ip route add default dev tvbr"),
                  0);
        for (int i = 1; i <= kServers; ++i) {
            std::string ns = Namespace(i), veth = "tvf" + std::to_string(i);
            ASSERT_EQ(Shell("ip netns add " + ns + " && ip link add " + veth + " type veth peer name eth0 netns " + ns +
                            " && ip link set " + veth + " master tvbr up && ip -n " + ns + " addr add " +
                            ServerAddress(i) + "/24 dev eth0 && ip -n " + ns + " link set eth0 up && ip -n " + ns +
                            " link set lo up"),
                      0);
        }
        m_Postgres = std::make_unique<TestPostgres>(m_Tree.Root(), kBridgeAddress);
        ASSERT_TRUE(m_Postgres->Start());
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

    std::string Namespace(int server) const { return "tvfarm-" + m_Tag + "-" + std::to_string(server); }
    std::string Config(int server) const { return m_Tree.Root() + "/server" + std::to_string(server) + ".toml"; }
    static std::string Range(int server) {
        return "198.18." + std::to_string(server) + ".1-198.18." + std::to_string(server) + ".250";
    }
    void WriteConfig(int server, const std::string &range) {
        size_t dash = range.find('-');
        std::ofstream(Config(server)) << "[server]\naddress = \"" << ServerAddress(server)
                                      << "\"\nnetmask = \"255.255.255.0\"\nboot_file = \"boot.ipxe\"\n"
                                      << "boot_directory = \"" << m_Tree.Root() << "\"\n"
                                      << "[policy]\ndatabase = \"" << m_Postgres->Uri() << "\"\n"
                                      << "[farm]\nname = \"s" << server << "\"\n"
                                      << "[[range]]\nbegin = \"" << range.substr(0, dash) << "\"\nend = \""
                                      << range.substr(dash + 1) << "\"\nnetmask = \"255.254.0.0\"\nclass = \"boot\"\n";
    }
    void StartServer(int server) {
        std::string err = m_Tree.Root() + "/server" + std::to_string(server) + ".err";
        pid_t pid = fork();
        if (pid == 0) {
            freopen("/dev/null", "w", stdout);
            freopen(err.c_str(), "w", stderr);
            execlp("ip", "ip", "netns", "exec", Namespace(server).c_str(), TAVREL_HOST_BIN, "run",
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
    Answers Exchange(unsigned char type, const std::vector<int> &clients, const Answers *offers = nullptr) {
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
                Bytes reply = m_Client.Receive(400, &ok, &from);
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
    ASSERT_EQ(Shell(Cli(std::string("assign ") + text + " " + ServerAddress(target))), 0);
    usleep(1000000);
    std::map<int, int> after = OwnersOf(Exchange(1, one), one);
    EXPECT_EQ(after[7], target);
}

TEST_F(HostFarmTest, DeadServerLosesOnlyItsClients) {
    std::vector<int> clients = Clients(300);
    Answers offers = Exchange(1, clients);
    std::map<int, int> owners = OwnersOf(offers, clients);
    OwnersOf(Exchange(3, clients, &offers), clients);
    auto killed = std::chrono::steady_clock::now();
    StopServer(kServers, SIGKILL);
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

TEST_F(HostFarmTest, DatabaseOutageLosesNoReport) {
    ASSERT_TRUE(m_Postgres->Stop());
    auto stopped = std::chrono::steady_clock::now();
    TestSocket peer("0.0.0.0", 4455, false, true);
    constexpr int kReports = 60;
    for (int i = 0; i < kReports; ++i) {
        Bytes pack(292, 0);
        // Magic, MAC, operation 2 (a report).
        const unsigned char head[] = {0x75, 0x6d, 0, 0, 0x02, 0xbb, 0, 0, 0, static_cast<unsigned char>(i), 0, 0, 2};
        memcpy(pack.data(), head, sizeof head);
        peer.SendTo(ServerAddress(i % kServers + 1).c_str(), 4455, pack.data(), pack.size());
        usleep(20000);
    }
    // Still serving on what they knew.
    std::vector<int> some = Clients(30);
    OwnersOf(Exchange(1, some), some);
    std::this_thread::sleep_until(stopped + std::chrono::seconds(10));
    ASSERT_TRUE(m_Postgres->Start());
    std::string reports;
    for (int i = 0; i < 100 && Count(reports, "02:bb:00:00:00:") < kReports; ++i, usleep(200000))
        reports = Capture(Cli("reports --json"));
    EXPECT_EQ(Count(reports, "02:bb:00:00:00:"), static_cast<size_t>(kReports)) << reports;
    EXPECT_TRUE(AwaitLive(kServers));
    OwnersOf(Exchange(1, some), some);
}

TEST_F(HostFarmTest, OverlappingRangesAreRefused) {
    // A fourth server whose range reaches into the first one's.
    std::string config = m_Tree.Root() + "/server4.toml";
    std::ofstream(config) << "[server]\naddress = \"192.0.2.4\"\nnetmask = \"255.255.255.0\"\nboot_file = \"b\"\n"
                          << "boot_directory = \"" << m_Tree.Root() << "\"\n[policy]\ndatabase = \""
                          << m_Postgres->Uri() << "\"\n[farm]\nname = \"s4\"\n[[range]]\nbegin = \"198.18.1.200\"\n"
                          << "end = \"198.18.1.255\"\nnetmask = \"255.254.0.0\"\n";
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
