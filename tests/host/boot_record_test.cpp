// Boot records: the library's events and the HTTP server's news become one
// record per machine, kept in the store, and `why` tells each way a boot
// can end in plain words, one reason at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "boot/quirks.h"
#include "host/app/machine_boot.h"
#include "host/boots/boot_tracker.h"
#include "host/boots/quirk_words.h"
#include "host/cli/listings.h"
#include "host/cli/machine_listings.h"
#include "host/text/address_text.h"
#include "host/text/mac_text.h"
#include "host/text/uuid_text.h"
#include "host/web/machine_api.h"
#include "host/web/metrics_text.h"
#include "support/efi_fixture.h"
#include "support/temp_tree.h"

namespace {

BootEventRecord Event(int nKind, int nReason, unsigned char last, const char *lpAddress, const char *lpFile = "") {
    BootEventRecord event;
    memset(&event, 0, sizeof event);
    event.kind = nKind;
    event.reason = nReason;
    event.time = 1796680000;
    const unsigned char mac[6] = {0x52, 0x54, 0x00, 0x00, 0x00, last};
    if (last) memcpy(event.mac, mac, 6);
    snprintf(event.address, sizeof event.address, "%s", lpAddress);
    snprintf(event.file, sizeof event.file, "%s", lpFile);
    event.port = 67;
    event.messagetype = nKind == TAVREL_EVENT_DHCP_ANSWER ? 2 : 1;
    event.arch = -1;
    event.size = -1;
    return event;
}

class BootRecordTest : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(m_Tracker.StartSaving(m_Database, 86400, &error)) << error;
    }
    // Library events carry their whole second; LATE: that of one handed over after what came since.
    void Send(BootEventRecord event, double late = -1) {
        event.time = static_cast<long long>(late >= 0 ? kT0 + late : m_dNow);
        m_Tracker.Take(event);
    }
    // Offered ADDRESS (or acknowledged: NTYPE 5), then the TFTP request from it.
    void Offer(unsigned char last, const char *lpAddress, const char *lpFile, int nType = 2) {
        BootEventRecord event = Event(TAVREL_EVENT_DHCP_ANSWER, 0, last, lpAddress, lpFile);
        Send((event.messagetype = nType, event));
    }
    void Http(const char *lpAddress, const char *lpFile, int nStatus) {
        m_Tracker.HttpEnded({lpAddress, lpFile, nStatus, 1000, 1000, 0.1, nStatus == 200});
    }
    void Tftp(int nKind, int nReason, const char *lpAddress, const char *lpFile, long long bytes, int nMs,
              double late = -1) {
        BootEventRecord event = Event(nKind, nReason, 0, lpAddress, lpFile);
        event.port = 69;
        event.bytes = bytes;
        event.size = 850000;
        event.durationms = nMs;
        event.result = nKind == TAVREL_EVENT_TFTP_ENDED && nReason == 0;
        Send(event, late);
    }
    std::string Why(const std::string &mac) {
        m_Tracker.StopSaving();  // writes what is left
        std::string error;
        std::unique_ptr<PolicyStore> store = PolicyStore::Open(m_Database, &error);
        EXPECT_TRUE(store) << error;
        testing::internal::CaptureStdout();
        EXPECT_TRUE(PrintWhy(*store, mac));
        return testing::internal::GetCapturedStdout();
    }

    static constexpr double kT0 = 1796680000;
    TempTree m_Tree;
    std::string m_Database = m_Tree.Root() + "/tavrel.db";
    double m_dNow = kT0 + 0.5;
    BootTracker m_Tracker{"192.0.2.1", [this] { return m_dNow; }};
};

}  // namespace

TEST_F(BootRecordTest, WhyTellsABootThatReachedHttp) {
    m_Tracker.NoteRule(reinterpret_cast<const unsigned char *>("\x52\x54\x00\x00\x00\x01"), "rule 1", "ipxe.efi");
    Offer(1, "192.0.2.101", "ipxe.efi");
    Tftp(TAVREL_EVENT_TFTP_STARTED, 0, "192.0.2.101", "ipxe.efi", 0, 0);
    Tftp(TAVREL_EVENT_TFTP_ENDED, 0, "192.0.2.101", "ipxe.efi", 850000, 300);
    m_Tracker.HttpStarted();
    m_Tracker.HttpEnded({"192.0.2.101", "vmlinuz", 200, 2100000, 9000000, 1.5, false});
    std::string why = Why("52:54:00:00:00:01");
    EXPECT_NE(why.find("52:54:00:00:00:01: offered 192.0.2.101 at "), std::string::npos) << why;
    EXPECT_NE(why.find(" (rule 1 → ipxe.efi); TFTP ipxe.efi 850 KB in 0.3 s; HTTP vmlinuz stopped at 2.1 MB: "
                       "the client closed the connection\n"),
              std::string::npos)
        << why;
    EXPECT_EQ(Why("52:54:00:00:00:99"), "52:54:00:00:00:99: never heard from this machine\n");
}

// What the Secure Boot check said of the file offered stays with the step, through the store.
TEST_F(BootRecordTest, WhyTellsTheSecureBootNote) {
    m_Tracker.NoteRule(reinterpret_cast<const unsigned char *>("\x52\x54\x00\x00\x00\x02"), "boot[0]",
                       "snponly.efi", "Secure Boot: shimx64.efi: revoked");
    Offer(2, "192.0.2.102", "snponly.efi");
    std::string why = Why("52:54:00:00:00:02");
    EXPECT_NE(why.find(" (boot[0] → snponly.efi — Secure Boot: shimx64.efi: revoked)"), std::string::npos) << why;
}

TEST_F(BootRecordTest, WhyNamesEachReason) {
    const struct {
        int nKind, nReason;
        const char *lpWords;
    } cases[] = {
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_NO_FREE_ADDRESS, "not answered at %: no free address in its range"},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_RELAY_NOT_ALLOWED, "not answered at %: its relay agent is not allowed here"},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_MALFORMED, "not answered at %: the request was malformed"},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_DECLINED_ADDRESS,
         "not answered at %: the machine declined the address (in use elsewhere)"},
        {TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_NO_RANGE_FOR_CLASS, "not answered at %: no range serves its class of client"},
        {TAVREL_EVENT_TFTP_REFUSED, TAVREL_REASON_NOT_FOUND, "TFTP boot.efi refused at %: no such file"},
        {TAVREL_EVENT_TFTP_REFUSED, TAVREL_REASON_OUTSIDE_FOLDER, "TFTP boot.efi refused at %: the file lies outside the boot folder"},
        {TAVREL_EVENT_TFTP_ENDED, TAVREL_REASON_TIMEOUT, "TFTP boot.efi stopped at 4 KB: the machine stopped answering"},
        {TAVREL_EVENT_TFTP_ENDED, TAVREL_REASON_CLIENT_ERROR, "TFTP boot.efi stopped at 4 KB: the machine sent an error"},
    };
    unsigned char last = 0x10;
    for (const auto &c : cases) {
        char address[16];
        snprintf(address, sizeof address, "192.0.2.%d", last);
        Offer(last, address, "boot.efi");
        if (c.nKind == TAVREL_EVENT_DHCP_UNANSWERED)
            Send(Event(c.nKind, c.nReason, last, ""));
        else
            Tftp(c.nKind, c.nReason, address, "boot.efi", 4096, 900);
        ++last;
    }
    m_Tracker.StopSaving();
    last = 0x10;
    for (const auto &c : cases) {
        char mac[18];
        snprintf(mac, sizeof mac, "52:54:00:00:00:%02x", last++);
        std::string why = Why(mac);
        std::string words = c.lpWords;
        size_t at = words.find('%');
        if (at != std::string::npos) {
            EXPECT_NE(why.find(words.substr(0, at)), std::string::npos) << why;
            words = words.substr(at + 1);
        }
        EXPECT_NE(why.find(words + "\n"), std::string::npos) << why;
    }
    std::vector<MachineRecord> machines = m_Tracker.Machines();
    ASSERT_EQ(machines.size(), sizeof cases / sizeof cases[0]);
    std::vector<MachineRecord> newest = m_Tracker.Machines(3);  // what the status page takes
    ASSERT_EQ(newest.size(), 3u);
    for (size_t i = 0; i < newest.size(); ++i) EXPECT_EQ(newest[i].mac, machines[i].mac) << "the newest, in order";
    std::string metrics = MetricsText({m_Tracker.Counters(), {}, 1});
    EXPECT_NE(metrics.find("tavrel_dhcp_unanswered_requests_total{reason=\"relay_not_allowed\"} 1\n"), std::string::npos);
    EXPECT_NE(metrics.find("tavrel_dhcp_declines_total 1\n"), std::string::npos);
    EXPECT_NE(metrics.find("tavrel_tftp_errors_total{reason=\"timeout\"} 1\n"), std::string::npos);
    EXPECT_NE(metrics.find("tavrel_dhcp_answers_total{type=\"offer\",port=\"67\"} 9\n"), std::string::npos);
    EXPECT_NE(metrics.find("tavrel_dhcp_unanswered_requests_total{reason=\"no_range_for_class\"} 1\n"), std::string::npos);
}

// Another server's client is no refusal: counted apart, not in `why`; repeats are told once with
// their count; a rule is credited only to an answer naming its file, never where none matched.
TEST_F(BootRecordTest, OtherServersClientsAndRepeatsStayOutOfWhy) {
    const unsigned char mac[6] = {0x52, 0x54, 0, 0, 0, 0x50};
    m_Tracker.NoteRule(mac, "boot[0]", "ipxe.efi");  // and the answers name boot.efi
    for (int i = 0; i < 18; ++i) {
        Offer(0x50, "192.0.2.179", "boot.efi");
        for (int nReason : {TAVREL_REASON_HOST_DECLINED, TAVREL_REASON_OTHER_SERVER})
            Send(Event(TAVREL_EVENT_DHCP_UNANSWERED, nReason, 0x50, ""));
    }
    std::string metrics = MetricsText({m_Tracker.Counters(), {}, 1});
    EXPECT_EQ(metrics.find("tavrel_dhcp_unanswered_requests_total{reason=\"host_declined\"}"), std::string::npos);
    EXPECT_NE(metrics.find("tavrel_dhcp_other_servers_requests_total{reason=\"host_declined\"} 18\n"), std::string::npos);
    m_Tracker.NoteRule(mac, "", "");
    Offer(0x50, "192.0.2.179", "ipxe.efi");
    std::string why = Why("52:54:00:00:00:50");  // through the store
    EXPECT_EQ(why.find("not answered"), std::string::npos) << why;
    EXPECT_NE(why.find(" (boot.efi) (18 times, the last at "), std::string::npos) << why;
    EXPECT_EQ(why.find("boot[0]"), std::string::npos) << why;
}

// A file name from the wire reaches the admin's terminal with its control
// bytes escaped, as in the log: in `why` and in the listings.
TEST_F(BootRecordTest, ListingsEscapeControlBytes) {
    Offer(0x30, "192.0.2.130", "boot.efi");
    Tftp(TAVREL_EVENT_TFTP_REFUSED, TAVREL_REASON_NOT_FOUND, "192.0.2.130", "\x1b]0;owned\x07x.efi", 0, 0);
    std::string why = Why("52:54:00:00:00:30");
    EXPECT_EQ(why.find('\x1b'), std::string::npos) << why;
    EXPECT_NE(why.find("TFTP \\x1b]0;owned\\x07x.efi refused at "), std::string::npos) << why;
    testing::internal::CaptureStdout();
    PrintLeases({{"\x1b[2J", "192.0.2.5", 1796680000}}, false);
    std::string leases = testing::internal::GetCapturedStdout();
    EXPECT_NE(leases.find("\\x1b[2J  "), std::string::npos) << leases;
}

// Forged traffic fills neither the store nor the page: a 4455 report is a
// boot only once the report queue took it, a machine never answered stays
// in a bounded table in memory, and new records are capped per source.
TEST_F(BootRecordTest, ForgedTrafficMakesNoRecords) {
    using namespace machine_limits;
    Offer(0x40, "192.0.2.140", "boot.efi");
    for (unsigned char last : {0x40, 0x41}) m_Tracker.Take(Event(TAVREL_EVENT_MIRROR_REPORT, 0, last, "192.0.2.140"));
    EXPECT_EQ(m_Tracker.Machines().front().result, "booting") << "a report the queue has not taken";
    SetReportObserver(&m_Tracker);
    std::string error;
    SelectMirrorRecord report{{0x52, 0x54, 0, 0, 0, 0x41}, "192.0.2.140", "", "", ""};
    {
        ReportQueue queue(PolicyStore::Open(m_Database, &error), "192.0.2.1", 30);
        queue.Push(report, false);  // a client this server did not serve
        report.mac[5] = 0x40;
        queue.Push(report, true);
    }
    SetReportObserver(nullptr);
    for (int i = 0; i < 6000; ++i) {  // unanswered on 67, answered on 4011 (which takes no address)
        BootEventRecord event = i % 2 ? Event(TAVREL_EVENT_DHCP_ANSWER, 0, 1, "192.0.2.99", "boot.efi")
                                      : Event(TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_NO_FREE_ADDRESS, 1, "");
        event.port = i % 2 ? 4011 : 67;
        event.mac[3] = static_cast<unsigned char>(0x10 | i >> 16), event.mac[4] = static_cast<unsigned char>(i >> 8);
        event.mac[5] = static_cast<unsigned char>(i);
        m_Tracker.Take(event);
    }
    EXPECT_LE(m_Tracker.Machines().size(), 1 + 2 * kNewPerSourceMinute + kMaxUnanswered);
    EXPECT_GE(m_Tracker.Counters().unansweredDropped, 3000u - kMaxUnanswered);
    EXPECT_GE(m_Tracker.Counters().recordsRefused, 3000u - 2 * kNewPerSourceMinute);
    m_Tracker.StopSaving();
    std::vector<MachineRow> rows;
    ASSERT_TRUE(PolicyStore::Open(m_Database, &error)->Machines(&rows, 100000));
    EXPECT_LE(rows.size(), 1u + 2 * kNewPerSourceMinute) << "a minute may turn during the test";
    std::string results;
    for (const MachineRow &row : rows)
        results += row.mac.compare(0, 15, "52:54:00:00:00:") ? "" : row.mac + " " + row.result;
    EXPECT_EQ(results, "52:54:00:00:00:40 booted");
}

// Each order in which the library's delivery thread and the HTTP server may
// tell a boot gives the result its evidence shows, as time passes.
TEST_F(BootRecordTest, ResultFollowsTheEvidenceInAnyOrder) {
    const char *a = "192.0.2.160";
    auto at = [&](double t) { m_dNow = kT0 + t; };
    auto result = [&](const std::string &last) {
        for (const MachineRecord &m : m_Tracker.Machines())
            if (m.mac == "52:54:00:00:00:" + last) return m.result + " " + m.reason;
        return std::string();
    };
    // The loader's TFTP end (second 1) arrives after the kernel's 404 (second 3).
    Offer(0x60, a, "undionly.kpxe");
    Tftp(TAVREL_EVENT_TFTP_STARTED, 0, a, "undionly.kpxe", 0, 0);
    at(3), Http(a, "vmlinuz", 404);
    at(3.5), Tftp(TAVREL_EVENT_TFTP_ENDED, 0, a, "undionly.kpxe", 850000, 900, 1);
    EXPECT_EQ(result("60"), "failed not_found");
    at(5), m_Tracker.ReportAccepted({"", "52:54:00:00:00:60", a, "", "", "192.0.2.1", ""});
    at(5.5), Tftp(TAVREL_EVENT_TFTP_REFUSED, TAVREL_REASON_NOT_FOUND, a, "x.efi", 0, 0, 2);
    EXPECT_EQ(result("60"), "booted ") << "a report after a failure";
    EXPECT_EQ((at(30), Offer(0x60, a, "undionly.kpxe"), result("60")), "booting ") << "started again";
    // UEFI: a size probe (ERROR after the OACK), the loader, a 404 before the last HTTP byte.
    at(100), Offer(0x61, "192.0.2.161", "ipxe.efi");
    Tftp(TAVREL_EVENT_TFTP_ENDED, TAVREL_REASON_CLIENT_ERROR, "192.0.2.161", "ipxe.efi", 0, 5);
    Tftp(TAVREL_EVENT_TFTP_ENDED, 0, "192.0.2.161", "ipxe.efi", 850000, 300);
    at(102), Http("192.0.2.161", "vmlinuz.efi", 404), Http("192.0.2.161", "vmlinuz", 200);
    EXPECT_EQ(result("61"), "booting ") << "right after the loader and kernel";
    EXPECT_EQ(MetricsText({m_Tracker.Counters(), {}, 1}).find("tavrel_tftp_errors_total{reason=\"client_error\"}"),
              std::string::npos);
    at(102 + kBootQuietSeconds), Http("192.0.2.161", "initrd", 200), at(102 + 2 * kBootQuietSeconds + 1);
    EXPECT_EQ(result("61"), "booted ");
    at(102 + 2 * kBootQuietSeconds + 2), Http("192.0.2.161", "initrd", 404);
    EXPECT_EQ(result("61"), "failed not_found") << "a failure after the last HTTP byte";
    // DHCP only: a renewal at once, a new lease once quiet; a boot that stops between stages.
    at(400), Offer(0x62, "192.0.2.162", "", 5), Offer(0x63, "192.0.2.163", ""), Offer(0x64, "192.0.2.164", "boot.efi");
    Send(Event(TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_NO_FREE_ADDRESS, 0x64, ""), 399);  // refused, then served
    Tftp(TAVREL_EVENT_TFTP_STARTED, 0, "192.0.2.164", "boot.efi", 0, 0);
    EXPECT_EQ(result("62") + result("63") + result("64"), "renewed booting booting ");
    EXPECT_EQ((at(400 + kBootQuietSeconds + 1), result("62") + result("63") + result("64")), "renewed renewed booting ");
    EXPECT_EQ((at(400 + kTransferQuietSeconds + 1), result("64")), "failed quiet");
}

// Transfers under way show their bytes so far: TFTP from the library's
// progress events, HTTP from the server's counts; each attempt's end is
// counted once for the charts, when it settles.
TEST_F(BootRecordTest, TransfersUnderWayAndOutcomes) {
    Offer(3, "192.0.2.103", "ipxe.efi");
    Tftp(TAVREL_EVENT_TFTP_STARTED, 0, "192.0.2.103", "big.img", 0, 0);
    m_dNow += 2;
    Tftp(TAVREL_EVENT_TFTP_PROGRESS, 0, "192.0.2.103", "big.img", 300000, 2000);
    m_Tracker.HttpSendingStarted({"192.0.2.103", "vmlinuz", 9000000, 0, 0.5});
    m_Tracker.HttpProgress({{"192.0.2.103", "vmlinuz", 9000000, 4500000, 1.5}});
    std::vector<TransferUnderWay> transfers = m_Tracker.Transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].protocol + " " + transfers[0].mac + " " + transfers[0].file, "http 52:54:00:00:00:03 vmlinuz");
    EXPECT_EQ(transfers[0].bytes, 4500000);
    EXPECT_EQ(transfers[0].seconds, 1.5);
    EXPECT_EQ(transfers[1].protocol + " " + transfers[1].file, "tftp big.img");
    EXPECT_EQ(transfers[1].bytes, 300000);
    EXPECT_EQ(transfers[1].size, 850000);
    EXPECT_EQ(transfers[1].seconds, 2.0);
    EXPECT_EQ(m_Tracker.Machines()[0].result, kResultBooting) << "a transfer under way";
    EXPECT_EQ(m_Tracker.Outcomes().booted + m_Tracker.Outcomes().failed, 0u);

    Tftp(TAVREL_EVENT_TFTP_ENDED, 0, "192.0.2.103", "big.img", 850000, 2500);
    Http("192.0.2.103", "vmlinuz", 200);
    EXPECT_TRUE(m_Tracker.Transfers().empty());
    Offer(4, "192.0.2.104", "ipxe.efi");
    Tftp(TAVREL_EVENT_TFTP_REFUSED, TAVREL_REASON_NOT_FOUND, "192.0.2.104", "x.efi", 0, 0);
    m_dNow += kBootQuietSeconds + 1;  // the first went quiet after its last payload: booted
    BootOutcomes outcomes = m_Tracker.Outcomes();
    EXPECT_EQ(outcomes.booted, 1u);
    EXPECT_EQ(outcomes.failed, 1u);
    m_Tracker.ReportAccepted({"", "52:54:00:00:00:03", "192.0.2.103", "", "", "192.0.2.1", ""});
    EXPECT_EQ(m_Tracker.Outcomes().booted, 1u) << "the same attempt, counted once";
}

// The delivery thread hands a transfer's end over up to its period late,
// stamped within the second it names: the kernel's 404 of that same second,
// told first by the HTTP server, still fails the boot once it is quiet.
TEST_F(BootRecordTest, ALateTransferEndHidesNoFailureOfItsSecond) {
    const char *a = "192.0.2.165";
    m_dNow = kT0 + 0.2;
    Offer(0x65, a, "boot.ipxe");
    Tftp(TAVREL_EVENT_TFTP_STARTED, 0, a, "boot.ipxe", 0, 0);
    m_dNow = kT0 + 0.30, Http(a, "vmlinuz", 404);
    m_dNow = kT0 + 0.35, Tftp(TAVREL_EVENT_TFTP_ENDED, 0, a, "boot.ipxe", 900, 20, 0);
    m_dNow = kT0 + kBootQuietSeconds + 1;
    std::vector<MachineRecord> machines = m_Tracker.Machines();
    ASSERT_EQ(machines.size(), 1u);
    EXPECT_EQ(machines[0].result + " " + machines[0].reason, "failed not_found");
    EXPECT_NE(Why("52:54:00:00:00:65").find("TFTP boot.ipxe 900 bytes in 0.0 s; HTTP vmlinuz refused"), std::string::npos);
}

// An IPv6 client's events make its record as an IPv4 client's do: by MAC
// when the library learnt it, else by its DUID key; its TFTP over IPv6 joins
// the record its bound address names, and the metrics count it on port 547.
TEST_F(BootRecordTest, Ipv6ClientsAreMachinesLikeIpv4Ones) {
    auto v6 = [&](BootEventRecord base, const char *lpAddress, const char *lpKey) {
        BootEventRecordV6 event;
        memset(&event, 0, sizeof event);
        event.base = base;
        memset(event.base.address, 0, sizeof event.base.address);
        event.base.time = static_cast<long long>(m_dNow);
        snprintf(event.address, sizeof event.address, "%s", lpAddress);
        snprintf(event.clientkey, sizeof event.clientkey, "%s", lpKey);
        m_Tracker.TakeV6(event);
    };
    BootEventRecord answer = Event(TAVREL_EVENT_DHCP_ANSWER, 0, 0x61, "", "ipxe.efi");
    answer.port = 547;
    answer.messagetype = 7;  // REPLY
    v6(answer, "2001:db8::101", "duid-00010001aabb");
    BootEventRecord tftp = Event(TAVREL_EVENT_TFTP_ENDED, 0, 0, "", "ipxe.efi");
    tftp.port = 69, tftp.bytes = 850000, tftp.size = 850000, tftp.durationms = 300, tftp.result = 1;
    v6(tftp, "2001:db8::101", "");
    memset(answer.mac, 0, sizeof answer.mac);  // a DUID-UUID: no MAC in it
    v6(answer, "2001:db8:0:0:ffff:ffff:ffff:ffff", "duid-0004abcd");
    std::string metrics = MetricsText({m_Tracker.Counters(), {}, 1});
    EXPECT_NE(metrics.find("tavrel_dhcp_answers_total{type=\"reply\",port=\"547\"} 2\n"), std::string::npos) << metrics;
    EXPECT_NE(Why("52:54:00:00:00:61").find("acknowledged 2001:db8::101 at "), std::string::npos);
    EXPECT_NE(Why("52:54:00:00:00:61").find("; TFTP ipxe.efi 850 KB in 0.3 s"), std::string::npos);
    EXPECT_NE(Why("duid-0004abcd").find("duid-0004abcd: acknowledged 2001:db8:0:0:ffff:ffff:ffff:ffff at "),
              std::string::npos);
}

// A DHCPRELEASE takes its holder's address out of the pool gauge; one from a
// MAC that holds nothing, or no longer holds the address, frees nothing.
TEST_F(BootRecordTest, ReleaseFreesOnlyTheHoldersAddress) {
    auto inUse = [&] { return m_Tracker.AddressesInUse(AddressValue("192.0.2.180"), AddressValue("192.0.2.181")); };
    auto release = [&](unsigned char last, const char *lpSource) {
        BootEventRecord event = Event(TAVREL_EVENT_DHCP_UNANSWERED, TAVREL_REASON_NOT_ANSWERED_TYPE, last, lpSource);
        Send((event.messagetype = 7, event));
    };
    Offer(0x80, "192.0.2.180", "ipxe.efi", 5);
    Offer(0x81, "192.0.2.180", "ipxe.efi", 5);  // after 0x80's lease ran out
    Offer(0x82, "192.0.2.181", "ipxe.efi", 5);
    release(0x80, "192.0.2.180");
    release(0x83, "192.0.2.181");
    EXPECT_EQ(inUse(), 2);
    release(0x82, "192.0.2.181");
    EXPECT_EQ(inUse(), 1);
}

// The quirks the library names tell how the firmware was met: UEFI's size
// probe reads as a probe and the Pi's looks for files it boots without as
// absences, neither as a failure; a Pi boot ends booted.
TEST_F(BootRecordTest, WhyTellsQuirksAsNormal) {
    auto ex = [&](BootEventRecord base, const char *lpQuirks) {
        BootEventRecordEx event;
        memset(&event, 0, sizeof event);
        base.time = static_cast<long long>(m_dNow);
        event.base = base;
        snprintf(event.quirknames, sizeof event.quirknames, "%s", lpQuirks);
        m_Tracker.TakeEx(event);
    };
    auto tftp = [&](int nKind, int nReason, const char *lpAddress, const char *lpFile, long long bytes) {
        BootEventRecord event = Event(nKind, nReason, 0, lpAddress, lpFile);
        event.port = 69, event.bytes = bytes, event.size = 850000, event.durationms = 300;
        event.result = nKind == TAVREL_EVENT_TFTP_ENDED && nReason == 0;
        return event;
    };
    ex(Event(TAVREL_EVENT_DHCP_ANSWER, 0, 0x71, "192.0.2.171", "ipxe.efi"), "arch-7-9");
    ex(tftp(TAVREL_EVENT_TFTP_ENDED, TAVREL_REASON_CLIENT_ERROR, "192.0.2.171", "ipxe.efi", 0), "size-probe");
    ex(tftp(TAVREL_EVENT_TFTP_ENDED, 0, "192.0.2.171", "ipxe.efi", 850000), "");
    ex(Event(TAVREL_EVENT_DHCP_ANSWER, 0, 0x72, "192.0.2.172", ""), "raspberry-pi");
    ex(tftp(TAVREL_EVENT_TFTP_REFUSED, TAVREL_REASON_NOT_FOUND, "192.0.2.172", "bootsig.bin", 0), "");
    ex(tftp(TAVREL_EVENT_TFTP_ENDED, TAVREL_REASON_CLIENT_ERROR, "192.0.2.172", "start4.elf", 0), "early-abort");
    ex(tftp(TAVREL_EVENT_TFTP_ENDED, 0, "192.0.2.172", "start4.elf", 850000), "");
    ex(tftp(TAVREL_EVENT_TFTP_REFUSED, TAVREL_REASON_NOT_FOUND, "192.0.2.172", "dca63201/pieeprom.sig", 0), "");
    m_dNow += kBootQuietSeconds + 1;
    for (const MachineRecord &m : m_Tracker.Machines()) EXPECT_EQ(m.result, kResultBooted) << m.mac;
    std::string uefi = Why("52:54:00:00:00:71");
    EXPECT_NE(uefi.find(" (ipxe.efi) [x64 UEFI (arch 7 or 9)]; TFTP ipxe.efi size probe at "), std::string::npos) << uefi;
    EXPECT_EQ(uefi.find("sent an error"), std::string::npos) << uefi;
    std::string pi = Why("52:54:00:00:00:72");
    EXPECT_NE(pi.find(" [Raspberry Pi bootloader]; TFTP bootsig.bin absent at "), std::string::npos) << pi;
    EXPECT_NE(pi.find("TFTP start4.elf probe, ended by the machine at "), std::string::npos) << pi;
    EXPECT_NE(pi.find("TFTP dca63201/pieeprom.sig absent at "), std::string::npos) << pi;
    // The host's words follow the library's table row for row, by name.
    ASSERT_EQ(sizeof kQuirkWords / sizeof kQuirkWords[0], static_cast<size_t>(Quirk::kCount));
    for (size_t i = 0; i < static_cast<size_t>(Quirk::kCount); ++i)
        EXPECT_STREQ(kQuirkWords[i].lpName, kQuirkTable[i].lpName) << i;
}

namespace {

// A machine's request as the library's identity callback hands it over.
SelectBootFileRecordEx Client(const std::string &mac, const unsigned char *uuid = nullptr,
                              int source = TAVREL_UUID_OPTION97, int arch = 0) {
    SelectBootFileRecordEx client{};
    ParseMac(mac, client.base.mac);
    client.base.arch = arch;
    client.macknown = 1;
    if (uuid) {
        memcpy(client.uuid, uuid, 16);
        client.uuidsource = static_cast<unsigned char>(source);
    }
    snprintf(client.address, sizeof client.address, "192.0.2.50");
    return client;
}

const unsigned char kUuid[16] = {0x4c, 0x4c, 0x45, 0x44, 0x00, 0x42, 0x35, 0x10,
                                 0x80, 0x58, 0xb4, 0xc0, 0x4f, 0x38, 0x4d, 0x32};
// The same UUID as OVMF's DUID-UUID carries it: the first three fields little-endian.
const unsigned char kUuidSmbios[16] = {0x44, 0x45, 0x4c, 0x4c, 0x42, 0x00, 0x10, 0x35,
                                       0x80, 0x58, 0xb4, 0xc0, 0x4f, 0x38, 0x4d, 0x32};
const char kUuidText[] = "4c4c4544-0042-3510-8058-b4c04f384d32";

class MachineIdentityTest : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        m_Store = PolicyStore::Open(m_Tree.Root() + "/tavrel.db", &error);
        ASSERT_TRUE(m_Store) << error;
        Profile rack, discovery, safe;
        rack.name = "rack";
        rack.chain = {{"bios", "rack.kpxe"}, {"uefi-x64", "snponly.efi"}};
        rack.fallback = "safe";
        rack.vars = {{"console", "ttyS0"}};
        rack.templates = {{"grub.cfg", "host {{name}} at {{address}}{{#if console}} console={{console}}{{/if}}\n"}};
        safe.name = "safe";
        safe.chain = {{"uefi-x64", "shimx64.efi"}};
        discovery.name = "discovery";
        discovery.chain = {{"bios", "discover.kpxe"}};
        m_Config.profiles = {rack, safe, discovery};
        m_Config.identity.discovery = "discovery";
        snprintf(m_Config.server.ServerIP, sizeof m_Config.server.ServerIP, "192.0.2.1");
        m_Boot.Use(m_Config);
    }
    void Enrol(const std::string &id, const std::string &profile, const std::string &name = "") {
        EnrolmentRow row{id, id.size() == 36 ? id : "", id.size() == 17 ? id : "", name, profile, "{}", 1, 1};
        ASSERT_TRUE(m_Store->Enrol(row)) << m_Store->LastError();
        ASSERT_TRUE(m_Directory.Sync(*m_Store)) << m_Store->LastError();
    }
    std::string FileFor(const SelectBootFileRecordEx &client) {
        BootAnswer answer = m_Boot.Choose(client);
        return answer.kind == BootAnswer::kSilent ? "(silent)" : answer.kind == BootAnswer::kRules ? "(rules)" : answer.file;
    }
    EnrolmentRow Stored(const std::string &id) {
        std::vector<EnrolmentRow> rows;
        EXPECT_TRUE(m_Store->Enrolments(&rows));
        for (const EnrolmentRow &row : rows)
            if (row.id == id) return row;
        return {};
    }

    TempTree m_Tree;
    std::unique_ptr<PolicyStore> m_Store;
    double m_dNow = 1796680000;
    MachineDirectory m_Directory{"192.0.2.1", [this] { return m_dNow; }};
    MachineBoot m_Boot{m_Directory};
    HostConfig m_Config;
};

}  // namespace

TEST(MachineUuid, BothByteOrdersAreOneText) {
    EXPECT_EQ(UuidText(kUuid), kUuidText);
    EXPECT_EQ(UuidTextOfSmbiosOrder(kUuidSmbios), kUuidText);
    EXPECT_EQ(OtherByteOrder(OtherByteOrder(kUuidText)), kUuidText);
    std::string canonical;
    EXPECT_TRUE(CanonicalUuid("4C4C4544004235108058B4C04F384D32", &canonical));
    EXPECT_EQ(canonical, kUuidText);
    EXPECT_FALSE(CanonicalUuid("4c4c4544-00423510-8058-b4c0-4f384d32", &canonical));
    EXPECT_TRUE(IsPlaceholderUuid("00000000-0000-0000-0000-000000000000"));
    EXPECT_TRUE(IsPlaceholderUuid("ffffffff-ffff-ffff-ffff-ffffffffffff"));
    EXPECT_FALSE(IsPlaceholderUuid(kUuidText));
}

TEST_F(MachineIdentityTest, AMachineThatChangesItsMacKeepsItsProfile) {
    Enrol("52:54:00:00:00:0a", "rack", "node12");
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:0a", kUuid)), "rack.kpxe");
    ASSERT_TRUE(m_Directory.Sync(*m_Store));  // learns its UUID
    EXPECT_EQ(Stored("52:54:00:00:00:0a").uuid, kUuidText);
    m_dNow += 3600;  // a new NIC, its UUID now in the DHCPv6 byte order
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:0b", kUuidSmbios, TAVREL_UUID_DUID)), "rack.kpxe");
    ASSERT_TRUE(m_Directory.Sync(*m_Store));
    EXPECT_EQ(Stored("52:54:00:00:00:0a").mac, "52:54:00:00:00:0b");
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:0b", kUuid)), "rack.kpxe");
    // The old NIC in another machine (which tells its own UUID) is that machine, not node12.
    const unsigned char other[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:0b", other)), "discover.kpxe");
}

TEST_F(MachineIdentityTest, PlaceholderDeniedAndDuplicateUuidsFallBackToTheMac) {
    const unsigned char zeros[16] = {}, ones[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                                    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    Enrol("00000000-0000-0000-0000-000000000000", "rack");  // whatever the store says, never believed
    Enrol("52:54:00:00:00:01", "rack");
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:01", zeros)), "rack.kpxe");
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:02", zeros)), "discover.kpxe");
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:03", ones)), "discover.kpxe");
    EXPECT_EQ(m_Boot.Choose(Client("52:54:00:00:00:01", ones)).kind, BootAnswer::kFile);
    EXPECT_EQ(m_Directory.Identify(SeenOf(Client("52:54:00:00:00:03", ones))).key, "52:54:00:00:00:03");
    m_Config.identity.denyUuids = {kUuidText};
    m_Boot.Use(m_Config);
    Enrol(kUuidText, "rack");
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:04", kUuidSmbios, TAVREL_UUID_DUID)), "discover.kpxe");
    m_Config.identity.denyUuids.clear();
    m_Boot.Use(m_Config);
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:04", kUuid)), "rack.kpxe");
    m_dNow += 10;  // the same UUID on a second MAC at once: two machines, each by its MAC
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:05", kUuid)), "discover.kpxe");
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:04", kUuid)), "discover.kpxe");
    EXPECT_EQ(m_Directory.Counters().untrusted, 5u);  // once per machine: 01 (twice told), 02, 03, 04, 05
}

TEST_F(MachineIdentityTest, LogServesUnknownMachinesAndEnforceLeavesThemUnanswered) {
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:21", kUuid)), "discover.kpxe");
    m_Config.identity.discovery.clear();
    m_Boot.Use(m_Config);
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:21", kUuid)), "(rules)");  // as before profiles
    m_Config.identity.mode = UnknownMode::kEnforce;
    m_Boot.Use(m_Config);
    m_dNow += 1;
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:22", nullptr, TAVREL_UUID_NONE, 7)), "(silent)");
    ASSERT_TRUE(m_Directory.Sync(*m_Store));
    std::vector<UnknownRow> unknown;
    ASSERT_TRUE(m_Store->UnknownMachines(&unknown, 10));
    ASSERT_EQ(unknown.size(), 2u);
    EXPECT_EQ(unknown[0].mac, "52:54:00:00:00:22");
    EXPECT_EQ(unknown[0].arch, 7);
    EXPECT_EQ(unknown[1].uuid, kUuidText);
    EXPECT_EQ(unknown[1].id, kUuidText);
    Enrol(kUuidText, "rack");  // enrolled: answered, and off the unknown list
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:21", kUuid, TAVREL_UUID_OPTION97, 7)), "snponly.efi");
    ASSERT_TRUE(m_Store->UnknownMachines(&unknown, 10));
    EXPECT_EQ(unknown.size(), 1u);
}

TEST_F(MachineIdentityTest, EnrolCommandTakesEffectWithoutAReload) {
    std::string config = m_Tree.Root() + "/tavrel.toml";
    std::ofstream(m_Tree.Root() + "/grub.cfg.in") << "set hostname={{name}}\n";
    std::ofstream(config) << "[server]\naddress = \"192.0.2.1\"\nnetmask = \"255.255.255.0\"\nboot_file = \"b\"\n"
                             "boot_directory = \"" << m_Tree.Root() << "\"\n[policy]\ndatabase = \"" << m_Tree.Root()
                          << "/tavrel.db\"\n[profiles.rack]\nbios = \"rack.kpxe\"\n"
                             "files = { \"grub.cfg\" = \"grub.cfg.in\" }\n";
    std::string enrol = std::string(TAVREL_HOST_BIN) + " enrol --config " + config + " ";
    EXPECT_NE(system((enrol + "52:54:00:00:00:31 --profile nosuch 2>/dev/null").c_str()), 0);
    EXPECT_NE(system((enrol + "52:54:00:00:00 --profile rack 2>/dev/null").c_str()), 0);
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:31")), "discover.kpxe");
    ASSERT_EQ(system((enrol + "52-54-00-00-00-31 --profile rack --name node31 --var rack=3 >/dev/null").c_str()), 0);
    ASSERT_TRUE(m_Directory.Sync(*m_Store));
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:31")), "rack.kpxe");
    EXPECT_EQ(Stored("52:54:00:00:00:31").name, "node31");
    EXPECT_EQ(VarsFromText(Stored("52:54:00:00:00:31").vars).at("rack"), "3");
    m_Boot.Choose(Client("52:54:00:00:00:31", kUuidSmbios, TAVREL_UUID_DUID));
    ASSERT_TRUE(m_Directory.Sync(*m_Store));  // its UUID learnt: `why UUID` finds its MAC
    std::string why = std::string(TAVREL_HOST_BIN) + " why --config " + config + " " + kUuidText + " > " +
                      m_Tree.Root() + "/why.txt";
    EXPECT_EQ(WEXITSTATUS(system(why.c_str())), 3);  // no boot record: this test has no tracker
    EXPECT_EQ(ReadWholeFile(m_Tree.Root() + "/why.txt"), "52:54:00:00:00:31: never heard from this machine\n");
    std::string body;  // its own grub.cfg: by the MAC of its lease, by its address, and by name
    EXPECT_EQ(m_Boot.Render("grub.cfg", "52:54:00:00:00:31", "", &body), 1);
    EXPECT_EQ(body, "host node31 at 192.0.2.50 console=ttyS0\n");
    EXPECT_EQ(m_Boot.Render("/grub.cfg", "", "192.0.2.50", &body), 1);
    EXPECT_EQ(m_Boot.Render("m/52-54-00-00-00-31/grub.cfg", "", "192.0.2.9", &body), 1);
    EXPECT_EQ(m_Boot.Render("m/52-54-00-00-00-99/grub.cfg", "", "", &body), -1);
    EXPECT_EQ(m_Boot.Render("other.cfg", "52:54:00:00:00:31", "", &body), 0);  // the boot folder's
    EXPECT_EQ(m_Boot.Render("grub.cfg", "", "192.0.2.77", &body, "tftp"), -1) << "the discovery profile has none";
    MetricsInput metrics;
    metrics.renders = m_Boot.Renders();
    std::string text = MetricsText(metrics);
    for (const char *sample : {"tavrel_renders_total{service=\"http\",result=\"rendered\"} 3\n",
                               "tavrel_renders_total{service=\"http\",result=\"none\"} 1\n",
                               "tavrel_renders_total{service=\"tftp\",result=\"rendered\"} 0\n",
                               "tavrel_renders_total{service=\"tftp\",result=\"none\"} 1\n"})
        EXPECT_NE(text.find(sample), std::string::npos) << sample << text;
}

TEST_F(MachineIdentityTest, ForgedRequestsLeaveTheUnknownListCapped) {
    std::string error;  // the service's own thread writes and prunes meanwhile
    ASSERT_TRUE(m_Directory.StartSyncing(m_Tree.Root() + "/tavrel.db", 3650 * 86400.0, &error)) << error;
    std::mt19937 random(7);
    for (int i = 0; i < 10000; ++i) {
        SelectBootFileRecordEx client = Client("02:00:00:00:00:00");
        for (unsigned char &byte : client.base.mac) byte = static_cast<unsigned char>(random());
        for (unsigned char &byte : client.uuid) byte = static_cast<unsigned char>(random());
        m_dNow += 0.001;
        m_Boot.Choose(client);
    }
    m_Directory.StopSyncing();  // after a last round
    DirectoryCounters counters = m_Directory.Counters();
    EXPECT_LE(counters.unknown, 4096u);
    EXPECT_GE(counters.unknownDropped, 10000u - 4096u);
    std::vector<UnknownRow> stored;
    ASSERT_TRUE(m_Store->UnknownMachines(&stored, 100000));
    EXPECT_LE(stored.size(), 4096u);
    EXPECT_GT(stored.size(), 3000u);
}

TEST_F(MachineIdentityTest, TwoFailuresOfTheLoaderBringTheFallbackProfile) {
    BootTracker tracker("192.0.2.1", [this] { return m_dNow; });
    m_Boot.SetAttempts([&](const std::string &mac, MachineRecord *record) { return tracker.LastAttempt(mac, record); });
    Enrol("52:54:00:00:00:41", "rack");
    // One attempt: the choice, its offer, and its loader's TFTP transfer ending as REASON says.
    auto attempt = [&](int reason) {
        m_dNow += 600;
        BootAnswer answer = m_Boot.Choose(Client("52:54:00:00:00:41", kUuid, TAVREL_UUID_OPTION97, 7));
        tracker.NoteRule(Client("52:54:00:00:00:41").base.mac, answer.rule, answer.file, answer.note);
        BootEventRecord offer = Event(TAVREL_EVENT_DHCP_ANSWER, 0, 0x41, "192.0.2.50", answer.file.c_str());
        offer.time = static_cast<long long>(m_dNow);
        tracker.Take(offer);
        for (int kind : {TAVREL_EVENT_TFTP_STARTED, TAVREL_EVENT_TFTP_ENDED}) {
            BootEventRecord tftp = Event(kind, kind == TAVREL_EVENT_TFTP_ENDED ? reason : 0, 0, "192.0.2.50",
                                         answer.file.c_str());
            tftp.port = 69;
            tftp.bytes = kind == TAVREL_EVENT_TFTP_ENDED ? 4096 : 0;  // no size probe: the loader was under way
            tftp.time = static_cast<long long>(m_dNow) + 1;
            tftp.result = kind == TAVREL_EVENT_TFTP_ENDED && reason == 0;
            tracker.Take(tftp);
        }
        return answer;
    };
    EXPECT_EQ(attempt(TAVREL_REASON_NO_FREE_ADDRESS).file, "snponly.efi");
    EXPECT_EQ(attempt(TAVREL_REASON_CLIENT_ERROR).file, "snponly.efi");  // the one before was no loader's fault
    EXPECT_EQ(attempt(TAVREL_REASON_TIMEOUT).file, "snponly.efi");
    BootAnswer healed = attempt(0);  // two loader failures at tftp: the fallback, which boots
    EXPECT_EQ(healed.file, "shimx64.efi");
    EXPECT_EQ(healed.note, "fallback profile safe: its last two attempts failed at tftp (the machine sent an error, "
                           "then the machine stopped answering) with profile rack");
    m_dNow += 1;
    EXPECT_NE(DescribeAttempt(tracker.Machines().at(0)).find("profile safe → shimx64.efi — fallback profile safe"),
              std::string::npos) << DescribeAttempt(tracker.Machines().at(0));
    EXPECT_EQ(attempt(0).file, "snponly.efi");  // booted: the profile's own chain again
}

// refuse_revoked: an enrolled machine whose profile serves a revoked shim
// boots its fallback profile's signed iPXE (boot_file without one), and its
// line and `why` say why; BIOS has no Secure Boot.
TEST_F(MachineIdentityTest, ARevokedLoaderInAProfileServesTheFallbackProfile) {
    WriteEfi(m_Tree.Root() + "/shimx64.efi", MinimalEfi(ShimSbat(3), true));
    WriteEfi(m_Tree.Root() + "/snponly.efi", MinimalEfi(ShimSbat(4), true));
    snprintf(m_Config.server.rootpath, sizeof m_Config.server.rootpath, "%s", m_Tree.Root().c_str());
    m_Config.profiles[0].chain["uefi-x64"] = "shimx64.efi", m_Config.profiles[1].chain["uefi-x64"] = "snponly.efi";
    std::string error;
    ASSERT_TRUE(LoadSbatLevel(&m_Config.secureBoot, &error)) << error;
    m_Config.secureBoot.bRefuseRevoked = true;
    m_Boot.Use(m_Config, std::make_shared<SecureBootGuard>(m_Config));
    Enrol("52:54:00:00:00:51", "rack");
    BootTracker tracker("192.0.2.1", [this] { return m_dNow; });
    BootAnswer answer = m_Boot.Choose(Client("52:54:00:00:00:51", kUuid, TAVREL_UUID_OPTION97, 7));
    const std::string note = "Secure Boot: shimx64.efi: revoked by SBAT level 2025021800: shim,3 < 4: refused "
                             "(refuse_revoked), fallback profile safe's snponly.efi instead";
    EXPECT_NE(answer.line.find("gets shimx64.efi from profile rack (" + note + ")"), std::string::npos) << answer.line;
    tracker.NoteRule(Client("52:54:00:00:00:51").base.mac, answer.rule, answer.file, answer.note);
    tracker.Take(Event(TAVREL_EVENT_DHCP_ANSWER, 0, 0x51, "192.0.2.50", answer.file.c_str()));
    EXPECT_NE(DescribeAttempt(tracker.Machines().at(0)).find("profile safe → snponly.efi — " + note), std::string::npos);
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:51", kUuid, TAVREL_UUID_OPTION97, 0)), "rack.kpxe");
    m_Config.profiles[0].fallback.clear();
    m_Boot.Use(m_Config, std::make_shared<SecureBootGuard>(m_Config));
    EXPECT_TRUE(m_Boot.Choose(Client("52:54:00:00:00:51", kUuid, TAVREL_UUID_OPTION97, 7)).bDefault);
}

TEST_F(MachineIdentityTest, ApiNeedsItsTokenAndEnrolsListsAndChangesProfiles) {
    MachineApi api;
    m_Config.database = m_Tree.Root() + "/tavrel.db";
    api.SetConfig(m_Config);
    auto call = [&](const std::string &method, const std::string &path, const std::string &body = "",
                    const std::string &token = "Bearer 0123456789abcdef-token") {
        return api.Handle({method, path, token, body, "192.0.2.9"}, [] { return JsonValue::array({{{"range", "r"}}}); });
    };
    EXPECT_EQ(call("GET", "/api/v1/machines").status, 404u);  // no token configured: no API
    m_Config.apiToken = "0123456789abcdef-token";
    api.SetConfig(m_Config);
    EXPECT_EQ(call("GET", "/api/v1/machines", "", "").status, 401u);
    EXPECT_EQ(call("GET", "/api/v1/machines", "", "Bearer 0123456789abcdef-toke").status, 401u);
    EXPECT_EQ(call("GET", "/api/v1/machines", "", "Bearer 0123456789abcdef-tokenX").status, 401u);
    m_Boot.Choose(Client("52:54:00:00:00:51", kUuid));
    ASSERT_TRUE(m_Directory.Sync(*m_Store));
    ApiReply list = call("GET", "/api/v1/machines");
    ASSERT_EQ(list.status, 200u) << list.body;
    EXPECT_EQ(JsonValue::parse(list.body)["unknown"][0]["uuid"], kUuidText);
    EXPECT_EQ(call("POST", "/api/v1/machines", R"({"machine": "52:54:00:00:00:51", "profile": "nosuch"})").status, 400u);
    EXPECT_EQ(call("POST", "/api/v1/machines", "{not json").status, 400u);
    ApiReply enrolled = call("POST", "/api/v1/machines",
                             R"({"machine": "4C4C4544004235108058B4C04F384D32", "profile": "rack", "name": "n51",
                                 "vars": {"rack": "5"}})");
    ASSERT_EQ(enrolled.status, 201u) << enrolled.body;
    ASSERT_TRUE(m_Directory.Sync(*m_Store));
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:51", kUuid)), "rack.kpxe");
    EXPECT_EQ(call("PUT", std::string("/api/v1/machines/") + kUuidText + "/profile", R"({"profile": "discovery"})").status,
              200u);
    EXPECT_EQ(call("PUT", "/api/v1/machines/52:54:00:00:00:99/profile", R"({"profile": "rack"})").status, 404u);
    ASSERT_TRUE(m_Directory.Sync(*m_Store));
    EXPECT_EQ(FileFor(Client("52:54:00:00:00:51", kUuid)), "discover.kpxe");
    JsonValue one = JsonValue::parse(call("GET", std::string("/api/v1/machines/") + kUuidText).body);
    EXPECT_EQ(one["enrolment"]["name"], "n51");
    EXPECT_EQ(one["enrolment"]["vars"]["rack"], "5");
    EXPECT_TRUE(one["unknown"].is_null());  // enrolled: off the unknown list
    EXPECT_EQ(JsonValue::parse(call("GET", "/api/v1/pools").body)[0]["range"], "r");
    EXPECT_EQ(call("DELETE", "/api/v1/pools").status, 405u);
    EXPECT_EQ(call("GET", "/api/v1/nothing").status, 404u);
}
