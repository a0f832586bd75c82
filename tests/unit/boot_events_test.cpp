// Boot events: a slow observer loses events, counted, and never holds up
// the thread that emits; what is queued reaches the observer, in order,
// before delivery stops; the DHCP responder tells every answer and refusal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

#include "dhcp/dhcp_responder.h"
#include "events/boot_events.h"
#include "support/dhcp_client.h"
#include "support/pxe_config.h"

namespace {

std::atomic<bool> g_bHold{false};
std::atomic<bool> g_bHeld{false};
std::vector<BootEventRecord> g_Delivered;  // written by the delivery thread only

void TAVREL_CALLBACK SlowObserver(const BootEventRecord *event) {
    g_bHeld = true;
    for (int i = 0; i < 20000 && g_bHold; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    g_Delivered.push_back(*event);
}

void TAVREL_CALLBACK LeavingObserver(const BootEventRecord *event) {
    g_Delivered.push_back(*event);
    RegisterBootEventCallback(nullptr);  // from its own thread: must not wait for itself
}

void Emit(int nSequence) {
    BootEvent event = NewBootEvent(TAVREL_EVENT_TFTP_ENDED, TAVREL_REASON_NONE, 69);
    event.record.bytes = nSequence;
    EmitBootEvent(event);
}

std::vector<BootEventRecordV6> g_DeliveredV6;  // written by the delivery thread only
void TAVREL_CALLBACK Observer(const BootEventRecord *event) { g_Delivered.push_back(*event); }
void TAVREL_CALLBACK ObserverV6(const BootEventRecordV6 *event) { g_DeliveredV6.push_back(*event); }

}  // namespace

// An IPv6 event reaches the IPv6 observer alone, with its address and the
// DUID beside the record; an IPv4 one the IPv4 observer alone, as it did.
TEST(BootEvents, IpFamiliesReachTheirOwnObservers) {
    g_Delivered.clear();
    g_DeliveredV6.clear();
    RegisterBootEventCallbackV6(ObserverV6);
    EXPECT_TRUE(BootEventsWanted()) << "an IPv6 observer alone wants events";
    RegisterBootEventCallback(Observer);
    StartBootEventDelivery();
    EmitTftpStarted(IpAddress::FromV4Host(0xC0000209), "pxelinux.0", 100, 1456, 1);
    const unsigned char duid[] = {0x00, 0x04, 0xab, 0xcd, 0xef};
    ClientKey key;
    ASSERT_TRUE(ClientKey::FromDuid(duid, sizeof duid, &key));
    IpAddress bound;
    ASSERT_TRUE(ParseIpAddress("2001:db8::5", &bound));
    EmitDhcpAnswer(547, 7, nullptr, bound, key, 7, "iPXE", "tftp://[2001:db8::1]/ipxe.efi");
    IpAddress linkLocal;
    ASSERT_TRUE(ParseIpAddress("fe80::1%3", &linkLocal));
    EmitTftpStarted(linkLocal, "ipxe.efi", 100, 1432, 1);
    StopBootEventDelivery();
    RegisterBootEventCallback(nullptr);
    RegisterBootEventCallbackV6(nullptr);
    ASSERT_EQ(g_Delivered.size(), 1u);
    EXPECT_STREQ(g_Delivered[0].address, "192.0.2.9");
    ASSERT_EQ(g_DeliveredV6.size(), 2u);
    const BootEventRecordV6 &answer = g_DeliveredV6[0];
    EXPECT_EQ(int{answer.base.port}, 547);
    EXPECT_EQ(int{answer.base.kind}, TAVREL_EVENT_DHCP_ANSWER);
    EXPECT_STREQ(answer.base.address, "");
    EXPECT_STREQ(answer.base.file, "tftp://[2001:db8::1]/ipxe.efi");
    EXPECT_STREQ(answer.address, "2001:db8::5");
    EXPECT_STREQ(answer.clientkey, "duid-0004abcdef");
    EXPECT_STREQ(g_DeliveredV6[1].address, "fe80::1%3");
    EXPECT_STREQ(g_DeliveredV6[1].clientkey, "") << "no key: no DUID";
    EXPECT_EQ(int{g_DeliveredV6[1].base.blksize}, 1432);
}

TEST(BootEvents, SlowObserverDropsAndCountsInOrder) {
    EXPECT_FALSE(BootEventsWanted());
    g_Delivered.clear();
    g_bHold = true;
    RegisterBootEventCallback(SlowObserver);
    StartBootEventDelivery();
    EXPECT_TRUE(BootEventsWanted());
    Emit(0);
    for (int i = 0; i < 5000 && !g_bHeld; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(g_bHeld) << "the observer got the first event";
    const int kEmitted = 20000;  // more than the queue holds, while the observer sleeps
    for (int i = 1; i < kEmitted; ++i) Emit(i);
    int64_t dropped = DroppedBootEvents();
    EXPECT_GT(dropped, 0);
    g_bHold = false;
    StopBootEventDelivery();  // delivers what is queued before it returns
    ASSERT_FALSE(g_Delivered.empty());
    EXPECT_EQ(static_cast<int64_t>(g_Delivered.size()) + dropped, kEmitted);
    // Packed records: fields are copied out before they are compared.
    for (size_t i = 1; i < g_Delivered.size(); ++i)
        ASSERT_LT(int64_t{g_Delivered[i - 1].bytes}, int64_t{g_Delivered[i].bytes});
    EXPECT_EQ(int64_t{g_Delivered.back().dropped}, dropped) << "the drop count travels with the events";
    EXPECT_EQ(int{g_Delivered.front().arch}, -1);
    EXPECT_EQ(int64_t{g_Delivered.front().size}, -1);
    EXPECT_GT(int64_t{g_Delivered.front().time}, 1600000000);
    RegisterBootEventCallback(nullptr);
    EXPECT_FALSE(BootEventsWanted());
}

TEST(BootEvents, ObserverMayRemoveItself) {
    g_Delivered.clear();
    RegisterBootEventCallback(LeavingObserver);
    StartBootEventDelivery();
    Emit(1);
    for (int i = 0; i < 5000 && BootEventsWanted(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(BootEventsWanted());
    StopBootEventDelivery();
    EXPECT_EQ(g_Delivered.size(), 1u);
    // A new observer starts delivery again while the services run.
    g_Delivered.clear();
    StartBootEventDelivery();
    RegisterBootEventCallback(SlowObserver);
    Emit(2);
    // The record shows an IPv4 address as it always did; an IPv6 event is
    // the IPv6 observer's alone.
    IpAddress v6;
    ASSERT_TRUE(ParseIpAddress("2001:db8::7", &v6));
    EmitTftpRefused(IpAddress::FromV4Host(0xc0000207), "a", TAVREL_REASON_NONE);
    EmitTftpRefused(v6, "b", TAVREL_REASON_NONE);
    StopBootEventDelivery();
    ASSERT_EQ(g_Delivered.size(), 2u);
    EXPECT_EQ(int64_t{g_Delivered[0].bytes}, 2);
    EXPECT_EQ(std::string(g_Delivered[1].address, 16), std::string("192.0.2.7\0\0\0\0\0\0\0", 16));
    RegisterBootEventCallback(nullptr);
}

namespace {

int TAVREL_CALLBACK OthersServe0x66(const unsigned char *mac, char *server) {
    if (mac[5] != 0x66) return 0;
    strcpy(server, "10.0.0.2");
    return 1;
}
int TAVREL_CALLBACK TakeReport(SelectMirrorRecord *) { return 1; }
void TAVREL_CALLBACK Collect(const BootEventRecord *event) { g_Delivered.push_back(*event); }

}  // namespace

// Each way the responder answers or stays silent is one event, with the
// reason its refusal stands for.
TEST(BootEvents, ResponderTellsAnswersAndRefusals) {
    DhcpHostHooks hooks;
    hooks.selectPxeServer = OthersServe0x66;
    hooks.selectMirrorServerToDB = TakeReport;
    LeaseBook leases;
    ASSERT_TRUE(leases.CreateCaches());
    TeskPxeServerStruct config = MakeServer("10.0.0.1");
    TeskSubNetStruct range = MakeSubNet("10.0.0.10", "10.0.0.11", 1);
    leases.Install(BuildConfigSnapshot(&config, &range, 1, nullptr, 0));
    std::atomic<uint32_t> broadcast{0};
    TeskDhcpResponder responder(leases, hooks, broadcast);
    auto record = std::make_unique<TeskDhcpResponder::_socklist>();
    uint32_t dwLocal = 0;  // the address a datagram was sent to: 0 for a broadcast
    auto send = [&](const Bytes &data, int nSocket) {
        memset(record.get(), 0, sizeof *record);
        record->dwLocalAddr = dwLocal;
        memcpy(record->data, data.data(), data.size());
        record->nRecvLen = static_cast<int>(data.size());
        record->nSocketType = nSocket;
        record->peer = platform::MakeSockAddr(Ip("10.0.0.200"), 68);
        TeskDhcpResponder::AnswerDestination to{};
        responder.Answer(record.get(), 1, &to);
    };
    auto dhcp = [&](unsigned char byType, unsigned char last, auto &&change) {
        DhcpRequest request;
        request.byType = byType;
        request.abMac[5] = last;
        request.nArch = 7;
        request.userClass = "iPXE";
        change(request);
        send(BuildDhcp(request), TeskDhcpResponder::SOCK_DHCP);
    };
    auto same = [](DhcpRequest &) {};
    auto pack = [&](unsigned char op, unsigned char last) {
        Bytes data(292, 0);
        data[0] = 0x75, data[1] = 0x6d, data[9] = last, data[12] = op;
        send(data, TeskDhcpResponder::SOCK_SELECT);
    };
    g_Delivered.clear();
    RegisterBootEventCallback(Collect);
    StartBootEventDelivery();
    dhcp(1, 0x01, same);                                          // offered 10.0.0.10
    dhcp(1, 0x66, same);                                          // the host gives it to 10.0.0.2
    dhcp(1, 0x02, same);                                          // offered 10.0.0.11
    dhcp(1, 0x03, same);                                          // the range is held by the two offers
    dhcp(1, 0x04, [](DhcpRequest &r) { r.dwGiaddr = Ip("198.51.100.1"); });
    dhcp(3, 0x01, [](DhcpRequest &r) { r.dwRequested = Ip("10.0.0.10"), r.dwServerId = Ip("10.0.0.2"); });
    dhcp(4, 0x01, [](DhcpRequest &r) { r.dwRequested = Ip("10.0.0.10"); });
    dhcp(1, 0x05, [](DhcpRequest &r) { r.byOp = 2; });
    dhcp(7, 0x01, same);                                          // RELEASE
    dhcp(1, 0x06, [](DhcpRequest &r) { r.vendor = "udhcp 1.36.1"; });  // no range of its class
    // RENEWING on 10.0.0.10, free again, that this server never leased: broadcast, then sent to it.
    auto renewing = [](DhcpRequest &r) { r.dwCiaddr = Ip("10.0.0.10"); };
    dhcp(3, 0x09, renewing);
    dwLocal = Ip("10.0.0.1");
    dhcp(3, 0x09, renewing);
    pack(1, 0x66);
    pack(1, 0x02);  // answered with its offer
    pack(2, 0x07);
    send(BuildDhcp(DhcpRequest{}), TeskDhcpResponder::SOCK_PROXY);
    StopBootEventDelivery();
    RegisterBootEventCallback(nullptr);

    const struct {
        int nKind, nReason, nPort;
        unsigned char last;
    } expected[] = {
        {TAVREL_EVENT_DHCP_ANSWER, 0, 67, 0x01},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_HOST_DECLINED, 67, 0x66},
        {TAVREL_EVENT_DHCP_ANSWER, 0, 67, 0x02},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_NO_FREE_ADDRESS, 67, 0x03},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_RELAY_NOT_ALLOWED, 67, 0x04},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_OTHER_SERVER, 67, 0x01},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_DECLINED_ADDRESS, 67, 0x01},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_MALFORMED, 67, 0x05},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_NOT_ANSWERED_TYPE, 67, 0x01},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_NO_RANGE_FOR_CLASS, 67, 0x06},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_UNKNOWN_LEASE, 67, 0x09},
        {TAVREL_EVENT_DHCP_ANSWER, TAVREL_REASON_UNKNOWN_LEASE, 67, 0x09},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_HOST_DECLINED, 4455, 0x66},
        {TAVREL_EVENT_MIRROR_REQUEST, 0, 4455, 0x02},
        {TAVREL_EVENT_MIRROR_REPORT, 0, 4455, 0x07},
        {TAVREL_EVENT_DHCP_ANSWER, 0, 4011, 0x56},
    };
    ASSERT_EQ(g_Delivered.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < g_Delivered.size(); ++i) {
        const BootEventRecord event = g_Delivered[i];
        EXPECT_EQ(event.kind, expected[i].nKind) << i;
        EXPECT_EQ(event.reason, expected[i].nReason) << i;
        EXPECT_EQ(event.port, expected[i].nPort) << i;
        EXPECT_EQ(event.mac[5], expected[i].last) << i;
    }
    const BootEventRecord offer = g_Delivered[0];
    EXPECT_STREQ(offer.address, "10.0.0.10");
    EXPECT_EQ(offer.messagetype, 2);
    EXPECT_EQ(offer.arch, 7);
    EXPECT_STREQ(offer.userclass, "iPXE");
    EXPECT_STREQ(offer.file, "pxelinux.0");
    EXPECT_EQ(g_Delivered[6].messagetype, 4) << "the DECLINE itself";
    EXPECT_STREQ(g_Delivered[13].server, "10.0.0.1") << "an answered request, in its byte order";
    EXPECT_EQ(g_Delivered[11].messagetype, 6) << "a NAK";
}

namespace {

std::vector<BootEventRecordEx> g_DeliveredEx;  // written by the delivery thread only
void TAVREL_CALLBACK CollectEx(const BootEventRecordEx *event) { g_DeliveredEx.push_back(*event); }

// REQUEST with option CODE (DATA) before the end option.
Bytes WithOption(Bytes message, int code, const Bytes &data) {
    auto end = std::find(message.begin() + 240, message.end(), 255);
    Bytes option = {static_cast<unsigned char>(code), static_cast<unsigned char>(data.size())};
    option.insert(option.end(), data.begin(), data.end());
    message.insert(end, option.begin(), option.end());
    return message;
}

}  // namespace

// Each quirk a request shows reaches the extended event by bit and name,
// and the answer works around it. The Raspberry Pi exchanges follow the
// bootloader's documentation and the traces of its public bug reports (no
// emulator runs the Pi bootloader): a Pi 4 (dc:a6:32) and a Pi 5 (88:a2:9e)
// send option 60 "PXEClient:Arch:00000:UNDI:002001", 93 = 0 and 97, and the
// REQUEST leaves out option 60.
TEST(BootEvents, QuirksReachTheirEventsAndAnswers) {
    DhcpHostHooks hooks;
    LeaseBook leases;
    ASSERT_TRUE(leases.CreateCaches());
    TeskPxeServerStruct config = MakeServer("10.0.0.1");
    TeskSubNetStruct range = MakeSubNet("10.0.0.10", "10.0.0.30", 1);  // booting clients only, as shipped
    leases.Install(BuildConfigSnapshot(&config, &range, 1, nullptr, 0));
    std::atomic<uint32_t> broadcast{0};
    TeskDhcpResponder responder(leases, hooks, broadcast);
    auto record = std::make_unique<TeskDhcpResponder::_socklist>();
    TeskDhcpResponder::AnswerDestination to{};
    auto send = [&](const Bytes &data, int nSocket, uint32_t dwPeer, uint16_t wPort) {
        memset(record.get(), 0, sizeof *record);
        memcpy(record->data, data.data(), data.size());
        record->nRecvLen = static_cast<int>(data.size());
        record->nSocketType = nSocket;
        record->peer = platform::MakeSockAddr(dwPeer, wPort);
        to = {};
        int nResult = responder.Answer(record.get(), 1, &to);
        return nResult == 0 ? Bytes(record->data, record->data + record->nSendLen) : Bytes();
    };
    const unsigned char pi4[6] = {0xdc, 0xa6, 0x32, 0x01, 0x02, 0x03}, pi5[6] = {0x88, 0xa2, 0x9e, 0x0a, 0x0b, 0x0c};
    auto request = [](const unsigned char *mac, int nArch, const char *lpVendor) {
        DhcpRequest r;
        memcpy(r.abMac, mac, 6);
        r.nArch = nArch;
        r.vendor = lpVendor;
        return r;
    };
    const char *kPiClass = "PXEClient:Arch:00000:UNDI:002001";
    const Bytes guid(17, 0x44);
    g_DeliveredEx.clear();
    RegisterBootEventCallbackEx(CollectEx);
    StartBootEventDelivery();
    const unsigned char pc[6] = {0x52, 0x54, 0x00, 0, 0, 0x31};
    EXPECT_FALSE(send(BuildDhcp(request(pc, 7, "PXEClient:Arch:00007:UNDI:003000")), 0, 0, 68).empty());
    EXPECT_FALSE(send(BuildDhcp(request(pc, -1, "PXEClient:Arch:00009:UNDI:003000")), 0, 0, 68).empty());
    Bytes ipxe = WithOption(BuildDhcp(request(pc, 0, kPiClass)), 175, {0xb1, 1, 1});
    ipxe[10] = 0x80;  // the broadcast flag
    EXPECT_FALSE(send(ipxe, 0, 0, 68).empty());
    Bytes http = send(BuildDhcp(request(pc, 16, "HTTPClient:Arch:00016:UNDI:003001")), 0, 0, 68);
    ASSERT_FALSE(http.empty()) << "a range of booting clients serves UEFI HTTP Boot";
    Bytes proxy = send(BuildDhcp(request(pc, 7, "PXEClient:Arch:00007:UNDI:003000")), 1, 0, 4011);
    EXPECT_TRUE(to.bBroadcast) << "from 0.0.0.0: no address to answer to";
    for (const unsigned char *mac : {pi4, pi5}) {
        Bytes discover = WithOption(BuildDhcp(request(mac, 0, kPiClass)), 97, guid);
        Bytes offer = send(discover, 0, 0, 68);
        ASSERT_FALSE(offer.empty());
        const Bytes menu = {6, 1, 3, 10, 4, 0, 'P', 'X', 'E', 9, 23, 0, 0, 20, 'R', 'a', 's', 'p', 'b', 'e', 'r',
                            'r', 'y', ' ', 'P', 'i', ' ', 'B', 'o', 'o', 't', ' ', ' ', ' ', 255};
        EXPECT_EQ(OptionOf(offer, 43), menu);
        EXPECT_EQ(OptionOf(offer, 66), Bytes({'1', '0', '.', '0', '.', '0', '.', '1'}));
        EXPECT_EQ(AddrAt(offer, 20), Ip("10.0.0.1"));
        EXPECT_EQ(offer[108], 0) << "no boot file";
        DhcpRequest selecting = SelectingRequest(request(mac, 0, ""), offer);
        Bytes ack = send(WithOption(BuildDhcp(selecting), 97, guid), 0, 0, 68);
        ASSERT_FALSE(ack.empty()) << "its REQUEST without option 60";
        EXPECT_EQ(OptionOf(ack, 53), Bytes{5});
        EXPECT_EQ(OptionOf(ack, 43), menu);
        // A Pi 4 bootloader may take its TFTP server from a proxy: the 4011 shape.
        Bytes boot = send(discover, 1, Ip("10.0.0.40"), 68);
        EXPECT_EQ(OptionOf(boot, 43), menu);
        EXPECT_EQ(AddrAt(boot, 20), Ip("10.0.0.1"));
    }
    // EDK II sent to 4011 by another server's bare "PXEClient" offer: answered
    // as a client of ours is (past chaddr), and named; that server's REQUEST gets nothing.
    const unsigned char stranger[6] = {0x52, 0x54, 0x00, 0, 0, 0x77};
    Bytes foreign = send(BuildDhcp(request(stranger, 7, "PXEClient:Arch:00007:UNDI:003000")), 1, Ip("10.0.1.77"), 68);
    Bytes ours = send(BuildDhcp(request(pc, 7, "PXEClient:Arch:00007:UNDI:003000")), 1, Ip("10.0.1.77"), 68);
    EXPECT_TRUE(foreign.size() == ours.size() && std::equal(foreign.begin() + 34, foreign.end(), ours.begin() + 34));
    DhcpRequest theirs = request(stranger, 7, "PXEClient:Arch:00007:UNDI:003000");
    theirs.byType = 3, theirs.dwRequested = Ip("10.0.1.77"), theirs.dwServerId = Ip("10.0.1.1");
    EXPECT_TRUE(send(BuildDhcp(theirs), 0, 0, 68).empty());
    SET_TEXT(config.bootfile, "undionly.kpxe");  // iPXE handed iPXE again: named, served as chosen
    leases.Install(BuildConfigSnapshot(&config, &range, 1, nullptr, 0));
    Bytes loop = send(WithOption(BuildDhcp(request(pc, 0, kPiClass)), 175, {0xb1, 1, 1}), 0, 0, 68);
    EXPECT_STREQ(reinterpret_cast<const char *>(loop.data() + 108), "undionly.kpxe");
    StopBootEventDelivery();
    RegisterBootEventCallbackEx(nullptr);
    const char *expected[] = {"arch-7-9", "arch-7-9,arch-in-option-60", "ipxe,broadcast-answer", "http-boot-client",
                              "arch-7-9,broadcast-answer,boot-server-port-4011", "raspberry-pi", "raspberry-pi,pi-request-without-class",
                              "raspberry-pi", "raspberry-pi", "raspberry-pi,pi-request-without-class",
                              "raspberry-pi", "arch-7-9,foreign-pxe-offer", "arch-7-9", "arch-7-9",
                              "ipxe,ipxe-chain-loop"};
    ASSERT_EQ(g_DeliveredEx.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < g_DeliveredEx.size(); ++i) {
        EXPECT_STREQ(g_DeliveredEx[i].quirknames, expected[i]) << i;
        EXPECT_EQ(g_DeliveredEx[i].base.kind, i == 13 ? TAVREL_EVENT_DHCP_UNANSWERED : TAVREL_EVENT_DHCP_ANSWER) << i;
    }
    EXPECT_EQ(g_DeliveredEx[3].quirks, unsigned{TAVREL_QUIRK_HTTP_BOOT});
}
