// The sysctl stand-in against the facts of this machine and of real processes.
#include "platform/sysctl/Sysctl.h"

#include "NamedChild.h"
#include "platform/mach/MachTypes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

using platform::sysctl::sysctl;
using platform::sysctl::sysctlbyname;

std::optional<std::string> readString(const char* name) {
    std::size_t size = 0;
    if (sysctlbyname(name, nullptr, &size, nullptr, 0) != 0) {
        return std::nullopt;
    }
    std::string value(size, '\0');
    if (sysctlbyname(name, value.data(), &size, nullptr, 0) != 0) {
        return std::nullopt;
    }
    return value;
}

std::int32_t readInt(const char* name) {
    std::int32_t value = -1;
    std::size_t size = sizeof value;
    EXPECT_EQ(sysctlbyname(name, &value, &size, nullptr, 0), 0) << name;
    return value;
}

int processRecord(pid_t pid, kinfo_proc& record) {
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    std::size_t size = sizeof record;
    return sysctl(name, 4, &record, &size, nullptr, 0);
}

} // namespace

TEST(Sysctl, KeysCarryTheFactsOfThisMachine) {
    utsname host{};
    ASSERT_EQ(uname(&host), 0);
    EXPECT_EQ(readString("kern.osrelease"), std::string(host.release) + '\0');
    EXPECT_EQ(readString("kern.osversion"), std::string(host.version) + '\0');
    std::optional<std::string> model = readString("hw.model");
    ASSERT_TRUE(model.has_value());
    EXPECT_GT(model->size(), 1u);
    EXPECT_EQ(model->back(), '\0');

    EXPECT_EQ(readInt("hw.logicalcpu_max"), sysconf(_SC_NPROCESSORS_CONF));
    EXPECT_GE(readInt("hw.physicalcpu_max"), 1);
    EXPECT_LE(readInt("hw.physicalcpu_max"), readInt("hw.logicalcpu_max"));
    EXPECT_EQ(readInt("sysctl.proc_native"), 1);
#if defined(__aarch64__)
    EXPECT_EQ(readInt("hw.cputype"), CPU_TYPE_ARM64);
#else
    EXPECT_EQ(readInt("hw.cputype"), CPU_TYPE_X86_64);
#endif
}

TEST(Sysctl, ValuesAreReadOnlyAndMustFitTheirBuffer) {
    char small[2];
    std::size_t size = sizeof small;
    errno = 0;
    EXPECT_EQ(sysctlbyname("kern.osrelease", small, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    std::int32_t value = 1;
    size = sizeof value;
    EXPECT_EQ(sysctlbyname("hw.cputype", nullptr, &size, &value, sizeof value), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(sysctlbyname("kern.no_such_key", nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    int unknown[] = {CTL_KERN, 99};
    EXPECT_EQ(sysctl(unknown, 2, nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(Sysctl, OverridesReplaceAndRemoveKeysWhileTheyLive) {
    {
        platform::sysctl::ScopedOverride release("kern.osrelease",
                                                 platform::sysctl::stringValue("21.6.0"));
        EXPECT_EQ(readString("kern.osrelease"), std::string("21.6.0\0", 7));
        {
            platform::sysctl::ScopedOverride gone("kern.osrelease", std::nullopt);
            EXPECT_EQ(readString("kern.osrelease"), std::nullopt);
        }
        EXPECT_EQ(readString("kern.osrelease"), std::string("21.6.0\0", 7));
    }
    utsname host{};
    uname(&host);
    EXPECT_EQ(readString("kern.osrelease"), std::string(host.release) + '\0');
}

TEST(Sysctl, TheProcessRecordDescribesThisProcess) {
    kinfo_proc record{};
    ASSERT_EQ(processRecord(getpid(), record), 0);
    EXPECT_EQ(record.kp_proc.p_pid, getpid());
    EXPECT_EQ(record.kp_eproc.e_ppid, getppid());
    EXPECT_EQ(std::string(record.kp_proc.p_comm),
              std::string("platform_sysctl_tests").substr(0, 15));
    std::time_t now = std::time(nullptr);
    EXPECT_LE(record.kp_proc.p_starttime.tv_sec, now);
    EXPECT_GT(record.kp_proc.p_starttime.tv_sec, now - 600)
        << "the test process started moments ago";

    std::size_t size = 0;
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, getpid()};
    ASSERT_EQ(sysctl(name, 4, nullptr, &size, nullptr, 0), 0);
    EXPECT_EQ(size, 648u);
}

TEST(Sysctl, ACommandNameWithSpacesAndParenthesesIsReadWhole) {
    NamedChild child("a) (b c)) x");
    kinfo_proc record{};
    ASSERT_EQ(processRecord(child.pid(), record), 0);
    EXPECT_EQ(std::string(record.kp_proc.p_comm), "a) (b c)) x");
    EXPECT_EQ(record.kp_eproc.e_ppid, getpid()) << "fields after the name are found too";
    EXPECT_EQ(record.kp_proc.p_flag & P_TRACED, 0);
}

TEST(Sysctl, AProcessThatDoesNotExistHasNoRecord) {
    kinfo_proc record{};
    errno = 0;
    EXPECT_EQ(processRecord(NamedChild::endedProcessID(), record), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(processRecord(-5, record), -1);
}
