// May run at crash time: everything in this file (message building on the stack, mach_msg and
// the port table).
//
// Requests and replies have the kernel's packed layouts: codes and states take only the room of
// their counts, so everything after them moves up. The reply comes through a send-once right to
// a reply port made for the call; a destroyed request sends the send-once notification instead.
#include "platform/mach/MachBytes.h"
#include "platform/mach/MachExceptionDelivery.h"
#include "platform/mach/MachPorts.h"

namespace platform::mach {
namespace {

constexpr mach_msg_type_number_t kMaxCodes = 2;
constexpr mach_msg_size_t kReplyHeaderSize = 36;

class MessageWriter {
public:
    explicit MessageWriter(std::uint8_t* bytes) : bytes_(bytes) {}

    template <typename Value> void put(const Value& value) {
        copyBytes(bytes_ + size_, &value, sizeof(Value));
        size_ += sizeof(Value);
    }
    void putBytes(const void* data, std::size_t length) {
        copyBytes(bytes_ + size_, data, length);
        size_ += length;
    }
    mach_msg_size_t size() const { return static_cast<mach_msg_size_t>(size_); }

private:
    std::uint8_t* bytes_;
    std::size_t size_ = 0;
};

template <typename Value> Value readAt(const std::uint8_t* bytes, std::size_t offset) {
    Value value;
    copyBytes(&value, bytes + offset, sizeof(Value));
    return value;
}

mach_msg_port_descriptor_t sendRightDescriptor(mach_port_t name) {
    mach_msg_port_descriptor_t descriptor{};
    descriptor.name = name;
    descriptor.disposition = MACH_MSG_TYPE_COPY_SEND;
    descriptor.type = 0;
    return descriptor;
}

mach_msg_id_t requestId(exception_behavior_t behavior) {
    bool wide = (behavior & MACH_EXCEPTION_CODES) != 0;
    switch (behavior & ~MACH_EXCEPTION_CODES) {
    case EXCEPTION_DEFAULT:
        return wide ? kMachExceptionRaiseId : kExceptionRaiseId;
    case EXCEPTION_STATE:
        return wide ? kMachExceptionRaiseStateId : kExceptionRaiseStateId;
    case EXCEPTION_STATE_IDENTITY:
        return wide ? kMachExceptionRaiseStateIdentityId : kExceptionRaiseStateIdentityId;
    default:
        return 0;
    }
}

mach_msg_size_t buildRequest(std::uint8_t* bytes, mach_port_t port, mach_port_t reply,
                             mach_msg_id_t id, const ExceptionDelivery& delivery) {
    exception_behavior_t plain = delivery.behavior & ~MACH_EXCEPTION_CODES;
    bool identity = plain != EXCEPTION_STATE;
    MessageWriter writer(bytes);
    mach_msg_header_t header{};
    header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE) |
                       (identity ? MACH_MSGH_BITS_COMPLEX : 0);
    header.msgh_remote_port = port;
    header.msgh_local_port = reply;
    header.msgh_id = id;
    writer.put(header);
    if (identity) {
        writer.put(mach_msg_body_t{2});
        writer.put(sendRightDescriptor(delivery.thread));
        writer.put(sendRightDescriptor(delivery.task));
    }
    writer.put(NDR_record);
    writer.put(delivery.exception);
    writer.put(delivery.codeCount);
    for (mach_msg_type_number_t i = 0; i < delivery.codeCount; ++i) {
        if ((delivery.behavior & MACH_EXCEPTION_CODES) != 0) {
            writer.put(delivery.codes[i]);
        } else {
            writer.put(static_cast<exception_data_type_t>(delivery.codes[i]));
        }
    }
    if (plain != EXCEPTION_DEFAULT) {
        writer.put(*delivery.flavor);
        writer.put(delivery.oldStateCount);
        writer.putBytes(delivery.oldState, delivery.oldStateCount * sizeof(natural_t));
    }
    reinterpret_cast<mach_msg_header_t*>(bytes)->msgh_size = writer.size();
    return writer.size();
}

kern_return_t readReply(const std::uint8_t* bytes, mach_msg_id_t id,
                        const ExceptionDelivery& delivery) {
    const auto* header = reinterpret_cast<const mach_msg_header_t*>(bytes);
    if (header->msgh_id == MACH_NOTIFY_SEND_ONCE) {
        return MIG_SERVER_DIED;
    }
    if (header->msgh_id != id + 100 || header->msgh_size < kReplyHeaderSize) {
        return MIG_REPLY_MISMATCH;
    }
    auto result = readAt<kern_return_t>(bytes, 32);
    bool withState = (delivery.behavior & ~MACH_EXCEPTION_CODES) != EXCEPTION_DEFAULT;
    if (result != KERN_SUCCESS || !withState || header->msgh_size < kReplyHeaderSize + 8) {
        return result;
    }
    *delivery.flavor = readAt<thread_state_flavor_t>(bytes, 36);
    auto count = readAt<mach_msg_type_number_t>(bytes, 40);
    std::uint64_t room = (header->msgh_size - kReplyHeaderSize - 8) / sizeof(natural_t);
    if (count > room || count > *delivery.newStateCount) {
        return MIG_ARRAY_TOO_LARGE;
    }
    copyBytes(delivery.newState, bytes + kReplyHeaderSize + 8, count * sizeof(natural_t));
    *delivery.newStateCount = count;
    return KERN_SUCCESS;
}

} // namespace

kern_return_t deliverException(mach_port_t port, const ExceptionDelivery& delivery) {
    mach_msg_id_t id = requestId(delivery.behavior);
    if (id == 0) {
        return KERN_INVALID_ARGUMENT;
    }
    if (delivery.codeCount > kMaxCodes || delivery.oldStateCount > THREAD_STATE_MAX) {
        return MIG_ARRAY_TOO_LARGE;
    }
    mach_port_t reply = MACH_PORT_NULL;
    kern_return_t allocated = mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &reply);
    if (allocated != KERN_SUCCESS) {
        return allocated;
    }
    alignas(8) std::uint8_t bytes[kMachMessageSizeMax];
    mach_msg_size_t size = buildRequest(bytes, port, reply, id, delivery);
    auto* header = reinterpret_cast<mach_msg_header_t*>(bytes);
    kern_return_t result = mach_msg(header, MACH_SEND_MSG | MACH_RCV_MSG, size, sizeof bytes, reply,
                                    MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
    if (result == MACH_MSG_SUCCESS) {
        result = readReply(bytes, id, delivery);
    }
    mach_port_mod_refs(mach_task_self(), reply, MACH_PORT_RIGHT_RECEIVE, -1);
    return result;
}

namespace {

// 32-bit codes widened for the shared builder, which narrows them again.
struct WidenedCodes {
    WidenedCodes(const exception_data_type_t* code, mach_msg_type_number_t count) {
        for (mach_msg_type_number_t i = 0; i < count && i < 2; ++i) {
            values[i] = code[i];
        }
    }
    mach_exception_data_type_t values[2] = {};
};

} // namespace

kern_return_t exception_raise(mach_port_t exception_port, thread_t thread, task_t task,
                              exception_type_t exception, exception_data_t code,
                              mach_msg_type_number_t codeCnt) {
    WidenedCodes codes(code, codeCnt);
    return deliverException(exception_port,
                            {EXCEPTION_DEFAULT, thread, task, exception, codes.values, codeCnt,
                             nullptr, nullptr, 0, nullptr, nullptr});
}

kern_return_t exception_raise_state(mach_port_t exception_port, exception_type_t exception,
                                    const exception_data_t code, mach_msg_type_number_t codeCnt,
                                    int* flavor, const thread_state_t old_state,
                                    mach_msg_type_number_t old_stateCnt, thread_state_t new_state,
                                    mach_msg_type_number_t* new_stateCnt) {
    WidenedCodes codes(code, codeCnt);
    return deliverException(exception_port, {EXCEPTION_STATE, MACH_PORT_NULL, MACH_PORT_NULL,
                                             exception, codes.values, codeCnt, flavor, old_state,
                                             old_stateCnt, new_state, new_stateCnt});
}

kern_return_t exception_raise_state_identity(mach_port_t exception_port, thread_t thread,
                                             task_t task, exception_type_t exception,
                                             exception_data_t code, mach_msg_type_number_t codeCnt,
                                             int* flavor, thread_state_t old_state,
                                             mach_msg_type_number_t old_stateCnt,
                                             thread_state_t new_state,
                                             mach_msg_type_number_t* new_stateCnt) {
    WidenedCodes codes(code, codeCnt);
    return deliverException(exception_port,
                            {EXCEPTION_STATE_IDENTITY, thread, task, exception, codes.values,
                             codeCnt, flavor, old_state, old_stateCnt, new_state, new_stateCnt});
}

kern_return_t mach_exception_raise(mach_port_t exception_port, thread_t thread, task_t task,
                                   exception_type_t exception, mach_exception_data_t code,
                                   mach_msg_type_number_t codeCnt) {
    return deliverException(exception_port,
                            {EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES, thread, task, exception,
                             code, codeCnt, nullptr, nullptr, 0, nullptr, nullptr});
}

} // namespace platform::mach
