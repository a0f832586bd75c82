// TFTP through the exports: read requests, option acknowledgements and
// blocks, with real datagrams on loopback inside a namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <fstream>
#include <random>
#include <string>

#include "Tavrel.h"
#include "support/dhcp_client.h"
#include "support/pxe_config.h"
#include "support/temp_tree.h"

namespace {

int TAVREL_CALLBACK NoChoice(const unsigned char *, char *) { return 0; }
int TAVREL_CALLBACK AcceptReport(SelectMirrorRecord *) { return 1; }

Bytes Rrq(const std::string &name, const std::vector<std::string> &options = {}) {
    Bytes m = {0, 1};
    auto add = [&m](const std::string &text) {
        m.insert(m.end(), text.begin(), text.end());
        m.push_back(0);
    };
    add(name);
    add("octet");
    for (const std::string &option : options) add(option);
    return m;
}

Bytes Ack(unsigned block) { return {0, 4, static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)}; }

Bytes Oack(const std::string &option, const std::string &value) {
    Bytes m = {0, 6};
    m.insert(m.end(), option.begin(), option.end());
    m.push_back(0);
    m.insert(m.end(), value.begin(), value.end());
    m.push_back(0);
    return m;
}

class TftpTest : public testing::Test {
protected:
    void SetUp() override {
        m_Root = m_Files.Root() + "/boot";
        mkdir(m_Root.c_str(), 0755);
        Write("k1024", std::string(1024, 'a'));
        std::string thousand;
        for (int i = 0; i < 1000; ++i) thousand += static_cast<char>('0' + i % 10);
        Write("k1000", thousand);
        Write("empty", "");
        Write("other", std::string(600, 'o'));
        RegisterSelectPxeCallback(NoChoice, AcceptReport);
        m_Server = MakeServer("127.0.0.1", m_Root.c_str());
        ASSERT_EQ(StartPXE(&m_Server, nullptr, 0, nullptr, 0), 0);
    }
    void TearDown() override { StopPXE(); }
    void Write(const std::string &name, const std::string &bytes) {
        std::ofstream(m_Root + "/" + name, std::ios::binary) << bytes;
    }
    static Bytes Exchange(TestSocket &client, const Bytes &request, int timeoutMs = 1500) {
        client.SendTo("127.0.0.1", 69, request.data(), request.size());
        bool ok = false;
        Bytes answer = client.Receive(timeoutMs, &ok);
        return ok ? answer : Bytes{0xde, 0xad};
    }
    static bool Silent(TestSocket &client, const Bytes &request) {
        client.SendTo("127.0.0.1", 69, request.data(), request.size());
        bool ok = false;
        client.Receive(400, &ok);
        return !ok;
    }
    static Bytes Data(unsigned block, const std::string &bytes) {
        Bytes m = {0, 3, static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)};
        m.insert(m.end(), bytes.begin(), bytes.end());
        return m;
    }

    TempTree m_Files;
    std::string m_Root;
    TeskPxeServerStruct m_Server{};
};

}  // namespace

TEST_F(TftpTest, OptionAcknowledgements) {
    TestSocket client("127.0.0.2", 2000);
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"tsize", "0"})), Oack("tsize", "1024"));
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"blksize", "1024"})), Oack("blksize", "1024"));
    EXPECT_EQ(Exchange(client, Ack(0)), Data(1, std::string(1024, 'a')));
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"blksize", "100"})), Oack("blksize", "512"));
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"blksize", "8192"})), Oack("blksize", "1500"));
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"blksize", "abc"})), Oack("blksize", "512"));
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"timeout", "1"})), Oack("timeout", "5"));
    // Nothing to acknowledge: the first block comes at once.
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"windowsize", "4"})), Data(1, std::string(512, 'a')));
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"blksize", ""})), Data(1, std::string(512, 'a')));
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"BLKSIZE", "1024"})), Data(1, std::string(512, 'a')));
}

TEST_F(TftpTest, BlocksFollowAcknowledgements) {
    TestSocket client("127.0.0.3", 2000);
    EXPECT_EQ(Exchange(client, Rrq("k1024")), Data(1, std::string(512, 'a')));
    EXPECT_EQ(Exchange(client, Ack(1)), Data(2, std::string(512, 'a')));
    EXPECT_EQ(Exchange(client, Ack(2)), Data(3, ""));
    EXPECT_EQ(Exchange(client, Ack(3)), Data(4, ""));

    Exchange(client, Rrq("k1000"));
    Bytes second = Exchange(client, Ack(1));
    ASSERT_EQ(second.size(), 4u + 488u);
    EXPECT_EQ(second[4], '2') << "offset 512";
    EXPECT_EQ(Exchange(client, Ack(2)), Data(3, ""));

    EXPECT_EQ(Exchange(client, Rrq("empty")), Data(1, ""));
    EXPECT_EQ(Exchange(client, Rrq("empty", {"tsize", "0"})), Oack("tsize", "0"));
    EXPECT_EQ(Exchange(client, Ack(0)), Data(1, ""));
}

TEST_F(TftpTest, RepeatedAckAndBlockSizeRevert) {
    std::string big(8000, 'b');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    Write("big", big);
    TestSocket client("127.0.0.4", 2000);
    Exchange(client, Rrq("big", {"blksize", "600"}));
    Bytes first = Exchange(client, Ack(7));
    EXPECT_EQ(first, Data(8, big.substr(600 * 7, 600)));
    EXPECT_EQ(Exchange(client, Ack(7)), first);
    Exchange(client, Rrq("big"));
    EXPECT_EQ(Exchange(client, Ack(1)), Data(2, big.substr(512, 512))) << "512 again without blksize";
}

TEST_F(TftpTest, RefusalsAndUnansweredPackets) {
    TestSocket fresh("127.0.0.5", 2000);
    EXPECT_TRUE(Silent(fresh, Ack(0))) << "no read request yet";
    Bytes refusal = {0, 5, 0, 0};
    std::string text = "No Such File/No Access";
    refusal.insert(refusal.end(), text.begin(), text.end());
    EXPECT_EQ(Exchange(fresh, Rrq("missing.bin")), refusal);
    EXPECT_EQ(refusal.size(), 26u);
    EXPECT_TRUE(Silent(fresh, Ack(0)));
    EXPECT_EQ(Exchange(fresh, Rrq("")), refusal);
    EXPECT_EQ(Exchange(fresh, Rrq("../etc/passwd")), refusal);

    FileTail log(TodaysLogPath());
    testing::internal::CaptureStdout();  // this process's lines only
    Bytes aborted = {0, 5, 0, 0};
    std::string abortText = "TFTP Aborted";
    aborted.insert(aborted.end(), abortText.begin(), abortText.end());
    aborted.push_back(0);
    Bytes echo = {0, 5};
    echo.insert(echo.end(), abortText.begin(), abortText.end());
    EXPECT_EQ(Exchange(fresh, aborted), echo);
    EXPECT_EQ(echo.size(), 14u);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("error tag"), std::string::npos);
    EXPECT_EQ(Exchange(fresh, Bytes{0, 5, 0, 1, 'x', 0}), (Bytes{0, 5, 'x'}));
    EXPECT_NE(log.Read().find("error tag -x- TeskTftpServer -- 415"), std::string::npos);

    EXPECT_TRUE(Silent(fresh, Bytes{0, 2, 'f', 0, 'o', 0}));
    EXPECT_NE(log.Read().find("dont opcode 2-"), std::string::npos);
    EXPECT_TRUE(Silent(fresh, Bytes{0, 3, 0, 1}));
    EXPECT_NE(log.Read().find("recvfrom data TeskTftpServer -- 405"), std::string::npos);
    // A name that fills the datagram with no zero byte is read within it.
    Bytes unterminated = {0, 1};
    unterminated.insert(unterminated.end(), 1498, 'n');
    EXPECT_EQ(Exchange(fresh, unterminated), refusal);
}

TEST_F(TftpTest, OneAddressSharesItsTransferAcrossPorts) {
    TestSocket first("127.0.0.6", 2001), second("127.0.0.6", 2002);
    Exchange(first, Rrq("k1024"));
    Exchange(second, Rrq("other"));
    EXPECT_EQ(Exchange(first, Ack(1)), Data(2, std::string(88, 'o')));
    EXPECT_EQ(Exchange(second, Ack(0)), Data(1, std::string(512, 'o')));
}

TEST_F(TftpTest, PxeClientSequence) {
    std::string image(100000, 0);
    std::mt19937 random(3);
    for (char &c : image) c = static_cast<char>(random());
    Write("boot.efi", image);
    TestSocket probe("127.0.0.7", 3001);
    EXPECT_EQ(Exchange(probe, Rrq("boot.efi", {"tsize", "0", "blksize", "1468"})), Oack("tsize", "100000"));
    Bytes aborted = {0, 5, 0, 8};
    for (char c : std::string("TFTP Aborted")) aborted.push_back(static_cast<unsigned char>(c));
    aborted.push_back(0);
    Exchange(probe, aborted);
    TestSocket fetch("127.0.0.7", 3002);
    EXPECT_EQ(Exchange(fetch, Rrq("boot.efi", {"blksize", "1456"})), Oack("blksize", "1456"));
    std::string received;
    for (unsigned block = 0;; ++block) {
        Bytes data = Exchange(fetch, Ack(block));
        ASSERT_GE(data.size(), 4u);
        ASSERT_EQ(data[1], 3);
        ASSERT_EQ((data[2] << 8 | data[3]), static_cast<int>(block + 1));
        received.append(data.begin() + 4, data.end());
        if (data.size() < 4 + 1456) break;
    }
    EXPECT_EQ(received, image);
}

TEST_F(TftpTest, BlockNumbersRollOverPastBlock65535) {
    std::string large(65540u * 512u, 0);
    for (size_t i = 0; i < large.size(); i += 512) memcpy(&large[i], &i, sizeof i);
    Write("large", large);
    TestSocket client("127.0.0.8", 2000);
    EXPECT_EQ(Exchange(client, Rrq("large", {"tsize", "0"})), Oack("tsize", std::to_string(large.size())));
    // Acknowledgements are answered from the block number alone, so the test
    // may start just before the wrap (whole downloads are the interop tests').
    for (uint32_t block = 65530; block < 65541; ++block) {
        Bytes data = Exchange(client, Ack(block & 0xFFFF));
        ASSERT_GE(data.size(), 4u) << block;
        ASSERT_EQ((data[2] << 8 | data[3]), static_cast<int>((block + 1) & 0xFFFF)) << block;
        size_t offset = static_cast<size_t>(block) * 512;
        size_t length = std::min<size_t>(512, large.size() - std::min(offset, large.size()));
        EXPECT_EQ(std::string(data.begin() + 4, data.end()), large.substr(std::min(offset, large.size()), length))
            << "block " << block + 1;
        if (block == 65536) {
            EXPECT_EQ(Exchange(client, Ack(0)), data) << "a repeated acknowledgement after the wrap";
        }
    }
}

// Random datagrams, mutated from real requests, must leave nothing worse
// than dropped packets: afterwards a transfer still works.
TEST_F(TftpTest, RandomDatagramsLeaveTheServiceWorking) {
    std::vector<Bytes> seeds = {Rrq("k1024", {"blksize", "1428", "tsize", "0"}), Rrq("k1000"), Ack(1),
                                Bytes{0, 5, 0, 1, 'e', 'r', 'r', 0}, Rrq("other", {"tsize"})};
    std::mt19937 random(11);
    TestSocket noise("127.0.0.9", 2000);
    for (int round = 0; round < 20000; ++round) {
        Bytes data = seeds[random() % seeds.size()];
        for (int e = 0, edits = 1 + static_cast<int>(random() % 6); e < edits; ++e) {
            switch (random() % 3) {
                case 0: data[random() % data.size()] = static_cast<unsigned char>(random()); break;
                case 1: data.resize(1 + random() % 1500, static_cast<unsigned char>(random())); break;
                default: data[random() % data.size()] = 0;
            }
        }
        noise.SendTo("127.0.0.1", 69, data.data(), data.size());
        if (round % 200 == 199) {
            // Let the service catch up, so no queue overflows and drops noise unread.
            TestSocket probe("127.0.0.11", 2000);
            ASSERT_EQ(Exchange(probe, Rrq("k1024", {"tsize", "0"}), 10000), Oack("tsize", "1024")) << round;
            bool ok = true;
            while (ok) noise.Receive(0, &ok);
        }
    }
    TestSocket client("127.0.0.10", 2000);
    EXPECT_EQ(Exchange(client, Rrq("k1024", {"tsize", "0"}), 5000), Oack("tsize", "1024"));
    EXPECT_EQ(Exchange(client, Ack(0)), Data(1, std::string(512, 'a')));
}
