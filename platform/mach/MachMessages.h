// Messages between ports of the own task: port rights and their reference counts, port sets,
// mach_msg send and receive (with the too-large option and timeouts) and the no-senders
// notification, in the kernel's layouts and numbering. Every routine here is
// async-signal-safe: ports and queued messages live in static storage.
#pragma once

#include "platform/mach/MachTypes.h"

#include <cstdint>

using mach_msg_bits_t = unsigned int;
using mach_msg_size_t = natural_t;
using mach_msg_id_t = integer_t;
using mach_msg_option_t = integer_t;
using mach_msg_timeout_t = natural_t;
using mach_msg_return_t = kern_return_t;
using mach_msg_type_name_t = unsigned int;
using mach_port_mscount_t = natural_t;

inline constexpr mach_port_right_t MACH_PORT_RIGHT_RECEIVE = 1;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND_ONCE = 2;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_PORT_SET = 3;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_DEAD_NAME = 4;

inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_RECEIVE = 16;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND = 17;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_COPY_SEND = 19;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND = 20;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;
// What a receiver finds in a header or descriptor.
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_PORT_SEND = MACH_MSG_TYPE_MOVE_SEND;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_PORT_SEND_ONCE = MACH_MSG_TYPE_MOVE_SEND_ONCE;

inline constexpr mach_msg_bits_t MACH_MSGH_BITS_COMPLEX = 0x80000000u;
constexpr mach_msg_bits_t MACH_MSGH_BITS(mach_msg_type_name_t remote, mach_msg_type_name_t local) {
    return remote | (local << 8);
}
constexpr mach_msg_type_name_t MACH_MSGH_BITS_REMOTE(mach_msg_bits_t bits) {
    return bits & 0x1F;
}
constexpr mach_msg_type_name_t MACH_MSGH_BITS_LOCAL(mach_msg_bits_t bits) {
    return (bits >> 8) & 0x1F;
}

inline constexpr mach_msg_option_t MACH_MSG_OPTION_NONE = 0;
inline constexpr mach_msg_option_t MACH_SEND_MSG = 0x1;
inline constexpr mach_msg_option_t MACH_RCV_MSG = 0x2;
inline constexpr mach_msg_option_t MACH_RCV_LARGE = 0x4;
inline constexpr mach_msg_option_t MACH_SEND_TIMEOUT = 0x10;
inline constexpr mach_msg_option_t MACH_RCV_TIMEOUT = 0x100;
inline constexpr mach_msg_timeout_t MACH_MSG_TIMEOUT_NONE = 0;

inline constexpr mach_msg_return_t MACH_MSG_SUCCESS = 0;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DATA = 0x10000002;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DEST = 0x10000003;
inline constexpr mach_msg_return_t MACH_SEND_TIMED_OUT = 0x10000004;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_REPLY = 0x10000009;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_RIGHT = 0x1000000a;
inline constexpr mach_msg_return_t MACH_SEND_NO_BUFFER = 0x1000000d;
inline constexpr mach_msg_return_t MACH_SEND_TOO_LARGE = 0x1000000e;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_HEADER = 0x10000010;
inline constexpr mach_msg_return_t MACH_RCV_INVALID_NAME = 0x10004002;
inline constexpr mach_msg_return_t MACH_RCV_TIMED_OUT = 0x10004003;
inline constexpr mach_msg_return_t MACH_RCV_TOO_LARGE = 0x10004004;
inline constexpr mach_msg_return_t MACH_RCV_INTERRUPTED = 0x10004005;
inline constexpr mach_msg_return_t MACH_RCV_PORT_DIED = 0x10004009;

inline constexpr mach_msg_id_t MACH_NOTIFY_NO_SENDERS = 70;
inline constexpr mach_msg_id_t MACH_NOTIFY_SEND_ONCE = 71;

// The largest message a port queue holds.
inline constexpr mach_msg_size_t kMachMessageSizeMax = 6144;

struct mach_msg_header_t {
    mach_msg_bits_t msgh_bits;
    mach_msg_size_t msgh_size;
    mach_port_t msgh_remote_port;
    mach_port_t msgh_local_port;
    mach_port_name_t msgh_voucher_port;
    mach_msg_id_t msgh_id;
};

struct mach_msg_body_t {
    mach_msg_size_t msgh_descriptor_count;
};

struct mach_msg_port_descriptor_t {
    mach_port_t name;
    mach_msg_size_t pad1;
    unsigned int pad2 : 16;
    mach_msg_type_name_t disposition : 8;
    unsigned int type : 8;
};

struct NDR_record_t {
    unsigned char mig_vers, if_vers, reserved1, mig_encoding, int_rep, char_rep, float_rep,
        reserved2;
};
namespace platform::mach {
extern const NDR_record_t NDR_record;
} // namespace platform::mach

struct mach_no_senders_notification_t {
    mach_msg_header_t not_header;
    NDR_record_t NDR;
    mach_msg_type_number_t not_count;
};

static_assert(sizeof(mach_msg_header_t) == 24 && sizeof(mach_msg_port_descriptor_t) == 12 &&
              sizeof(NDR_record_t) == 8);

namespace platform::mach {

// Sends msg (of send_size bytes) when MACH_SEND_MSG is given, then receives into it (at most
// rcv_size bytes) on rcv_name, a port or a port set, when MACH_RCV_MSG is given. With
// MACH_RCV_LARGE a message that does not fit stays queued and its size is stored in
// msg->msgh_size. A send that finds the task's message pool full waits for room; one through a
// send-once right (a reply) never waits. Timeouts (milliseconds) apply with MACH_SEND_TIMEOUT /
// MACH_RCV_TIMEOUT.
mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option,
                           mach_msg_size_t send_size, mach_msg_size_t rcv_size,
                           mach_port_name_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_name_t notify);

// Receive rights (MACH_PORT_RIGHT_RECEIVE), port sets (MACH_PORT_RIGHT_PORT_SET).
kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name);
// MACH_MSG_TYPE_MAKE_SEND from a receive right, or MACH_MSG_TYPE_COPY_SEND from a send right.
kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly);
// Moves a receive right into a port set; MACH_PORT_NULL as after takes it out of its set.
kern_return_t mach_port_move_member(task_t task, mach_port_name_t member, mach_port_name_t after);
// Only MACH_NOTIFY_NO_SENDERS, delivered through a send-once right (MAKE_SEND_ONCE) to notify.
kern_return_t mach_port_request_notification(task_t task, mach_port_name_t name,
                                             mach_msg_id_t msgid, mach_port_mscount_t sync,
                                             mach_port_t notify, mach_msg_type_name_t notifyPoly,
                                             mach_port_t* previous);
// The user references of one right of the name.
kern_return_t mach_port_get_refs(task_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_urefs_t* refs);

} // namespace platform::mach
