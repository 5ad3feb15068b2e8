// May run at crash time: everything in this file (static tables, futexes, clock_gettime,
// getpid, gettid, sigprocmask through KernelLock).
//
// Every message port and port set of the task is an entry of one fixed table; its name carries
// the entry's index and a generation, so a stale name never reaches a reused entry. Queued
// messages sit in a fixed pool, already holding the rights they carry (a send-once right to the
// reply port is counted on that port until the message is received or destroyed). Receivers
// wait on a futex word of the entry they receive on; every change to an entry's queue or life
// bumps that word and the word of its port set.
//
// A sender that finds the pool full waits for a slot, as a Mach sender waits for room in a full
// queue; the last slots are kept for messages sent through send-once rights (replies and
// notifications), which never wait, so a server can always answer the senders that fill the
// pool. Entries and messages belong to the process that made them: a forked child starts with
// an empty name space, as a new task does, and never waits for a receiver that lives only in its
// parent.
#include "platform/mach/MachBytes.h"
#include "platform/mach/MachKernelLock.h"
#include "platform/mach/MachPortSpace.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/SystemCall.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::mach {
namespace {

constexpr std::uint32_t kEntryCount = 256;
constexpr std::uint32_t kMessageSlots = 32;
constexpr std::uint32_t kSendOnceSlots = 8;
constexpr std::uint32_t kServerSlots = 64;
constexpr std::uint32_t kNoMessage = ~0u;
constexpr std::uint32_t kGenerationMask = 0x3FFFFF;

enum class Kind : std::uint8_t { Free, Port, PortSet, DeadName };

struct Entry {
    Kind kind = Kind::Free;
    pid_t owner = 0;
    std::uint32_t generation = 0;
    std::uint32_t sendRefs = 0;
    std::uint32_t sendOnceRefs = 0;
    std::uint32_t deadRefs = 0;
    mach_port_name_t portSet = MACH_PORT_NULL;
    mach_port_name_t noSendersNotify = MACH_PORT_NULL;
    std::uint32_t firstMessage = kNoMessage;
    std::uint32_t lastMessage = kNoMessage;
    std::atomic<std::uint32_t> changes{0};
};

struct Message {
    bool used = false;
    pid_t owner = 0;
    std::uint32_t next = kNoMessage;
    std::uint64_t sequence = 0;
    mach_msg_size_t size = 0;
    alignas(8) std::uint8_t bytes[kMachMessageSizeMax];
};

struct ServedPort {
    std::atomic<pid_t> thread{0};
    std::atomic<mach_port_name_t> port{MACH_PORT_NULL};
};

Entry entries[kEntryCount];
Message messages[kMessageSlots];
std::uint64_t nextSequence = 1;
ServedPort servedPorts[kServerSlots];
// Bumped whenever a message slot is freed; senders that found the pool full wait on it.
std::atomic<std::uint32_t> poolChanges{0};

bool inUse(const Entry& entry, pid_t process) {
    return entry.kind != Kind::Free && entry.owner == process;
}

bool inUse(const Message& message, pid_t process) {
    return message.used && message.owner == process;
}

mach_port_name_t nameOf(std::uint32_t index) {
    return kMachMessagePortBase + ((entries[index].generation & kGenerationMask) << 8) + index;
}

Entry* lookup(mach_port_name_t name) {
    if (!isMessagePortName(name)) {
        return nullptr;
    }
    std::uint32_t index = (name - kMachMessagePortBase) & 0xFF;
    Entry& entry = entries[index];
    if (!inUse(entry, getpid()) || nameOf(index) != name) {
        return nullptr;
    }
    return &entry;
}

Entry* livePort(mach_port_name_t name) {
    Entry* entry = lookup(name);
    return entry != nullptr && entry->kind == Kind::Port ? entry : nullptr;
}

void wake(Entry& entry) {
    entry.changes.fetch_add(1, std::memory_order_release);
    platform::systemCall(SYS_futex, reinterpret_cast<std::uint32_t*>(&entry.changes),
                         FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void wakeWithSet(Entry& entry) {
    wake(entry);
    if (Entry* set = lookup(entry.portSet)) {
        wake(*set);
    }
}

void wakeSenders() {
    poolChanges.fetch_add(1, std::memory_order_release);
    platform::systemCall(SYS_futex, reinterpret_cast<std::uint32_t*>(&poolChanges),
                         FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void freeSlotLocked(Message& message) {
    message.used = false;
    wakeSenders();
}

std::uint32_t freeSlotsLocked() {
    pid_t process = getpid();
    std::uint32_t free = 0;
    for (const Message& message : messages) {
        free += inUse(message, process) ? 0 : 1;
    }
    return free;
}

bool enqueueLocked(Entry& destination, const void* bytes, mach_msg_size_t size) {
    pid_t process = getpid();
    for (std::uint32_t slot = 0; slot < kMessageSlots; ++slot) {
        Message& message = messages[slot];
        if (inUse(message, process)) {
            continue;
        }
        message.used = true;
        message.owner = process;
        message.next = kNoMessage;
        message.sequence = nextSequence++;
        message.size = size;
        copyBytes(message.bytes, bytes, size);
        if (destination.lastMessage == kNoMessage) {
            destination.firstMessage = slot;
        } else {
            messages[destination.lastMessage].next = slot;
        }
        destination.lastMessage = slot;
        wakeWithSet(destination);
        return true;
    }
    return false;
}

// Kernel-made messages consume the send-once right they are sent through.
void postKernelMessage(mach_port_name_t port, mach_msg_id_t id, const void* body,
                       mach_msg_size_t bodySize) {
    Entry* destination = livePort(port);
    if (destination == nullptr) {
        return;
    }
    if (destination->sendOnceRefs > 0) {
        --destination->sendOnceRefs;
    }
    alignas(8) std::uint8_t bytes[sizeof(mach_no_senders_notification_t)] = {};
    auto* header = reinterpret_cast<mach_msg_header_t*>(bytes);
    header->msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_MOVE_SEND_ONCE, 0);
    header->msgh_size = static_cast<mach_msg_size_t>(sizeof(mach_msg_header_t)) + bodySize;
    header->msgh_remote_port = port;
    header->msgh_id = id;
    copyBytes(bytes + sizeof(mach_msg_header_t), body, bodySize);
    enqueueLocked(*destination, bytes, header->msgh_size);
}

void postSendOnceNotification(mach_port_name_t port) {
    postKernelMessage(port, MACH_NOTIFY_SEND_ONCE, nullptr, 0);
}

void postNoSenders(Entry& entry) {
    mach_port_name_t notify = entry.noSendersNotify;
    entry.noSendersNotify = MACH_PORT_NULL;
    mach_no_senders_notification_t notification{};
    notification.NDR = NDR_record;
    postKernelMessage(notify, MACH_NOTIFY_NO_SENDERS,
                      reinterpret_cast<const std::uint8_t*>(&notification) +
                          sizeof(mach_msg_header_t),
                      sizeof(notification) - sizeof(mach_msg_header_t));
}

void freeIfUnreferenced(Entry& entry) {
    if (entry.kind == Kind::DeadName && entry.deadRefs == 0) {
        entry.kind = Kind::Free;
    }
}

bool isSendDisposition(mach_msg_type_name_t disposition) {
    return disposition == MACH_MSG_TYPE_MOVE_SEND || disposition == MACH_MSG_TYPE_COPY_SEND ||
           disposition == MACH_MSG_TYPE_MAKE_SEND;
}

bool isSendOnceDisposition(mach_msg_type_name_t disposition) {
    return disposition == MACH_MSG_TYPE_MOVE_SEND_ONCE ||
           disposition == MACH_MSG_TYPE_MAKE_SEND_ONCE;
}

// Checks that the sender holds what the disposition needs; apply makes the right the message
// carries (moved rights are already counted).
bool checkCarriedRight(mach_port_name_t name, mach_msg_type_name_t disposition, bool apply) {
    if (name == MACH_PORT_NULL || isThreadPort(name) || isTaskSelf(name)) {
        return true;
    }
    Entry* entry = livePort(name);
    if (entry == nullptr) {
        return false;
    }
    switch (disposition) {
    case MACH_MSG_TYPE_COPY_SEND:
    case MACH_MSG_TYPE_MOVE_SEND:
        if (entry->sendRefs == 0) {
            return false;
        }
        break;
    case MACH_MSG_TYPE_MOVE_SEND_ONCE:
        if (entry->sendOnceRefs == 0) {
            return false;
        }
        break;
    case MACH_MSG_TYPE_MAKE_SEND:
    case MACH_MSG_TYPE_MAKE_SEND_ONCE:
        break;
    default:
        return false;
    }
    if (apply) {
        if (disposition == MACH_MSG_TYPE_COPY_SEND || disposition == MACH_MSG_TYPE_MAKE_SEND) {
            ++entry->sendRefs;
        } else if (disposition == MACH_MSG_TYPE_MAKE_SEND_ONCE) {
            ++entry->sendOnceRefs;
        }
    }
    return true;
}

void releaseCarriedRight(mach_port_name_t name, mach_msg_type_name_t disposition) {
    if (isSendOnceDisposition(disposition)) {
        postSendOnceNotification(name);
    } else if (isSendDisposition(disposition)) {
        releaseSendRefLocked(name);
    }
}

mach_msg_port_descriptor_t* descriptors(std::uint8_t* bytes, mach_msg_size_t size,
                                        std::uint32_t* count) {
    auto* header = reinterpret_cast<mach_msg_header_t*>(bytes);
    *count = 0;
    if ((header->msgh_bits & MACH_MSGH_BITS_COMPLEX) == 0 ||
        size < sizeof(mach_msg_header_t) + sizeof(mach_msg_body_t)) {
        return nullptr;
    }
    std::uint32_t declared = reinterpret_cast<mach_msg_body_t*>(bytes + sizeof(mach_msg_header_t))
                                 ->msgh_descriptor_count;
    std::uint64_t room = (size - sizeof(mach_msg_header_t) - sizeof(mach_msg_body_t)) /
                         sizeof(mach_msg_port_descriptor_t);
    *count = declared <= room ? declared : static_cast<std::uint32_t>(room);
    return reinterpret_cast<mach_msg_port_descriptor_t*>(bytes + sizeof(mach_msg_header_t) +
                                                         sizeof(mach_msg_body_t));
}

void destroyMessageLocked(std::uint32_t slot) {
    Message& message = messages[slot];
    auto* header = reinterpret_cast<mach_msg_header_t*>(message.bytes);
    releaseCarriedRight(header->msgh_local_port, MACH_MSGH_BITS_LOCAL(header->msgh_bits));
    std::uint32_t count = 0;
    mach_msg_port_descriptor_t* carried = descriptors(message.bytes, message.size, &count);
    for (std::uint32_t i = 0; i < count; ++i) {
        releaseCarriedRight(carried[i].name, carried[i].disposition);
    }
    freeSlotLocked(message);
}

std::uint32_t dequeueLocked(Entry& entry) {
    std::uint32_t slot = entry.firstMessage;
    entry.firstMessage = messages[slot].next;
    if (entry.firstMessage == kNoMessage) {
        entry.lastMessage = kNoMessage;
    }
    return slot;
}

void destroyReceiveRightLocked(Entry& entry) {
    while (entry.firstMessage != kNoMessage) {
        destroyMessageLocked(dequeueLocked(entry));
    }
    if (Entry* notify = livePort(entry.noSendersNotify); notify && notify->sendOnceRefs > 0) {
        --notify->sendOnceRefs;
    }
    entry.noSendersNotify = MACH_PORT_NULL;
    Entry* set = lookup(entry.portSet);
    entry.portSet = MACH_PORT_NULL;
    entry.deadRefs = entry.sendRefs + entry.sendOnceRefs;
    entry.sendRefs = 0;
    entry.sendOnceRefs = 0;
    entry.kind = Kind::DeadName;
    freeIfUnreferenced(entry);
    wake(entry);
    if (set != nullptr) {
        wake(*set);
    }
}

void destroyPortSetLocked(Entry& set, mach_port_name_t name) {
    for (Entry& member : entries) {
        if (member.kind == Kind::Port && member.portSet == name) {
            member.portSet = MACH_PORT_NULL;
        }
    }
    set.kind = Kind::Free;
    wake(set);
}

// The queue holding the oldest message for the name: the port itself, or a member of the set.
Entry* queueToReceiveFrom(Entry& receiver, mach_port_name_t name) {
    if (receiver.kind == Kind::Port) {
        return receiver.firstMessage != kNoMessage ? &receiver : nullptr;
    }
    Entry* oldest = nullptr;
    pid_t process = getpid();
    for (Entry& member : entries) {
        if (!inUse(member, process) || member.kind != Kind::Port || member.portSet != name ||
            member.firstMessage == kNoMessage) {
            continue;
        }
        if (oldest == nullptr ||
            messages[member.firstMessage].sequence < messages[oldest->firstMessage].sequence) {
            oldest = &member;
        }
    }
    return oldest;
}

mach_msg_type_name_t receivedDisposition(mach_port_name_t name, mach_msg_type_name_t sent) {
    if (name == MACH_PORT_NULL) {
        return 0;
    }
    return isSendOnceDisposition(sent) ? MACH_MSG_TYPE_PORT_SEND_ONCE : MACH_MSG_TYPE_PORT_SEND;
}

void noteServedPort(mach_port_name_t port) {
    pid_t self = gettid();
    ServedPort* free = nullptr;
    for (ServedPort& served : servedPorts) {
        pid_t thread = served.thread.load(std::memory_order_acquire);
        if (thread == self) {
            served.port.store(port, std::memory_order_release);
            return;
        }
        if (thread == 0 && free == nullptr) {
            free = &served;
        }
    }
    if (free != nullptr) {
        free->port.store(port, std::memory_order_release);
        free->thread.store(self, std::memory_order_release);
    }
}

mach_msg_return_t sendLocked(mach_msg_header_t* msg, mach_msg_size_t size) {
    if (size < sizeof(mach_msg_header_t) || size % 4 != 0) {
        return MACH_SEND_INVALID_HEADER;
    }
    if (size > kMachMessageSizeMax) {
        return MACH_SEND_TOO_LARGE;
    }
    mach_msg_type_name_t remote = MACH_MSGH_BITS_REMOTE(msg->msgh_bits);
    mach_msg_type_name_t local = MACH_MSGH_BITS_LOCAL(msg->msgh_bits);
    Entry* destination = livePort(msg->msgh_remote_port);
    if (destination == nullptr || !(isSendDisposition(remote) || isSendOnceDisposition(remote)) ||
        !checkCarriedRight(msg->msgh_remote_port, remote, false)) {
        return MACH_SEND_INVALID_DEST;
    }
    if (msg->msgh_local_port != MACH_PORT_NULL &&
        !checkCarriedRight(msg->msgh_local_port, local, false)) {
        return MACH_SEND_INVALID_REPLY;
    }
    std::uint32_t count = 0;
    mach_msg_port_descriptor_t* carried =
        descriptors(reinterpret_cast<std::uint8_t*>(msg), size, &count);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (carried[i].type != 0 ||
            !checkCarriedRight(carried[i].name, carried[i].disposition, false)) {
            return MACH_SEND_INVALID_RIGHT;
        }
    }
    // No room: the caller waits for a slot.
    std::uint32_t kept = isSendOnceDisposition(remote) ? 0 : kSendOnceSlots;
    if (freeSlotsLocked() <= kept) {
        return MACH_SEND_NO_BUFFER;
    }
    checkCarriedRight(msg->msgh_local_port, local, true);
    for (std::uint32_t i = 0; i < count; ++i) {
        checkCarriedRight(carried[i].name, carried[i].disposition, true);
    }
    mach_msg_size_t sentSize = msg->msgh_size;
    msg->msgh_size = size;
    enqueueLocked(*destination, msg, size);
    msg->msgh_size = sentSize;
    if (remote == MACH_MSG_TYPE_MOVE_SEND) {
        releaseSendRefLocked(msg->msgh_remote_port);
    } else if (remote == MACH_MSG_TYPE_MOVE_SEND_ONCE) {
        --destination->sendOnceRefs;
    }
    return MACH_MSG_SUCCESS;
}

enum class ReceiveStep { Done, Wait };

ReceiveStep receiveLocked(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t size,
                          mach_port_name_t name, bool waited, mach_msg_return_t* result,
                          std::uint32_t* changes, std::atomic<std::uint32_t>** word) {
    Entry* receiver = lookup(name);
    if (receiver == nullptr || (receiver->kind != Kind::Port && receiver->kind != Kind::PortSet)) {
        *result = waited ? MACH_RCV_PORT_DIED : MACH_RCV_INVALID_NAME;
        return ReceiveStep::Done;
    }
    Entry* queue = queueToReceiveFrom(*receiver, name);
    if (queue == nullptr) {
        *word = &receiver->changes;
        *changes = receiver->changes.load(std::memory_order_acquire);
        return ReceiveStep::Wait;
    }
    Message& message = messages[queue->firstMessage];
    if (message.size > size) {
        if ((option & MACH_RCV_LARGE) != 0) {
            msg->msgh_size = message.size;
        } else {
            destroyMessageLocked(dequeueLocked(*queue));
        }
        *result = MACH_RCV_TOO_LARGE;
        return ReceiveStep::Done;
    }
    std::uint32_t slot = dequeueLocked(*queue);
    copyBytes(msg, message.bytes, message.size);
    const auto* sent = reinterpret_cast<const mach_msg_header_t*>(message.bytes);
    msg->msgh_bits =
        (sent->msgh_bits & MACH_MSGH_BITS_COMPLEX) |
        MACH_MSGH_BITS(
            receivedDisposition(sent->msgh_local_port, MACH_MSGH_BITS_LOCAL(sent->msgh_bits)),
            receivedDisposition(sent->msgh_remote_port, MACH_MSGH_BITS_REMOTE(sent->msgh_bits)));
    msg->msgh_remote_port = sent->msgh_local_port;
    msg->msgh_local_port = sent->msgh_remote_port;
    std::uint32_t count = 0;
    mach_msg_port_descriptor_t* carried =
        descriptors(reinterpret_cast<std::uint8_t*>(msg), message.size, &count);
    for (std::uint32_t i = 0; i < count; ++i) {
        carried[i].disposition = receivedDisposition(carried[i].name, carried[i].disposition);
    }
    freeSlotLocked(messages[slot]);
    noteServedPort(msg->msgh_local_port);
    *result = MACH_MSG_SUCCESS;
    return ReceiveStep::Done;
}

timespec deadlineAfter(mach_msg_timeout_t milliseconds) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long nanoseconds = now.tv_nsec + static_cast<long long>(milliseconds % 1000) * 1000000;
    now.tv_sec += static_cast<time_t>(milliseconds / 1000 + nanoseconds / 1000000000);
    now.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    return now;
}

bool timeLeft(const timespec& deadline, timespec* left) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long nanoseconds = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000000 +
                            (deadline.tv_nsec - now.tv_nsec);
    if (nanoseconds <= 0) {
        return false;
    }
    left->tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
    left->tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    return true;
}

// Waits until word moves on from seen, or a wake-up or signal ends the wait early (EINTR from a
// park signal, say, which only leads to another look); false once the deadline, when given,
// has passed.
bool waitForChange(std::atomic<std::uint32_t>* word, std::uint32_t seen, const timespec* deadline) {
    timespec left;
    timespec* wait = nullptr;
    if (deadline != nullptr) {
        if (!timeLeft(*deadline, &left)) {
            return false;
        }
        wait = &left;
    }
    int savedErrno = errno;
    platform::systemCall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE,
                         seen, wait, nullptr, 0);
    errno = savedErrno;
    return true;
}

mach_msg_return_t send(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t size,
                       mach_msg_timeout_t timeout) {
    bool timed = (option & MACH_SEND_TIMEOUT) != 0;
    timespec deadline = deadlineAfter(timed ? timeout : 0);
    for (;;) {
        std::uint32_t changes = 0;
        mach_msg_return_t sent;
        {
            KernelLock lock;
            changes = poolChanges.load(std::memory_order_acquire);
            sent = sendLocked(msg, size);
        }
        if (sent != MACH_SEND_NO_BUFFER) {
            return sent;
        }
        if (!waitForChange(&poolChanges, changes, timed ? &deadline : nullptr)) {
            return MACH_SEND_TIMED_OUT;
        }
    }
}

mach_msg_return_t receive(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t size,
                          mach_port_name_t name, mach_msg_timeout_t timeout) {
    bool timed = (option & MACH_RCV_TIMEOUT) != 0;
    timespec deadline = deadlineAfter(timed ? timeout : 0);
    for (bool waited = false;; waited = true) {
        mach_msg_return_t result = MACH_MSG_SUCCESS;
        std::uint32_t changes = 0;
        std::atomic<std::uint32_t>* word = nullptr;
        {
            KernelLock lock;
            if (receiveLocked(msg, option, size, name, waited, &result, &changes, &word) ==
                ReceiveStep::Done) {
                return result;
            }
        }
        if (!waitForChange(word, changes, timed ? &deadline : nullptr)) {
            return MACH_RCV_TIMED_OUT;
        }
    }
}

} // namespace

bool isMessagePortName(mach_port_name_t name) {
    return name >= kMachMessagePortBase && name != MACH_PORT_DEAD;
}

bool isDeadOrNull(mach_port_name_t name) {
    if (name == MACH_PORT_NULL || name == MACH_PORT_DEAD) {
        return true;
    }
    if (!isMessagePortName(name)) {
        return false;
    }
    KernelLock lock;
    Entry* entry = lookup(name);
    return entry == nullptr || entry->kind == Kind::DeadName;
}

kern_return_t addSendRefLocked(mach_port_name_t name) {
    Entry* entry = lookup(name);
    if (entry == nullptr || entry->kind == Kind::PortSet) {
        return KERN_INVALID_NAME;
    }
    if (entry->kind == Kind::DeadName) {
        ++entry->deadRefs;
    } else {
        ++entry->sendRefs;
    }
    return KERN_SUCCESS;
}

kern_return_t releaseSendRefLocked(mach_port_name_t name) {
    Entry* entry = lookup(name);
    if (entry == nullptr || entry->kind == Kind::PortSet) {
        return KERN_INVALID_NAME;
    }
    if (entry->kind == Kind::DeadName) {
        if (entry->deadRefs == 0) {
            return KERN_INVALID_RIGHT;
        }
        --entry->deadRefs;
        freeIfUnreferenced(*entry);
        return KERN_SUCCESS;
    }
    if (entry->sendRefs == 0) {
        return KERN_INVALID_RIGHT;
    }
    if (--entry->sendRefs == 0 && entry->noSendersNotify != MACH_PORT_NULL) {
        postNoSenders(*entry);
    }
    return KERN_SUCCESS;
}

kern_return_t modifyMessagePortRefs(mach_port_name_t name, mach_port_right_t right,
                                    mach_port_delta_t delta) {
    KernelLock lock;
    Entry* entry = lookup(name);
    if (entry == nullptr) {
        return KERN_INVALID_NAME;
    }
    if (delta == 0) {
        return KERN_SUCCESS;
    }
    switch (right) {
    case MACH_PORT_RIGHT_SEND:
    case MACH_PORT_RIGHT_DEAD_NAME:
        for (mach_port_delta_t step = 0; step < (delta < 0 ? -delta : delta); ++step) {
            kern_return_t result = delta < 0 ? releaseSendRefLocked(name) : addSendRefLocked(name);
            if (result != KERN_SUCCESS) {
                return result;
            }
        }
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_SEND_ONCE:
        if (entry->kind != Kind::Port || delta != -1 || entry->sendOnceRefs == 0) {
            return KERN_INVALID_RIGHT;
        }
        postSendOnceNotification(name);
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_RECEIVE:
        if (entry->kind != Kind::Port || delta != -1) {
            return KERN_INVALID_RIGHT;
        }
        destroyReceiveRightLocked(*entry);
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_PORT_SET:
        if (entry->kind != Kind::PortSet || delta != -1) {
            return KERN_INVALID_RIGHT;
        }
        destroyPortSetLocked(*entry, name);
        return KERN_SUCCESS;
    default:
        return KERN_INVALID_RIGHT;
    }
}

bool servesPort(pid_t thread, mach_port_name_t port) {
    for (const ServedPort& served : servedPorts) {
        if (served.thread.load(std::memory_order_acquire) == thread) {
            return served.port.load(std::memory_order_acquire) == port;
        }
    }
    return false;
}

const NDR_record_t NDR_record = {0, 0, 0, 0, 1, 0, 0, 0};

kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name) {
    if (!isTaskSelf(task) || name == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    if (right != MACH_PORT_RIGHT_RECEIVE && right != MACH_PORT_RIGHT_PORT_SET) {
        return KERN_INVALID_VALUE;
    }
    KernelLock lock;
    pid_t process = getpid();
    for (std::uint32_t index = 0; index < kEntryCount; ++index) {
        Entry& entry = entries[index];
        if (inUse(entry, process)) {
            continue;
        }
        ++entry.generation;
        entry.kind = right == MACH_PORT_RIGHT_RECEIVE ? Kind::Port : Kind::PortSet;
        entry.owner = process;
        entry.sendRefs = 0;
        entry.sendOnceRefs = 0;
        entry.deadRefs = 0;
        entry.portSet = MACH_PORT_NULL;
        entry.noSendersNotify = MACH_PORT_NULL;
        entry.firstMessage = kNoMessage;
        entry.lastMessage = kNoMessage;
        *name = nameOf(index);
        return KERN_SUCCESS;
    }
    return KERN_NO_SPACE;
}

kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly) {
    if (!isTaskSelf(task)) {
        return KERN_INVALID_ARGUMENT;
    }
    KernelLock lock;
    Entry* entry = livePort(name);
    // One task, one name per port: a right can only be inserted under the port's own name.
    if (entry == nullptr || poly != name) {
        return KERN_INVALID_NAME;
    }
    if (polyPoly == MACH_MSG_TYPE_MAKE_SEND ||
        (polyPoly == MACH_MSG_TYPE_COPY_SEND && entry->sendRefs > 0)) {
        ++entry->sendRefs;
        return KERN_SUCCESS;
    }
    return KERN_INVALID_RIGHT;
}

kern_return_t mach_port_move_member(task_t task, mach_port_name_t member, mach_port_name_t after) {
    if (!isTaskSelf(task)) {
        return KERN_INVALID_ARGUMENT;
    }
    KernelLock lock;
    Entry* port = livePort(member);
    if (port == nullptr) {
        return KERN_INVALID_NAME;
    }
    if (after != MACH_PORT_NULL) {
        Entry* set = lookup(after);
        if (set == nullptr || set->kind != Kind::PortSet) {
            return KERN_INVALID_NAME;
        }
    }
    port->portSet = after;
    wakeWithSet(*port);
    return KERN_SUCCESS;
}

kern_return_t mach_port_request_notification(task_t task, mach_port_name_t name,
                                             mach_msg_id_t msgid, mach_port_mscount_t,
                                             mach_port_t notify, mach_msg_type_name_t notifyPoly,
                                             mach_port_t* previous) {
    if (!isTaskSelf(task) || msgid != MACH_NOTIFY_NO_SENDERS ||
        notifyPoly != MACH_MSG_TYPE_MAKE_SEND_ONCE || previous == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    KernelLock lock;
    Entry* entry = livePort(name);
    Entry* notifyEntry = livePort(notify);
    if (entry == nullptr || notifyEntry == nullptr) {
        return KERN_INVALID_NAME;
    }
    *previous = entry->noSendersNotify;
    ++notifyEntry->sendOnceRefs;
    entry->noSendersNotify = notify;
    // As with a sync count of zero: a port that has no senders yet is reported at once.
    if (entry->sendRefs == 0) {
        postNoSenders(*entry);
    }
    return KERN_SUCCESS;
}

kern_return_t mach_port_get_refs(task_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_urefs_t* refs) {
    if (!isTaskSelf(task) || refs == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    KernelLock lock;
    Entry* entry = lookup(name);
    if (entry == nullptr) {
        return KERN_INVALID_NAME;
    }
    switch (right) {
    case MACH_PORT_RIGHT_SEND:
        *refs = entry->kind == Kind::Port ? entry->sendRefs : 0;
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_SEND_ONCE:
        *refs = entry->kind == Kind::Port ? entry->sendOnceRefs : 0;
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_RECEIVE:
        *refs = entry->kind == Kind::Port ? 1 : 0;
        return KERN_SUCCESS;
    case MACH_PORT_RIGHT_DEAD_NAME:
        *refs = entry->kind == Kind::DeadName ? entry->deadRefs : 0;
        return KERN_SUCCESS;
    default:
        return KERN_INVALID_RIGHT;
    }
}

mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option,
                           mach_msg_size_t send_size, mach_msg_size_t rcv_size,
                           mach_port_name_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_name_t) {
    if ((option & MACH_SEND_MSG) != 0) {
        mach_msg_return_t sent = send(msg, option, send_size, timeout);
        if (sent != MACH_MSG_SUCCESS) {
            return sent;
        }
    }
    if ((option & MACH_RCV_MSG) != 0) {
        return receive(msg, option, rcv_size, rcv_name, timeout);
    }
    return MACH_MSG_SUCCESS;
}

} // namespace platform::mach
