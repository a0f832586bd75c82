#include <gtest/gtest.h>

#include "log/logger.h"

TEST(LoggerBeforeInit, EveryCallRefusesAndWritesNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(LogWrite(LOG_FATAL, "lost %d", 1), -1);
    EXPECT_EQ(LogWrite(LOG_DEBUG, "lost"), -1);
    EXPECT_EQ(LogWriteText("lost"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}
