// Mach mode in forked children: a fault reaches the reporter through the kernel bridge and its
// exception server, and the ports that were registered before the reporter's get the first say.
#include "CrashingFunctions.h"
#include "ReporterTestSupport.h"
#include "platform/mach/MachExceptionPorts.h"
#include "platform/mach/MachMessages.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachThreads.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

using platform::mach::mach_msg;
using platform::mach::mach_port_allocate;
using platform::mach::mach_port_insert_right;
using platform::mach::mach_task_self;
using platform::mach::task_set_exception_ports;

using namespace reportertest;

namespace {

constexpr exception_mask_t kBadAccessMask = 1 << EXC_BAD_ACCESS;

TEST(MachMode, AFaultArrivesAsABadAccessException) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter =
            folder.reporter(folder.config(KOCrashReporterSignalHandlerTypeMach));
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        folder.recordThreadCount();
        kocrash_test_store_to(0x10);
    });
    ASSERT_EQ(end.signal, SIGSEGV);
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name(), "SIGSEGV");
    EXPECT_EQ(report->signalInfo().code(), "SEGV_MAPERR");
    EXPECT_EQ(report->signalInfo().address(), 0x10u);
    ASSERT_TRUE(report->machExceptionInfo());
    EXPECT_EQ(report->machExceptionInfo()->type(), static_cast<std::uint64_t>(EXC_BAD_ACCESS));
    EXPECT_EQ(report->machExceptionInfo()->codes(),
              (std::vector<std::uint64_t>{KERN_INVALID_ADDRESS, 0x10}));
    EXPECT_EQ(report->threads().size(), folder.recordedThreadCount());
}

sigjmp_buf recovery;

void recoverFromFault(int) {
    siglongjmp(recovery, 1);
}

// The exception server writes the report before the fault signal reaches the application's
// handler, so a fault that handler recovers from still leaves one.
TEST(MachMode, AFaultTheApplicationsHandlerRecoversFromStillLeavesAReport) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        struct sigaction recover {};
        recover.sa_handler = recoverFromFault;
        sigemptyset(&recover.sa_mask);
        sigaction(SIGSEGV, &recover, nullptr);
        KOCrashReporter reporter =
            folder.reporter(folder.config(KOCrashReporterSignalHandlerTypeMach));
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        if (sigsetjmp(recovery, 1) == 0) {
            kocrash_test_store_to(0x10);
            _exit(3);
        }
    });
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.exitCode, 0) << "the application went on";
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name(), "SIGSEGV");
}

TEST(MachMode, AnAbortIsReportedAsASentSignalWithoutAnAddress) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter =
            folder.reporter(folder.config(KOCrashReporterSignalHandlerTypeMach));
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        kocrash_test_abort();
    });
    ASSERT_EQ(end.signal, SIGABRT);
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name(), "SIGABRT");
    EXPECT_EQ(report->signalInfo().address(), 0u) << "not the pid of the sender";
    EXPECT_FALSE(report->machExceptionInfo());
}

// Each of these threads keeps the park signal blocked, so a write spends some milliseconds on it
// before it gives up and moves on to the threads made after it.
void startThreadsThatRefuseToPark(int count) {
    for (int index = 0; index < count; ++index) {
        std::thread([] {
            sigset_t park;
            sigemptyset(&park);
            sigaddset(&park, platform::mach::threadParkSignal());
            pthread_sigmask(SIG_BLOCK, &park, nullptr);
            for (;;) {
                pause();
            }
        }).detach();
    }
}

// A fault on another thread while an abort is being reported reaches the exception server before
// the write has suspended it: the fault must wait (in its own signal handler, the server cannot),
// so that the abort ends the process and its report is whole.
TEST(MachMode, AFaultWhileAnAbortIsReportedWaitsForTheWholeReport) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        startThreadsThatRefuseToPark(4);
        KOCrashReporter reporter =
            folder.reporter(folder.config(KOCrashReporterSignalHandlerTypeMach));
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        const std::string report = reporter.crashReportPath().string();
        std::thread([&report] {
            while (access(report.c_str(), F_OK) != 0) {
            }
            kocrash_test_store_to(0x10);
        }).detach();
        folder.recordThreadCount();
        kocrash_test_abort();
    });
    ASSERT_EQ(end.signal, SIGABRT) << "exit code " << end.exitCode;
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name(), "SIGABRT");
    EXPECT_FALSE(report->machExceptionInfo());
    EXPECT_EQ(report->threads().size(), folder.recordedThreadCount());
}

struct Reply {
    mach_msg_header_t header;
    NDR_record_t NDR;
    kern_return_t RetCode;
};

// The handler that was there first: it makes the faulting page writable and answers success.
void repairOnce(mach_port_t port, void* page) {
    alignas(8) std::uint8_t buffer[512];
    auto* request = reinterpret_cast<mach_msg_header_t*>(buffer);
    if (mach_msg(request, MACH_RCV_MSG, 0, sizeof buffer, port, 0, MACH_PORT_NULL) !=
        MACH_MSG_SUCCESS) {
        _exit(10);
    }
    mprotect(page, static_cast<std::size_t>(getpagesize()), PROT_READ | PROT_WRITE);
    Reply reply{};
    reply.header.msgh_bits = request->msgh_bits & 0x1F;
    reply.header.msgh_size = sizeof reply;
    reply.header.msgh_remote_port = request->msgh_remote_port;
    reply.header.msgh_id = request->msgh_id + 100;
    reply.RetCode = KERN_SUCCESS;
    mach_msg(&reply.header, MACH_SEND_MSG, sizeof reply, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
}

TEST(MachMode, APreviousPortThatHandlesTheExceptionLeavesNoReport) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        void* page = mmap(nullptr, static_cast<std::size_t>(getpagesize()), PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        mach_port_t port = MACH_PORT_NULL;
        mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port);
        mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND);
        task_set_exception_ports(mach_task_self(), kBadAccessMask, port, EXCEPTION_DEFAULT,
                                 ARM_THREAD_STATE64);
        std::thread previous(repairOnce, port, page);
        KOCrashReporter reporter =
            folder.reporter(folder.config(KOCrashReporterSignalHandlerTypeMach));
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        *static_cast<volatile int*>(page) = 5;
        previous.join();
        _exit(*static_cast<volatile int*>(page) == 5 ? 0 : 3);
    });
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.exitCode, 0);
    EXPECT_FALSE(folder.reporter().hasPendingCrashReport());
}

} // namespace
