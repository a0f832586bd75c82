#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "log/logger.h"
#include "support/temp_tree.h"
#include "tftp/boot_file_table.h"

namespace {

class BootFileTest : public testing::Test {
protected:
    void SetUp() override {
        m_Tree.UseAsHost();
        testing::internal::CaptureStdout();
        LogInit();
        testing::internal::GetCapturedStdout();
        m_Root = m_Tree.Root() + "/boot";
        mkdir(m_Root.c_str(), 0755);
        mkdir((m_Root + "/sub").c_str(), 0755);
        Write("pxelinux.0", std::string(1000, 'p'));
        Write("sub/kernel.img", "kernel bytes");
        m_lpTable = create_bootfile_table(m_Root.c_str());
        m_LogStart = Log().size();
    }
    void TearDown() override {
        free_bootfile_table(m_lpTable);
        delete m_lpTable;
    }
    void Write(const std::string &name, const std::string &bytes) {
        std::ofstream(m_Root + "/" + name, std::ios::binary) << bytes;
    }
    std::string Log() const {
        time_t now = time(nullptr);
        struct tm parts {};
        localtime_r(&now, &parts);
        return m_Tree.ReadLog(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday);
    }
    std::string NewLog() const { return Log().substr(m_LogStart); }

    TempTree m_Tree;
    std::string m_Root;
    tag_BootFileTable *m_lpTable = nullptr;
    size_t m_LogStart = 0;
};

}  // namespace

TEST_F(BootFileTest, MissingFileIsLoggedAndLeavesNoRecord) {
    tag_BootFile *record = nullptr;
    EXPECT_EQ(get_bootfile(m_lpTable, "later.bin", &record), -2);
    EXPECT_NE(NewLog().find("open_bootfile error later.bin :" + std::to_string(ENOENT)), std::string::npos) << NewLog();
    EXPECT_EQ(m_lpTable->lpHead, nullptr);
    Write("later.bin", "now here");
    ASSERT_EQ(get_bootfile(m_lpTable, "later.bin", &record), 0);
    EXPECT_EQ(record->dwSize, 8u);
}

TEST_F(BootFileTest, LetterCaseAndSeparatorsFindTheSameFile) {
    tag_BootFile *first = nullptr, *second = nullptr, *nested = nullptr, *nested2 = nullptr;
    ASSERT_EQ(get_bootfile(m_lpTable, "PXELINUX.0", &first), 0);
    EXPECT_EQ(first->dwSize, 1000u);
    EXPECT_STREQ(first->szFileName, "PXELINUX.0") << "the name as first requested";
    ASSERT_EQ(get_bootfile(m_lpTable, "pxelinux.0", &second), 0);
    EXPECT_EQ(first, second);
    ASSERT_EQ(get_bootfile(m_lpTable, "SUB\\Kernel.IMG", &nested), 0);
    EXPECT_EQ(nested->dwSize, 12u);
    ASSERT_EQ(get_bootfile(m_lpTable, "sub/kernel.img", &nested2), 0);
    EXPECT_EQ(nested, nested2) << "one record per file, whatever name reached it";
    // GRUB and shim ask for "/grub/grub.cfg": a leading separator means the boot folder.
    tag_BootFile *slash = nullptr, *backslash = nullptr;
    ASSERT_EQ(get_bootfile(m_lpTable, "/sub/kernel.img", &slash), 0) << NewLog();
    ASSERT_EQ(get_bootfile(m_lpTable, "\\Sub\\kernel.img", &backslash), 0) << NewLog();
    EXPECT_EQ(slash, nested);
    EXPECT_EQ(backslash, nested);
    // The last user closes the file and drops its record.
    for (tag_BootFile *user : {first, second, nested, nested2, slash, backslash}) release_bootfile(m_lpTable, user);
    EXPECT_EQ(m_lpTable->lpHead, nullptr);
}

TEST_F(BootFileTest, ReadsWithinTheFileOnly) {
    tag_BootFile *record = nullptr;
    ASSERT_EQ(get_bootfile(m_lpTable, "sub/kernel.img", &record), 0);
    char buf[32] = {};
    EXPECT_EQ(read_bootfile(record, 7, 5, buf), 0);
    EXPECT_STREQ(buf, "bytes");
    memset(buf, 'z', sizeof buf);
    EXPECT_EQ(read_bootfile(record, 12, 0, buf), 0) << "zero bytes at the end";
    EXPECT_EQ(buf[0], 'z');
    EXPECT_EQ(read_bootfile(record, 8, 5, buf), -1) << "one byte past the end";
    std::string log = NewLog();
    size_t at = log.find("Tftpd:dwReadSize > 0 && dwOffer >=0 && dwOffer+dwReadSize >= BootFile->dwSize :lasterror:");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.find(" line 69", at), std::string::npos);
    EXPECT_EQ(read_bootfile(record, 0xFFFFFFF0u, 0x20, buf), -1) << "an offset that would wrap";
    EXPECT_EQ(read_bootfile(nullptr, 0, 1, buf), -1);
    EXPECT_EQ(read_bootfile(record, 0, 1, nullptr), -1);
}

TEST_F(BootFileTest, NamesThatLeaveTheFolderOrAreTooLongAreRefused) {
    Write("CON", "x");
    const char *refused[] = {"../boot/pxelinux.0", "sub/../../x",  "sub\\..\\..\\x", "/../boot/pxelinux.0",
                             "\\\\server\\share\\x", "//etc/passwd", "\\C:\\boot.ini", "C:\\boot.ini",
                             "c:pxelinux.0",        "CON",          "/nul.txt",      "\\sub/COM1",
                             "LPT9.bin",            "sub/ .. /x"};
    for (const char *name : refused) {
        tag_BootFile *record = nullptr;
        EXPECT_EQ(get_bootfile(m_lpTable, name, &record), -2) << name;
        EXPECT_NE(NewLog().find(std::string("refused boot file ") + name), std::string::npos) << name;
    }
    EXPECT_EQ(m_lpTable->lpHead, nullptr) << "refused names add no record";
    std::string longName(128, 'a');
    tag_BootFile *record = nullptr;
    EXPECT_EQ(get_bootfile(m_lpTable, longName.c_str(), &record), -2);
    std::string fits(127, 'a');
    Write(fits, "ok");
    EXPECT_EQ(get_bootfile(m_lpTable, fits.c_str(), &record), 0);
    // Names like "..x" or "a..b" are ordinary.
    Write("..x", "dots");
    EXPECT_EQ(get_bootfile(m_lpTable, "..x", &record), 0);
}

TEST_F(BootFileTest, PathsOf260OrMoreAndHugeFilesAreRefused) {
    std::string deep = m_Root;
    while (deep.size() < 200) {
        deep += "/dddddddddd";
        mkdir(deep.c_str(), 0755);
    }
    tag_BootFileTable *table = create_bootfile_table(deep.c_str());
    std::string name(259 - deep.size(), 'f');  // path of exactly 260 characters
    std::ofstream(deep + "/" + name) << "x";
    tag_BootFile *record = nullptr;
    EXPECT_EQ(get_bootfile(table, name.c_str(), &record), -2);
    name.pop_back();
    std::ofstream(deep + "/" + name) << "x";
    EXPECT_EQ(get_bootfile(table, name.c_str(), &record), 0) << "259 characters fit";
    free_bootfile_table(table);
    delete table;

    std::string huge = m_Root + "/huge.img";
    ASSERT_EQ(truncate((std::ofstream(huge), huge.c_str()), 0x100000000LL), 0);
    EXPECT_EQ(get_bootfile(m_lpTable, "huge.img", &record), -2);
    EXPECT_NE(NewLog().find("boot file huge.img is 4 GiB or more"), std::string::npos);
    ASSERT_EQ(truncate(huge.c_str(), 0xFFFFFFFFLL), 0);
    EXPECT_EQ(get_bootfile(m_lpTable, "huge.img", &record), 0);
    EXPECT_EQ(record->dwSize, 0xFFFFFFFFu);
}
