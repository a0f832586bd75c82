#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "containers/mac_hash.h"
#include "log/log_rate_cap.h"
#include "log/logger.h"
#include "log/pool_full_line.h"
#include "platform/platform.h"
#include "boot/quirks.h"
#include "support/temp_tree.h"

namespace {

platform::LocalTime g_Now{2013, 5, 7, 9, 5, 3};
platform::LocalTime FixedClock() { return g_Now; }

std::mutex g_DebugLock;
std::vector<std::string> g_DebugLines;
void CaptureDebug(const char *text) {
    std::lock_guard<std::mutex> guard(g_DebugLock);
    g_DebugLines.push_back(text);
}

class LoggerTest : public testing::Test {
protected:
    void SetUp() override {
        g_Now = platform::LocalTime{2013, 5, 7, 9, 5, 3};
        platform::SetLocalTimeSource(FixedClock);
        platform::SetDebugSink(CaptureDebug);
        g_DebugLines.clear();
        m_Tree.UseAsHost();
    }
    void TearDown() override {
        platform::SetLocalTimeSource(nullptr);
        platform::SetDebugSink(nullptr);
    }
    // LogInit prints its two settings lines; keep them out of the way.
    void Init(const std::string &ini) {
        if (!ini.empty()) m_Tree.WriteSettings(ini);
        testing::internal::CaptureStdout();
        EXPECT_EQ(LogInit(), 0);
        m_InitOutput = testing::internal::GetCapturedStdout();
    }
    std::string Log() const { return m_Tree.ReadLog(2013, 5, 7); }

    TempTree m_Tree;
    std::string m_InitOutput;
};

}  // namespace

TEST_F(LoggerTest, DefaultLevelDropsDebugAndNamesTheOthers) {
    Init("");
    EXPECT_NE(m_InitOutput.find("m_nLogLevel[2]\r\n"), std::string::npos);
    EXPECT_NE(m_InitOutput.find("m_bOnlyOutputDebug[0]\r\n"), std::string::npos);
    EXPECT_EQ(m_InitOutput.rfind("murboot ", 0), 0u);
    EXPECT_EQ(LogWrite(LOG_DEBUG, "hidden"), -2);
    EXPECT_EQ(LogWrite(LOG_INFO, "info %d", 2), 0);
    EXPECT_EQ(LogWrite(LOG_ERROR, "error"), 0);
    EXPECT_EQ(LogWrite(LOG_FATAL, "fatal"), 0);
    EXPECT_EQ(Log(),
              "murboot: 2013-05-07 09:05:03 INFO  :info 2\n"
              "murboot: 2013-05-07 09:05:03 ERROR :error\n"
              "murboot: 2013-05-07 09:05:03 FATAL :fatal\n");
}

TEST_F(LoggerTest, LevelZeroWritesEverythingAndUnknownLevelsAreOther) {
    Init("[Tavrel]\nLogLevel=0\n");
    EXPECT_EQ(LogWrite(0, "zero"), 0);
    EXPECT_EQ(LogWrite(5, "five"), 0);
    EXPECT_EQ(LogWrite(LOG_DEBUG, "debug"), 0);
    EXPECT_EQ(Log(),
              "murboot: 2013-05-07 09:05:03 OTHER :zero\n"
              "murboot: 2013-05-07 09:05:03 OTHER :five\n"
              "murboot: 2013-05-07 09:05:03 DEBUG :debug\n");
}

TEST_F(LoggerTest, UntaggedTextIgnoresTheLevel) {
    Init("[Other]\nLogLevel=0\n[tavrel]\n loglevel = 4 \n");
    EXPECT_NE(m_InitOutput.find("m_nLogLevel[4]"), std::string::npos) << "section and key ignore case";
    EXPECT_EQ(LogWrite(LOG_ERROR, "dropped"), -2);
    EXPECT_EQ(LogWriteText("plain %s", "text"), 0);
    EXPECT_EQ(Log(), "murboot 2013-05-07 09:05:03 :plain text\n");
}

TEST_F(LoggerTest, NewlineRules) {
    Init("");
    testing::internal::CaptureStdout();
    LogWriteText("ends\n");
    LogWriteText("mid\ndle");
    LogWriteText("plain");
    std::string console = testing::internal::GetCapturedStdout();
    std::string expected =
        "murboot 2013-05-07 09:05:03 :ends\n"
        "murboot 2013-05-07 09:05:03 :mid\ndle"
        "murboot 2013-05-07 09:05:03 :plain\n";
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(console, expected);
}

TEST_F(LoggerTest, LongMessageIsCutAt4095) {
    Init("");
    std::string big(5000, 'x');
    LogWriteText("%s", big.c_str());
    std::string prefix = "murboot 2013-05-07 09:05:03 :";
    EXPECT_EQ(Log(), prefix + std::string(4095, 'x') + "\n");
}

TEST_F(LoggerTest, OnlyOutputDebugWritesNoFile) {
    Init("[Tavrel]\nOnlyOutputDebug=1\n");
    testing::internal::CaptureStdout();
    LogWrite(LOG_ERROR, "to debugger");
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(m_Tree.LogExists(2013, 5, 7));
    EXPECT_EQ(console, "murboot: 2013-05-07 09:05:03 ERROR :to debugger\n");
    ASSERT_EQ(g_DebugLines.size(), 1u);
    EXPECT_EQ(g_DebugLines[0], "murboot: 2013-05-07 09:05:03 ERROR :to debugger");
}

TEST_F(LoggerTest, MidnightStartsTheNextDaysFile) {
    Init("");
    g_Now = platform::LocalTime{2013, 12, 31, 23, 59, 59};
    LogWriteText("last");
    g_Now = platform::LocalTime{2014, 1, 1, 0, 0, 0};
    LogWriteText("first");
    EXPECT_EQ(m_Tree.ReadLog(2013, 12, 31), "murboot 2013-12-31 23:59:59 :last\n");
    EXPECT_EQ(m_Tree.ReadLog(2014, 1, 1), "murboot 2014-01-01 00:00:00 :first\n");
}

TEST_F(LoggerTest, ExecutableWithoutTwoFoldersKeepsPreviousFolder) {
    Init("");
    platform::SetHostExePathOverride("host");
    testing::internal::CaptureStdout();
    LogInit();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "settings are not re-read";
    LogWriteText("still here");
    EXPECT_EQ(Log(), "murboot 2013-05-07 09:05:03 :still here\n");
}

// Each thread writes at a level of its own: a line is never written with
// the level of the thread that happened to flush it.
TEST_F(LoggerTest, FourThreadsLoseNoLineMixNoneAndKeepTheirLevels) {
    Init("[Tavrel]\nLogLevel=0\n");
    platform::SetDebugSink(nullptr);
    constexpr int kThreads = 4, kLines = 10000;
    const char *const names[kThreads] = {"DEBUG ", "INFO  ", "ERROR ", "FATAL "};
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                LogWrite(LOG_DEBUG + t, "thread %d line %05d payload-payload-payload", t, i);
        });
    for (std::thread &thread : threads) thread.join();
    testing::internal::GetCapturedStdout();
    std::istringstream lines(Log());
    std::vector<int> counts(kThreads, 0);
    std::string line;
    int total = 0;
    while (std::getline(lines, line)) {
        int t = -1, i = -1;
        char level[8] = {}, tail[64] = {};
        ASSERT_EQ(sscanf(line.c_str(), "murboot: 2013-05-07 09:05:03 %6c:thread %d line %d %63s", level, &t, &i, tail), 4)
            << line;
        ASSERT_STREQ(tail, "payload-payload-payload") << line;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        ASSERT_STREQ(level, names[t]) << line;
        ++counts[t];
        ++total;
    }
    EXPECT_EQ(total, kThreads * kLines);
    for (int count : counts) EXPECT_EQ(count, kLines);
}

// Lines of datagrams past the cap are dropped and counted; lines outside a
// datagram's scope are never capped.
TEST_F(LoggerTest, DatagramLinesAreCappedAndTheDroppedOnesCounted) {
    Init("");
    LogRateCap cap;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 1000; ++i) {
        LogCapScope scope(cap, 5000 + i / 100);  // 1,000 datagrams within 10 ms
        LogWriteText("junk %d", i);
        LogWrite(LOG_ERROR, "junk error %d", i);
    }
    LogWriteText("not a datagram's");
    {
        LogCapScope scope(cap, 7000);  // two seconds later: written, after the count
        LogWriteText("late");
    }
    testing::internal::GetCapturedStdout();
    std::string log = Log();
    size_t lines = 0;
    for (char c : log) lines += c == '\n';
    EXPECT_EQ(lines, 2 * LogRateCap::kBurst + 1 + 1 + 1) << log;
    EXPECT_NE(log.find(":junk 49\n"), std::string::npos);
    EXPECT_EQ(log.find(":junk 50\n"), std::string::npos);
    EXPECT_NE(log.find("\xe2\x80\xa6 1900 similar lines suppressed"), std::string::npos) << log;
    EXPECT_NE(log.find(":not a datagram's"), std::string::npos);
    EXPECT_NE(log.find(":late"), std::string::npos);
}

// A transfer's datagrams write no line: however many came, the one that
// fails after them is written.
TEST_F(LoggerTest, DatagramsWithoutLinesLeaveTheCapWhole) {
    Init("");
    LogRateCap cap;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 1000; ++i) LogCapScope scope(cap, 5000);
    {
        LogCapScope scope(cap, 5000);
        LogWriteText("a failure after the silent ones");
    }
    testing::internal::GetCapturedStdout();
    EXPECT_NE(Log().find(":a failure after the silent ones\n"), std::string::npos) << Log();
}

TEST_F(LoggerTest, RetentionRemovesOnlyOldDayFilesOfItsOwn) {
    Init("[Tavrel]\nLogRetentionDays=14\n");
    for (const char *name : {"murboot_2013_04_22.log", "murboot_2013_04_23.log", "murboot_2012_12_31.log",
                             "murboot_2013_04_01.log.keep", "other_2012_01_01.log"})
        std::ofstream(m_Tree.LogDir() + "/" + name) << "x";
    testing::internal::CaptureStdout();
    LogWriteText("today");
    testing::internal::GetCapturedStdout();
    auto exists = [&](const char *name) { return access((m_Tree.LogDir() + "/" + name).c_str(), F_OK) == 0; };
    EXPECT_FALSE(exists("murboot_2013_04_22.log")) << "15 days old";
    EXPECT_TRUE(exists("murboot_2013_04_23.log")) << "14 days old";
    EXPECT_FALSE(exists("murboot_2012_12_31.log"));
    EXPECT_TRUE(exists("murboot_2013_04_01.log.keep"));
    EXPECT_TRUE(exists("other_2012_01_01.log"));
    EXPECT_TRUE(m_Tree.LogExists(2013, 5, 7));
}

TEST_F(LoggerTest, ALinkPlantedAsTheLogFileIsNotFollowed) {
    Init("");
    std::string victim = m_Tree.Root() + "/victim";
    FILE *file = fopen(victim.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs("keep", file);
    fclose(file);
    ASSERT_EQ(symlink(victim.c_str(), (m_Tree.LogDir() + "/murboot_2013_05_07.log").c_str()), 0);
    testing::internal::CaptureStdout();
    LogWriteText("through the link");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadWholeFile(victim), "keep");
}

TEST_F(LoggerTest, AFullClientTableWritesItsLineOnceASecondNotPerRequest) {
    Init("");
    auto table = std::make_unique<TeskMacHash<int>>(LogPoolFull);
    unsigned char mac[6] = {2, 0, 0, 0, 0, 0};
    int refused = 0;
    // The pool holds 1,000 blocks of 101 entries; the last 1,000 keys find it full.
    for (uint32_t i = 0; i < 102000; ++i) {
        mac[2] = static_cast<unsigned char>(i >> 16);
        mac[4] = static_cast<unsigned char>(i);
        mac[5] = static_cast<unsigned char>(i >> 8);
        if (table->GetLastClient(mac, nullptr) != 0) ++refused;
    }
    EXPECT_EQ(refused, 1000);
    std::string log = Log();
    size_t lines = 0;
    for (size_t at = log.find("Mem_New() NULL TeskMacHash"); at != std::string::npos;
         at = log.find("Mem_New() NULL TeskMacHash", at + 1))
        ++lines;
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 2u);
}

// A quirk that fires for every datagram writes its line once a minute, with
// how often it fired since.
TEST_F(LoggerTest, AQuirkWritesOneLineAMinute) {
    Init("");
    for (uint64_t ms = 0; ms < 120000; ms += 1000) {
        QuirkScope scope;
        NoteQuirk(Quirk::kSizeProbe, 5000000 + ms);
        EXPECT_EQ(NotedQuirks(), unsigned{TAVREL_QUIRK_SIZE_PROBE});
    }
    EXPECT_EQ(NotedQuirks(), 0u) << "a datagram's quirks end with it";
    std::string log = Log();
    EXPECT_NE(log.find("quirk size-probe (1 times since the last line): the transfer ends at once"), std::string::npos)
        << log;
    EXPECT_NE(log.find("quirk size-probe (60 times since the last line)"), std::string::npos) << log;
    EXPECT_EQ(log.find("quirk size-probe", log.find("(60 times") + 1), std::string::npos) << log;
}
