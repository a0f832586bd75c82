// The platform layer's results: a wait or join that runs out of time says so
// with a result no index, success or time limit can be mistaken for; UDP of
// either family tells where a datagram came from, went to and arrived.
// Runs in a network namespace of its own (netns-run).
#include <gtest/gtest.h>

#include <net/if.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/shell.h"

namespace {

TEST(PlatformWaitTest, TimedOutSignalledAndFailedWaitsAreTold) {
    platform::WaitHandle event = nullptr;
    ASSERT_EQ(platform::EventCreate(&event), 0);
    EXPECT_EQ(platform::WaitAny(&event, 1, 0), platform::kWaitTimedOut);
    platform::EventSet(event);
    EXPECT_EQ(platform::WaitAny(&event, 1, platform::kWaitForever), 0);
    int nFailed = platform::WaitAny(&event, 0, 0);
    EXPECT_LT(nFailed, 0);
    EXPECT_NE(nFailed, platform::kWaitTimedOut);
    platform::EventClose(event);
}

TEST(PlatformWaitTest, JoinTellsARunningThreadFromAnEndedOne) {
    static std::atomic<bool> release{false};
    platform::ThreadHandle thread = nullptr;
    auto body = [](void *) -> unsigned {
        while (!release.load()) std::this_thread::yield();
        return 0;
    };
    ASSERT_EQ(platform::ThreadStart(body, nullptr, &thread), 0);
    EXPECT_EQ(platform::ThreadJoin(thread, 10), platform::kWaitTimedOut);
    release.store(true);
    EXPECT_EQ(platform::ThreadJoin(thread, platform::kWaitForever), 0);
    platform::ThreadClose(thread);
}

// Only the namespace netns-run made: loopback and the test's own links.
bool InOwnNamespace() {
    struct if_nameindex *list = ::if_nameindex();
    bool own = list != nullptr;
    for (struct if_nameindex *it = list; it && it->if_index; ++it) {
        std::string name = it->if_name;
        if (name != "lo" && name.compare(0, 2, "tv") != 0) own = false;
    }
    if (list) if_freenameindex(list);
    return own;
}

IpAddress Address(const char *text) {
    IpAddress address;
    EXPECT_TRUE(ParseIpAddress(text, &address)) << text;
    return address;
}

platform::Socket BoundV6(const IpEndpoint &local, uint32_t dwInterface) {
    platform::Socket sock = platform::kInvalidSocket;
    EXPECT_EQ(platform::UdpOpenFamily(IpFamily::kV6, &sock), 0);
    EXPECT_EQ(platform::UdpBindEndpoint(sock, local, dwInterface), 0);
    return sock;
}

// The next datagram, waiting at most a few seconds for it.
int ReceiveWithin(platform::Socket sock, platform::UdpArrival *arrival, std::string *lpBytes = nullptr) {
    platform::WaitHandle event = nullptr;
    EXPECT_EQ(platform::SocketEventCreate(&event), 0);
    EXPECT_EQ(platform::SocketEventSelect(sock, event), 0);
    char buf[2048];
    int got = platform::WaitAny(&event, 1, 5000) == 0 ? platform::UdpReceive(sock, buf, sizeof buf, arrival) : -1;
    platform::SocketEventClose(event);
    if (lpBytes) lpBytes->assign(buf, got > 0 ? static_cast<size_t>(got) : 0);
    return got;
}

TEST(PlatformUdpTest, Ipv6ReceiveTellsDestinationInterfaceAndTheChosenSource) {
    if (!InOwnNamespace()) GTEST_SKIP() << "not in a network namespace of its own";
    // nodad: even on loopback a new address stays tentative, unusable as a
    // source, until the kernel's DAD work runs, which a loaded machine delays.
    ASSERT_EQ(Shell("ip -6 addr add 2001:db8::1/128 dev lo nodad && ip -6 addr add 2001:db8::2/128 dev lo nodad"), 0);
    uint32_t lo = 0;
    ASSERT_EQ(platform::InterfaceIndexOf("lo", &lo), 0);
    uint32_t held = 0;
    EXPECT_EQ(platform::FindLocalAddress(Address("2001:db8::2"), &held), 0);
    EXPECT_EQ(held, lo);
    EXPECT_EQ(platform::FindLocalAddress(Address("2001:db8::3"), &held), platform::kNotLocal);
    platform::Socket receiver = BoundV6(IpEndpoint(IpAddress::AnyOf(IpFamily::kV6), 5470), 0);
    platform::Socket sender = BoundV6(IpEndpoint(IpAddress::AnyOf(IpFamily::kV6), 0), 0);
    ASSERT_EQ(platform::UdpSendFrom(sender, "x", 1, IpEndpoint(Address("2001:db8::1"), 5470), Address("2001:db8::2")), 1);
    platform::UdpArrival arrival;
    ASSERT_EQ(ReceiveWithin(receiver, &arrival), 1);
    EXPECT_EQ(arrival.stFrom.Address(), Address("2001:db8::2"));
    EXPECT_EQ(arrival.stTo, Address("2001:db8::1"));
    EXPECT_EQ(arrival.dwInterface, lo);
    // An IPv6 socket takes no IPv4.
    EXPECT_LT(platform::UdpSendFrom(sender, "x", 1, IpEndpoint::FromV4Net(platform::HostToNet32(0x7f000001), 5470),
                                    IpAddress()), 0);
    platform::SocketClose(receiver);
    platform::SocketClose(sender);
}

TEST(PlatformUdpTest, MulticastJoinedOnALinkArrivesWithItsGroupAndInterface) {
    if (!InOwnNamespace()) GTEST_SKIP() << "not in a network namespace of its own";
    ASSERT_EQ(Shell("ip link add tv2 type veth peer name tv3 && ip link set tv3 up && ip link set tv2 up && "
                    "ip -6 addr add fe80::1/64 dev tv2 nodad"), 0);
    uint32_t link = 0;
    ASSERT_EQ(platform::InterfaceIndexOf("tv2", &link), 0);
    IpAddress group = Address("ff02::1:2");
    group.SetScope(link);
    platform::Socket receiver = BoundV6(IpEndpoint(IpAddress::AnyOf(IpFamily::kV6), 5471), link);
    ASSERT_EQ(platform::UdpJoinMulticast(receiver, group, link), 0);
    IpAddress source = Address("fe80::1");
    source.SetScope(link);
    uint32_t held = 0;
    EXPECT_EQ(platform::FindLocalAddress(source, &held), 0);
    EXPECT_EQ(held, link);
    platform::Socket sender = BoundV6(IpEndpoint(source, 0), 0);
    ASSERT_EQ(platform::UdpSendFrom(sender, "x", 1, IpEndpoint(group, 5471), source), 1);
    platform::UdpArrival arrival;
    ASSERT_EQ(ReceiveWithin(receiver, &arrival), 1);
    EXPECT_EQ(arrival.stTo, group);
    EXPECT_EQ(arrival.dwInterface, link);
    EXPECT_EQ(arrival.stFrom.Address(), source);
    char text[kIpEndpointTextSize];
    FormatIpEndpoint(arrival.stFrom, text, sizeof text);
    EXPECT_EQ(std::string(text).substr(0, 11), "[fe80::1%" + std::to_string(link) + "]");
    platform::SocketClose(receiver);
    platform::SocketClose(sender);
}

// A window goes out as datagrams of the sizes it was given, in order, both
// where the kernel cuts one send into them and where the route refuses that
// (datagrams above the link's MTU, sent in fragments) and the window goes
// datagram by datagram.
TEST(PlatformUdpTest, ABatchArrivesAsItsDatagramsWhetherCutByTheKernelOrNot) {
    if (!InOwnNamespace()) GTEST_SKIP() << "not in a network namespace of its own";
    ASSERT_EQ(Shell("ip link set lo up"), 0);
    IpEndpoint to = IpEndpoint::FromV4Net(platform::HostToNet32(0x7f000001), 5472);
    platform::Socket receiver = platform::kInvalidSocket;
    ASSERT_EQ(platform::UdpOpenFamily(IpFamily::kV4, &receiver), 0);
    ASSERT_EQ(platform::UdpBindEndpoint(receiver, to, 0), 0);
    for (const char *mtu : {"65536", "1280"}) {
        ASSERT_EQ(Shell(std::string("ip link set lo mtu ") + mtu), 0);
        platform::Socket sender = platform::kInvalidSocket;
        ASSERT_EQ(platform::UdpOpenConnectedTo(IpAddress(), to, &sender), 0);
        const std::string sent[] = {std::string(1400, 'a'), std::string(1400, 'b'), std::string(1000, 'c')};
        platform::OutDatagram window[3];
        for (int i = 0; i < 3; ++i) window[i] = {sent[i].data(), static_cast<int>(sent[i].size())};
        ASSERT_EQ(platform::UdpSendBatch(sender, window, 3), 3) << mtu;
        for (const std::string &expected : sent) {
            platform::UdpArrival arrival;
            std::string got;
            EXPECT_EQ(ReceiveWithin(receiver, &arrival, &got), static_cast<int>(expected.size())) << mtu;
            EXPECT_EQ(got, expected) << mtu;
        }
        platform::SocketClose(sender);
    }
    Shell("ip link set lo mtu 65536");
    platform::SocketClose(receiver);
}

}  // namespace
