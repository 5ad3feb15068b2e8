// Ports, port sets and messages of the simulated kernel: queued sizes, timeouts, notifications
// of rights that go away.
#include "platform/mach/MachExceptionPorts.h"
#include "platform/mach/MachPorts.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using platform::mach::exception_raise;
using platform::mach::mach_msg;
using platform::mach::mach_port_allocate;
using platform::mach::mach_port_deallocate;
using platform::mach::mach_port_get_refs;
using platform::mach::mach_port_insert_right;
using platform::mach::mach_port_mod_refs;
using platform::mach::mach_port_move_member;
using platform::mach::mach_port_request_notification;
using platform::mach::mach_task_self;
using platform::mach::mach_thread_self;
using platform::mach::task_set_exception_ports;
using platform::mach::task_swap_exception_ports;

namespace {

struct Port {
    Port() {
        mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &name);
        mach_port_insert_right(mach_task_self(), name, name, MACH_MSG_TYPE_MAKE_SEND);
    }
    ~Port() {
        mach_port_mod_refs(mach_task_self(), name, MACH_PORT_RIGHT_RECEIVE, -1);
        mach_port_deallocate(mach_task_self(), name);
    }
    mach_port_t name = MACH_PORT_NULL;
};

mach_msg_return_t send(mach_port_t to, mach_msg_id_t id, mach_msg_size_t size,
                       mach_msg_type_name_t right = MACH_MSG_TYPE_COPY_SEND,
                       mach_msg_option_t extra = 0) {
    std::vector<std::uint8_t> bytes(size);
    auto* header = reinterpret_cast<mach_msg_header_t*>(bytes.data());
    header->msgh_bits = MACH_MSGH_BITS(right, 0);
    header->msgh_size = size;
    header->msgh_remote_port = to;
    header->msgh_id = id;
    return mach_msg(header, MACH_SEND_MSG | extra, size, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL);
}

mach_msg_return_t receive(mach_port_t from, std::vector<std::uint8_t>& buffer,
                          mach_msg_option_t extra = 0) {
    return mach_msg(reinterpret_cast<mach_msg_header_t*>(buffer.data()),
                    MACH_RCV_MSG | MACH_RCV_TIMEOUT | extra, 0,
                    static_cast<mach_msg_size_t>(buffer.size()), from, 0, MACH_PORT_NULL);
}

const mach_msg_header_t& headerOf(const std::vector<std::uint8_t>& buffer) {
    return *reinterpret_cast<const mach_msg_header_t*>(buffer.data());
}

TEST(MachMessages, TooLargeMessageWaitsForABufferThatFits) {
    Port port;
    ASSERT_EQ(send(port.name, 7, 5000), MACH_MSG_SUCCESS);
    std::vector<std::uint8_t> small(4096);
    ASSERT_EQ(receive(port.name, small, MACH_RCV_LARGE), MACH_RCV_TOO_LARGE);
    EXPECT_EQ(headerOf(small).msgh_size, 5000u);
    std::vector<std::uint8_t> large(headerOf(small).msgh_size);
    ASSERT_EQ(receive(port.name, large, MACH_RCV_LARGE), MACH_MSG_SUCCESS);
    EXPECT_EQ(headerOf(large).msgh_id, 7);
    EXPECT_EQ(receive(port.name, large), MACH_RCV_TIMED_OUT);
}

// As a Mach sender waits for room in a full queue; a reply must still get through, or a server
// could not answer the senders that fill the pool.
TEST(MachMessages, AFullPoolMakesASenderWaitButNotAReply) {
    Port port;
    int queued = 0;
    mach_msg_return_t sent;
    while ((sent = send(port.name, 1, 24, MACH_MSG_TYPE_COPY_SEND, MACH_SEND_TIMEOUT)) ==
           MACH_MSG_SUCCESS) {
        ++queued;
    }
    EXPECT_EQ(sent, MACH_SEND_TIMED_OUT);
    EXPECT_EQ(send(port.name, 2, 24, MACH_MSG_TYPE_MAKE_SEND_ONCE), MACH_MSG_SUCCESS);
    std::thread waiting([&] { sent = send(port.name, 3, 24); });
    // The reply took one of the slots ordinary senders leave free.
    std::vector<std::uint8_t> buffer(64);
    ASSERT_EQ(receive(port.name, buffer), MACH_MSG_SUCCESS);
    ASSERT_EQ(receive(port.name, buffer), MACH_MSG_SUCCESS);
    waiting.join();
    EXPECT_EQ(sent, MACH_MSG_SUCCESS);
    for (int left = queued; left > 0; --left) {
        ASSERT_EQ(receive(port.name, buffer), MACH_MSG_SUCCESS);
    }
    EXPECT_EQ(headerOf(buffer).msgh_id, 3);
}

TEST(MachMessages, PortSetDeliversInSendingOrderAndNamesTheMember) {
    Port first;
    Port second;
    mach_port_t set = MACH_PORT_NULL;
    ASSERT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_PORT_SET, &set), KERN_SUCCESS);
    mach_port_move_member(mach_task_self(), first.name, set);
    mach_port_move_member(mach_task_self(), second.name, set);
    send(second.name, 2, 24);
    send(first.name, 1, 24);
    std::vector<std::uint8_t> buffer(64);
    ASSERT_EQ(receive(set, buffer), MACH_MSG_SUCCESS);
    EXPECT_EQ(headerOf(buffer).msgh_local_port, second.name);
    ASSERT_EQ(receive(set, buffer), MACH_MSG_SUCCESS);
    EXPECT_EQ(headerOf(buffer).msgh_local_port, first.name);
    mach_port_mod_refs(mach_task_self(), set, MACH_PORT_RIGHT_PORT_SET, -1);
    EXPECT_EQ(receive(set, buffer), MACH_RCV_INVALID_NAME);
}

TEST(MachMessages, LastSendRightGoneSendsNoSenders) {
    Port notify;
    mach_port_t watched = MACH_PORT_NULL;
    mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &watched);
    mach_port_insert_right(mach_task_self(), watched, watched, MACH_MSG_TYPE_MAKE_SEND);
    mach_port_t previous = MACH_PORT_NULL;
    ASSERT_EQ(mach_port_request_notification(mach_task_self(), watched, MACH_NOTIFY_NO_SENDERS, 0,
                                             notify.name, MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous),
              KERN_SUCCESS);
    std::vector<std::uint8_t> buffer(64);
    EXPECT_EQ(receive(notify.name, buffer), MACH_RCV_TIMED_OUT);
    mach_port_deallocate(mach_task_self(), watched);
    ASSERT_EQ(receive(notify.name, buffer), MACH_MSG_SUCCESS);
    EXPECT_EQ(headerOf(buffer).msgh_id, MACH_NOTIFY_NO_SENDERS);
    mach_port_mod_refs(mach_task_self(), watched, MACH_PORT_RIGHT_RECEIVE, -1);
}

// The caller of an exception call would otherwise wait forever for a reply.
TEST(MachMessages, RequestDestroyedUnansweredEndsTheCallersWait) {
    mach_port_t handler = MACH_PORT_NULL;
    mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &handler);
    mach_port_insert_right(mach_task_self(), handler, handler, MACH_MSG_TYPE_MAKE_SEND);
    kern_return_t result = KERN_SUCCESS;
    std::thread raiser([&] {
        exception_data_type_t codes[] = {1, 2};
        result = exception_raise(handler, mach_thread_self(), mach_task_self(), EXC_BAD_ACCESS,
                                 codes, 2);
    });
    std::vector<std::uint8_t> buffer(256);
    mach_msg(reinterpret_cast<mach_msg_header_t*>(buffer.data()), MACH_RCV_MSG | MACH_RCV_LARGE, 0,
             24, handler, 0, MACH_PORT_NULL);
    mach_port_mod_refs(mach_task_self(), handler, MACH_PORT_RIGHT_RECEIVE, -1);
    raiser.join();
    EXPECT_NE(result, KERN_SUCCESS);
    mach_port_urefs_t dead = 0;
    EXPECT_EQ(mach_port_get_refs(mach_task_self(), handler, MACH_PORT_RIGHT_DEAD_NAME, &dead),
              KERN_SUCCESS);
    EXPECT_EQ(dead, 1u);
    mach_port_deallocate(mach_task_self(), handler);
}

TEST(MachExceptionPorts, SwapReturnsGroupedPreviousPortsWithAReferenceEach) {
    Port first;
    Port second;
    ASSERT_EQ(task_set_exception_ports(mach_task_self(), EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC,
                                       first.name, EXCEPTION_DEFAULT, ARM_THREAD_STATE64),
              KERN_SUCCESS);
    exception_mask_t masks[EXC_TYPES_COUNT];
    mach_port_t ports[EXC_TYPES_COUNT];
    exception_behavior_t behaviors[EXC_TYPES_COUNT];
    thread_state_flavor_t flavors[EXC_TYPES_COUNT];
    mach_msg_type_number_t count = EXC_TYPES_COUNT;
    ASSERT_EQ(task_swap_exception_ports(mach_task_self(), EXC_MASK_ALL, second.name,
                                        EXCEPTION_STATE, ARM_THREAD_STATE64, masks, &count, ports,
                                        behaviors, flavors),
              KERN_SUCCESS);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(masks[0], EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC);
    EXPECT_EQ(ports[0], first.name);
    EXPECT_EQ(ports[1], MACH_PORT_NULL);
    EXPECT_EQ(masks[1], EXC_MASK_ALL & ~masks[0]);
    mach_port_urefs_t refs = 0;
    // Its own, and the one the swap handed over.
    mach_port_get_refs(mach_task_self(), first.name, MACH_PORT_RIGHT_SEND, &refs);
    EXPECT_EQ(refs, 2u);
    mach_port_deallocate(mach_task_self(), first.name);
    task_set_exception_ports(mach_task_self(), EXC_MASK_ALL, MACH_PORT_NULL, EXCEPTION_DEFAULT,
                             ARM_THREAD_STATE64);
    mach_port_get_refs(mach_task_self(), second.name, MACH_PORT_RIGHT_SEND, &refs);
    EXPECT_EQ(refs, 1u);
}

} // namespace
