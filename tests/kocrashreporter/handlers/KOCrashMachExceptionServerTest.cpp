// The exception server answering requests on its port, forwarding to earlier ports, and real
// faults routed through the kernel bridge.
#include "handlers/KOCrashMachExceptionServer.h"
#include "handlers/KOCrashMachExceptionForward.h"

#include "ForkedChild.h"

#include "platform/mach/MachPorts.h"
#include "platform/mach/MachThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using platform::mach::mach_exception_raise;
using platform::mach::mach_msg;
using platform::mach::mach_port_allocate;
using platform::mach::mach_port_deallocate;
using platform::mach::mach_port_insert_right;
using platform::mach::mach_port_mod_refs;
using platform::mach::mach_task_self;
using platform::mach::mach_thread_self;
using platform::mach::NDR_record;
using platform::mach::thread_get_state;

namespace {

struct Seen {
    std::atomic<int> calls{0};
    task_t task = 0;
    thread_t thread = 0;
    exception_type_t type = 0;
    mach_exception_data_type_t codes[2] = {};
    mach_msg_type_number_t count = 0;
    std::uint64_t pc = 0;
    kern_return_t reply = KERN_SUCCESS;
};

kern_return_t record(task_t task, thread_t thread, exception_type_t type,
                     mach_exception_data_t codes, mach_msg_type_number_t count, void* context) {
    auto* seen = static_cast<Seen*>(context);
    seen->task = task;
    seen->thread = thread;
    seen->type = type;
    seen->count = count;
    for (mach_msg_type_number_t i = 0; i < count && i < 2; ++i) {
        seen->codes[i] = codes[i];
    }
#if defined(__aarch64__)
    arm_thread_state64_t state{};
    mach_msg_type_number_t words = ARM_THREAD_STATE64_COUNT;
    if (thread_get_state(thread, ARM_THREAD_STATE64, reinterpret_cast<thread_state_t>(&state),
                         &words) == KERN_SUCCESS) {
        seen->pc = state.pc;
    }
#endif
    seen->calls.fetch_add(1);
    return seen->reply;
}

struct ReplyPort {
    ReplyPort() { mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &name); }
    ~ReplyPort() { mach_port_mod_refs(mach_task_self(), name, MACH_PORT_RIGHT_RECEIVE, -1); }
    mach_port_t name = MACH_PORT_NULL;
};

struct Reply {
    mach_msg_header_t header;
    NDR_record_t NDR;
    kern_return_t RetCode;
};

// Sends raw request bytes to the server's port and returns its reply.
Reply roundTrip(KOCrashMachExceptionServer& server, std::uint8_t* request, mach_msg_size_t size) {
    ReplyPort reply;
    mach_port_t port = server.copySendRightForServerAndReturningError(nullptr);
    auto* header = reinterpret_cast<mach_msg_header_t*>(request);
    header->msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE);
    header->msgh_size = size;
    header->msgh_remote_port = port;
    header->msgh_local_port = reply.name;
    header->msgh_id = 2405;
    alignas(8) std::uint8_t received[256] = {};
    std::memcpy(received, request, size);
    auto* receivedHeader = reinterpret_cast<mach_msg_header_t*>(received);
    EXPECT_EQ(mach_msg(receivedHeader, MACH_SEND_MSG | MACH_RCV_MSG | MACH_RCV_TIMEOUT, size,
                       sizeof received, reply.name, 10000, MACH_PORT_NULL),
              MACH_MSG_SUCCESS);
    mach_port_deallocate(mach_task_self(), port);
    Reply answer;
    std::memcpy(&answer, received, sizeof answer);
    return answer;
}

TEST(KOCrashMachExceptionServer, AnswersEveryRequestEvenMalformedOnes) {
    Seen seen;
    auto server = KOCrashMachExceptionServer::initWithCallBack(record, &seen, nullptr);
    ASSERT_NE(server, nullptr);

    alignas(8) std::uint8_t shortRequest[60] = {};
    Reply reply = roundTrip(*server, shortRequest, sizeof shortRequest);
    EXPECT_EQ(reply.header.msgh_size, 36u);
    EXPECT_EQ(reply.header.msgh_id, 2505);
    EXPECT_EQ(reply.header.msgh_remote_port, MACH_PORT_NULL);
    EXPECT_EQ(std::memcmp(&reply.NDR, &NDR_record, sizeof NDR_record), 0);
    EXPECT_EQ(reply.RetCode, KERN_FAILURE);

    // 2^29 codes of 8 bytes would wrap to 0 in 32-bit arithmetic.
    for (mach_msg_type_number_t count : {1000u, 0x20000000u}) {
        alignas(8) std::uint8_t request[84] = {};
        std::memcpy(request + 64, &count, sizeof count);
        EXPECT_EQ(roundTrip(*server, request, sizeof request).RetCode, KERN_FAILURE) << count;
    }
    EXPECT_EQ(seen.calls.load(), 0);
}

TEST(KOCrashMachExceptionServer, WellFormedRequestReachesTheCallback) {
    Seen seen;
    seen.reply = KERN_SUCCESS;
    auto server = KOCrashMachExceptionServer::initWithCallBack(record, &seen, nullptr);
    ASSERT_NE(server, nullptr);
    mach_port_t port = server->copySendRightForServerAndReturningError(nullptr);
    mach_exception_data_type_t codes[] = {0x123456789, -2};
    thread_t self = mach_thread_self();
    EXPECT_EQ(mach_exception_raise(port, self, mach_task_self(), EXC_GUARD, codes, 2),
              KERN_SUCCESS);
    EXPECT_EQ(seen.thread, self);
    EXPECT_EQ(seen.task, mach_task_self());
    EXPECT_EQ(seen.type, EXC_GUARD);
    ASSERT_EQ(seen.count, 2u);
    EXPECT_EQ(seen.codes[0], 0x123456789);
    EXPECT_EQ(seen.codes[1], -2);
    mach_port_deallocate(mach_task_self(), port);
}

// A previous port with its own receive loop, for forwarding.
struct PreviousPort {
    PreviousPort() {
        mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port);
        mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND);
    }
    ~PreviousPort() {
        mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_RECEIVE, -1);
        mach_port_deallocate(mach_task_self(), port);
    }
    // The next request within the timeout, answered with success; its id, or 0.
    mach_msg_id_t serveOne(std::int32_t* codes, mach_msg_timeout_t timeout) {
        alignas(8) std::uint8_t buffer[kMachMessageSizeMax];
        auto* header = reinterpret_cast<mach_msg_header_t*>(buffer);
        if (mach_msg(header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof buffer, port, timeout,
                     MACH_PORT_NULL) != MACH_MSG_SUCCESS) {
            return 0;
        }
        std::memcpy(codes, buffer + 68, 2 * sizeof(std::int32_t));
        Reply reply{};
        reply.header.msgh_bits = header->msgh_bits & 0x1F;
        reply.header.msgh_size = sizeof reply;
        reply.header.msgh_remote_port = header->msgh_remote_port;
        reply.header.msgh_id = header->msgh_id + 100;
        mach_msg(&reply.header, MACH_SEND_MSG, sizeof reply, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
        return header->msgh_id;
    }
    mach_port_t port = MACH_PORT_NULL;
};

TEST(KOCrashMachExceptionForward, DeliversToTheFirstMatchingPortItCanServe) {
    struct Case {
        const char* name;
        exception_mask_t mask;
        exception_behavior_t behavior;
        exception_type_t type;
        kern_return_t result;
        bool delivered;
    };
    const Case cases[] = {
        {"default behavior gets narrowed codes", EXC_MASK_BAD_ACCESS, EXCEPTION_DEFAULT,
         EXC_BAD_ACCESS, KERN_SUCCESS, true},
        {"guard type matches mask bit 0x1000", 0x1000, EXCEPTION_DEFAULT, EXC_GUARD, KERN_SUCCESS,
         true},
        {"64-bit codes are not forwarded", EXC_MASK_BAD_ACCESS,
         EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES, EXC_BAD_ACCESS, KERN_FAILURE, false},
        {"no matching mask", EXC_MASK_ARITHMETIC, EXCEPTION_DEFAULT, EXC_BAD_ACCESS, KERN_FAILURE,
         false},
    };
    for (const Case& test : cases) {
        PreviousPort previous;
        kocrash_mach_exception_port_set ports{};
        ports.count = 2;
        ports.masks[0] = EXC_MASK_ALL;
        ports.ports[0] = MACH_PORT_DEAD;
        ports.masks[1] = test.mask;
        ports.ports[1] = previous.port;
        ports.behaviors[1] = test.behavior;
        ports.flavors[1] = ARM_THREAD_STATE64;
        std::int32_t received[2] = {};
        std::atomic<mach_msg_id_t> id{0};
        std::thread server([&] { id = previous.serveOne(received, test.delivered ? 10000 : 200); });
        mach_exception_data_type_t codes[] = {0x100000001, 0x7FFFFFFF00000002};
        EXPECT_EQ(KOCrashMachExceptionForward(mach_task_self(), mach_thread_self(), test.type,
                                              codes, 2, &ports),
                  test.result)
            << test.name;
        server.join();
        EXPECT_EQ(id.load(), test.delivered ? 2401 : 0) << test.name;
        if (test.delivered) {
            EXPECT_EQ(received[0], 1) << test.name;
            EXPECT_EQ(received[1], 2) << test.name;
        }
    }
}

// Reported through a pipe by the child's exception callback.
struct FaultReport {
    exception_type_t type;
    mach_exception_data_type_t codes[2];
    thread_t thread;
    std::uint64_t pc;
    std::uintptr_t faultFunction;
};

int reportPipe[2];

kern_return_t reportAndDecline(task_t task, thread_t thread, exception_type_t type,
                               mach_exception_data_t codes, mach_msg_type_number_t count,
                               void* context) {
    Seen seen;
    record(task, thread, type, codes, count, &seen);
    FaultReport report{type,
                       {seen.codes[0], seen.codes[1]},
                       thread,
                       seen.pc,
                       reinterpret_cast<std::uintptr_t>(context)};
    EXPECT_EQ(write(reportPipe[1], &report, sizeof report), static_cast<ssize_t>(sizeof report));
    return KERN_FAILURE;
}

__attribute__((noinline)) void writeTo(volatile int* address) {
    *address = 7;
    asm volatile("" ::: "memory");
}

void exitFromPreviousHandler(int) {
    _exit(61);
}

constexpr std::uintptr_t kFaultAddress = 0x18;

TEST(KOCrashMachExceptionServer, RealFaultArrivesAsBadAccessThenFallsBackToTheSignal) {
    for (bool previousHandler : {false, true}) {
        ASSERT_EQ(pipe(reportPipe), 0);
        int status = runInForkedChild([previousHandler] {
            // A sanitizer's own handler would otherwise be the previous action.
            signal(SIGSEGV, previousHandler ? exitFromPreviousHandler : SIG_DFL);
            auto server = KOCrashMachExceptionServer::initWithCallBack(
                reportAndDecline, reinterpret_cast<void*>(&writeTo), nullptr);
            auto port = server->exceptionPortWithMask(EXC_MASK_BAD_ACCESS, nullptr);
            if (!port || !port->registerForTask(mach_task_self(), nullptr, nullptr)) {
                _exit(1);
            }
            writeTo(reinterpret_cast<volatile int*>(kFaultAddress));
            _exit(2);
        });
        close(reportPipe[1]);
        FaultReport report{};
        ASSERT_EQ(read(reportPipe[0], &report, sizeof report), static_cast<ssize_t>(sizeof report));
        close(reportPipe[0]);
        EXPECT_EQ(report.type, EXC_BAD_ACCESS);
        EXPECT_EQ(report.codes[0], KERN_INVALID_ADDRESS);
        EXPECT_EQ(report.codes[1], static_cast<mach_exception_data_type_t>(kFaultAddress));
#if defined(__aarch64__)
        EXPECT_GE(report.pc, report.faultFunction);
        EXPECT_LT(report.pc, report.faultFunction + 64);
#endif
        if (previousHandler) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 61) << status;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
        }
    }
}

} // namespace
