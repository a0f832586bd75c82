// Boot records: the library's events and the HTTP server's news become one
// record per machine, kept in the store, and `why` tells each way a boot
// can end in plain words, one reason at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/boots/boot_tracker.h"
#include "host/cli/listings.h"
#include "host/cli/machine_listings.h"
#include "host/web/metrics_text.h"
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
