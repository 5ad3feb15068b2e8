// Process facts of this process, of named children, of a traced child and of a process that is
// gone.
#include "info/KOCrashProcessInfo.h"

#include "NamedChild.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <sys/ptrace.h>
#include <unistd.h>

TEST(KOCrashProcessInfo, DescribesThisProcess) {
    std::optional<KOCrashProcessInfo> info = KOCrashProcessInfo::currentProcessInfo();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->processID(), getpid());
    EXPECT_EQ(info->parentProcessID(), getppid());
    EXPECT_EQ(info->processName(), std::string("kocrash_host_info_tests").substr(0, 15));
    EXPECT_FALSE(info->isTraced());
    std::time_t now = std::time(nullptr);
    EXPECT_LE(info->startTime().tv_sec, now);
    EXPECT_GT(info->startTime().tv_sec, now - 600);
    EXPECT_GE(info->startTime().tv_usec, 0);
    EXPECT_LT(info->startTime().tv_usec, 1000000);
}

TEST(KOCrashProcessInfo, NamesAreTheirValidUtf8Prefix) {
    struct Case {
        const char* command;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {"fünf (5)", "fünf (5)"},
        {"ab\xC3(cd", "ab"},
        {"\xFFname", std::nullopt},
        {"exactly15chars_", "exactly15chars_"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        NamedChild child(c.command);
        std::optional<KOCrashProcessInfo> info = KOCrashProcessInfo::initWithProcessID(child.pid());
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->processName(), c.name);
        EXPECT_EQ(info->parentProcessID(), getpid());
    }
}

TEST(KOCrashProcessInfo, AChildUnderATracerIsTraced) {
    NamedChild child("traced");
    if (ptrace(PTRACE_SEIZE, child.pid(), nullptr, nullptr) != 0) {
        GTEST_SKIP() << "no ptrace here (errno " << errno << ")";
    }
    std::optional<KOCrashProcessInfo> info = KOCrashProcessInfo::initWithProcessID(child.pid());
    ASSERT_TRUE(info.has_value());
    EXPECT_TRUE(info->isTraced());
}

TEST(KOCrashProcessInfo, AProcessThatIsGoneHasNoFacts) {
    EXPECT_FALSE(KOCrashProcessInfo::initWithProcessID(NamedChild::endedProcessID()).has_value());
}
