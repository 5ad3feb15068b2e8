// The kernel bridge in forked children: a real fault becomes an exception message, and the
// handler's reply decides whether the thread resumes.
#include "platform/mach/MachExceptionPorts.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachThreads.h"

#include "ForkedChild.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using platform::mach::mach_msg;
using platform::mach::mach_port_allocate;
using platform::mach::mach_port_insert_right;
using platform::mach::mach_task_self;
using platform::mach::task_set_exception_ports;
using platform::mach::thread_get_state;
using platform::mach::thread_resume;
using platform::mach::thread_suspend;

namespace {

struct Reply {
    mach_msg_header_t header;
    NDR_record_t NDR;
    kern_return_t RetCode;
};

// Serves one request on port: suspends the waiting thread (which must stay stopped at the
// fault), makes the page writable and answers success. Exit codes tell what went wrong.
void serveByRepairing(mach_port_t port, void* page) {
    alignas(8) std::uint8_t buffer[512];
    auto* header = reinterpret_cast<mach_msg_header_t*>(buffer);
    if (mach_msg(header, MACH_RCV_MSG, 0, sizeof buffer, port, 0, MACH_PORT_NULL) !=
        MACH_MSG_SUCCESS) {
        _exit(10);
    }
    thread_t faulting;
    std::memcpy(&faulting, buffer + 28, sizeof faulting);
    if (thread_suspend(faulting) != KERN_SUCCESS) {
        _exit(11);
    }
#if defined(__aarch64__)
    arm_exception_state64_t exception{};
    mach_msg_type_number_t words = ARM_EXCEPTION_STATE64_COUNT;
    if (thread_get_state(faulting, ARM_EXCEPTION_STATE64,
                         reinterpret_cast<thread_state_t>(&exception), &words) != KERN_SUCCESS ||
        exception.far != reinterpret_cast<std::uintptr_t>(page)) {
        _exit(12);
    }
#endif
    mprotect(page, static_cast<std::size_t>(getpagesize()), PROT_READ | PROT_WRITE);
    Reply reply{};
    reply.header.msgh_bits = header->msgh_bits & 0x1F;
    reply.header.msgh_size = sizeof reply;
    reply.header.msgh_remote_port = header->msgh_remote_port;
    reply.header.msgh_id = header->msgh_id + 100;
    reply.RetCode = KERN_SUCCESS;
    mach_msg(&reply.header, MACH_SEND_MSG, sizeof reply, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
    thread_resume(faulting);
}

TEST(MachKernelBridge, SuccessReplyResumesTheFaultingThread) {
    int status = runInForkedChild([] {
        auto pageSize = static_cast<std::size_t>(getpagesize());
        void* page = mmap(nullptr, pageSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        mach_port_t port = MACH_PORT_NULL;
        mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port);
        mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND);
        task_set_exception_ports(mach_task_self(), EXC_MASK_BAD_ACCESS, port, EXCEPTION_DEFAULT,
                                 ARM_THREAD_STATE64);
        std::thread server(serveByRepairing, port, page);
        *static_cast<volatile int*>(page) = 5;
        server.join();
        _exit(*static_cast<volatile int*>(page) == 5 ? 0 : 3);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(MachKernelBridge, SignalsSentByAProcessBypassThePort) {
    int status = runInForkedChild([] {
        // A sanitizer's own handler would otherwise be the action the bridge falls back to.
        signal(SIGBUS, SIG_DFL);
        mach_port_t port = MACH_PORT_NULL;
        mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port);
        mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND);
        task_set_exception_ports(mach_task_self(), EXC_MASK_ALL, port, EXCEPTION_DEFAULT,
                                 ARM_THREAD_STATE64);
        raise(SIGBUS);
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) << status;
}

// On x86_64 the thread resumes after the trap instruction, which never runs again.
TEST(MachKernelBridge, ABreakpointWithNoPortEndsTheProcess) {
    int status = runInForkedChild(
        [] {
            signal(SIGTRAP, SIG_DFL);
            mach_port_t port = MACH_PORT_NULL;
            mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port);
            mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND);
            task_set_exception_ports(mach_task_self(), EXC_MASK_BAD_ACCESS, port, EXCEPTION_DEFAULT,
                                     ARM_THREAD_STATE64);
#if defined(__x86_64__)
            asm volatile("int3");
#else
            asm volatile("brk #0");
#endif
        },
        30);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTRAP) << status;
}

} // namespace
