// Normal context; the receive thread runs the callback while the faulting thread waits for the
// reply. Every request gets a reply: a faulting thread without one would wait forever.
#include "handlers/KOCrashMachExceptionServer.h"

#include "KOCrashLog.h"

#include "platform/core/LibraryThread.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>

using platform::mach::mach_msg;
using platform::mach::mach_port_allocate;
using platform::mach::mach_port_deallocate;
using platform::mach::mach_port_insert_right;
using platform::mach::mach_port_mod_refs;
using platform::mach::mach_port_move_member;
using platform::mach::mach_port_request_notification;
using platform::mach::mach_task_self;
using platform::mach::mach_thread_self;
using platform::mach::mach_vm_allocate;
using platform::mach::mach_vm_deallocate;
using platform::mach::NDR_record;
using platform::mach::vm_page_mask;

struct kocrash_exception_server_context {
    thread_t server_thread;
    mach_port_t server_port;
    mach_port_t notify_port;
    mach_port_t port_set;
    KOCrashMachExceptionHandlerCallback callback;
    void* context;
    pthread_mutex_t lock;
    pthread_cond_t condition;
    std::atomic<bool> shutdown_requested;
    bool shutdown_acknowledged;
    // Set by the thread when it ends for any reason, so shutdown never waits for it in vain.
    bool thread_ended;
};

namespace {

constexpr mach_msg_size_t kRequestMinimumSize = 76;
constexpr std::size_t kCodesOffset = 68;
// The codes are moved up to this 8-byte boundary before the callback reads them.
constexpr std::size_t kAlignedCodesOffset = 72;
constexpr mach_msg_id_t kShutdownMessageId = static_cast<mach_msg_id_t>(0xDEADBEEF);
constexpr mach_msg_bits_t kShutdownMessageBits = 0x1513;

struct ExceptionReply {
    mach_msg_header_t header;
    NDR_record_t NDR;
    kern_return_t RetCode;
};
static_assert(sizeof(ExceptionReply) == 36);

template <typename Value> Value readAt(const std::uint8_t* bytes, std::size_t offset) {
    Value value;
    __builtin_memcpy(&value, bytes + offset, sizeof(Value));
    return value;
}

mach_vm_size_t roundToPage(mach_vm_size_t size) {
    return (size + vm_page_mask) & ~static_cast<mach_vm_size_t>(vm_page_mask);
}

class ReceiveBuffer {
public:
    ~ReceiveBuffer() { release(); }

    bool allocate(mach_vm_size_t size) {
        release();
        size_ = roundToPage(size);
        kern_return_t result =
            mach_vm_allocate(mach_task_self(), &address_, size_, VM_FLAGS_ANYWHERE);
        if (result != KERN_SUCCESS) {
            address_ = 0;
            lastError_ = result;
            return false;
        }
        return true;
    }
    void release() {
        if (address_ != 0) {
            mach_vm_deallocate(mach_task_self(), address_, size_);
            address_ = 0;
        }
    }
    std::uint8_t* bytes() const { return reinterpret_cast<std::uint8_t*>(address_); }
    mach_msg_header_t* header() const { return reinterpret_cast<mach_msg_header_t*>(address_); }
    mach_vm_size_t size() const { return size_; }
    kern_return_t lastError() const { return lastError_; }

private:
    mach_vm_address_t address_ = 0;
    mach_vm_size_t size_ = 0;
    kern_return_t lastError_ = KERN_SUCCESS;
};

kern_return_t answerRequest(kocrash_exception_server_context* server, ReceiveBuffer& buffer) {
    const std::uint8_t* bytes = buffer.bytes();
    mach_msg_size_t size = buffer.header()->msgh_size;
    if (size < kRequestMinimumSize) {
        return KERN_FAILURE;
    }
    auto count = readAt<mach_msg_type_number_t>(bytes, 64);
    // In 64 bits: a count of 2^29 or more must not wrap to a small size.
    std::uint64_t codesSize =
        static_cast<std::uint64_t>(count) * sizeof(mach_exception_data_type_t);
    if (codesSize > buffer.size() - kRequestMinimumSize || kCodesOffset + codesSize > size) {
        return KERN_FAILURE;
    }
    std::uint8_t* codes = buffer.bytes() + kAlignedCodesOffset;
    for (std::uint64_t i = codesSize; i > 0; --i) {
        codes[i - 1] = bytes[kCodesOffset + i - 1];
    }
    return server->callback(readAt<mach_port_t>(bytes, 40), readAt<mach_port_t>(bytes, 28),
                            readAt<exception_type_t>(bytes, 60),
                            reinterpret_cast<mach_exception_data_t>(codes), count, server->context);
}

void sendReply(const mach_msg_header_t& request, kern_return_t result) {
    ExceptionReply reply{};
    reply.header.msgh_bits = request.msgh_bits & 0x1F;
    reply.header.msgh_size = sizeof(ExceptionReply);
    reply.header.msgh_remote_port = request.msgh_remote_port;
    reply.header.msgh_id = request.msgh_id + 100;
    reply.NDR = NDR_record;
    reply.RetCode = result;
    mach_msg(&reply.header, MACH_SEND_MSG, sizeof reply, 0, MACH_PORT_NULL, MACH_MSG_TIMEOUT_NONE,
             MACH_PORT_NULL);
}

void markEnded(kocrash_exception_server_context* server, bool acknowledged) {
    pthread_mutex_lock(&server->lock);
    server->shutdown_acknowledged = acknowledged;
    server->thread_ended = true;
    pthread_cond_broadcast(&server->condition);
    pthread_mutex_unlock(&server->lock);
}

bool isShutdown(kocrash_exception_server_context* server, const mach_msg_header_t& message) {
    return message.msgh_local_port == server->notify_port &&
           message.msgh_id == kShutdownMessageId &&
           server->shutdown_requested.load(std::memory_order_acquire);
}

void serve(kocrash_exception_server_context* server, ReceiveBuffer& buffer) {
    for (;;) {
        mach_msg_return_t received =
            mach_msg(buffer.header(), MACH_RCV_MSG | MACH_RCV_LARGE, 0,
                     static_cast<mach_msg_size_t>(buffer.size()), server->port_set,
                     MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
        if (received == MACH_RCV_TOO_LARGE) {
            if (!buffer.allocate(buffer.header()->msgh_size)) {
                std::fprintf(stderr, "Unexpected error in vm_allocate(): 0x%x\n",
                             buffer.lastError());
                markEnded(server, false);
                return;
            }
            continue;
        }
        // The port set is gone: nothing can arrive any more.
        if (received == MACH_RCV_INVALID_NAME || received == MACH_RCV_PORT_DIED) {
            markEnded(server, false);
            return;
        }
        if (received != MACH_MSG_SUCCESS) {
            continue;
        }
        const mach_msg_header_t& message = *buffer.header();
        if (message.msgh_local_port == server->notify_port &&
            message.msgh_id == MACH_NOTIFY_NO_SENDERS) {
            continue;
        }
        if (isShutdown(server, message)) {
            markEnded(server, true);
            return;
        }
        sendReply(message, answerRequest(server, buffer));
    }
}

void* exceptionServerThread(void* argument) {
    auto* server = static_cast<kocrash_exception_server_context*>(argument);
    // Taken before the server is ready: an application that runs out of memory right after
    // enabling would otherwise leave its first fault waiting for a server that never serves.
    ReceiveBuffer buffer;
    if (!buffer.allocate(kRequestMinimumSize)) {
        std::fprintf(stderr, "Unexpected error in vm_allocate(): %x\n", buffer.lastError());
        markEnded(server, false);
        return nullptr;
    }
    pthread_mutex_lock(&server->lock);
    server->server_thread = mach_thread_self();
    pthread_cond_broadcast(&server->condition);
    pthread_mutex_unlock(&server->lock);
    serve(server, buffer);
    return nullptr;
}

void releasePorts(kocrash_exception_server_context* server) {
    task_t self = mach_task_self();
    if (server->server_port != MACH_PORT_NULL) {
        mach_port_mod_refs(self, server->server_port, MACH_PORT_RIGHT_RECEIVE, -1);
    }
    if (server->notify_port != MACH_PORT_NULL) {
        mach_port_mod_refs(self, server->notify_port, MACH_PORT_RIGHT_RECEIVE, -1);
        mach_port_deallocate(self, server->notify_port);
    }
    if (server->port_set != MACH_PORT_NULL) {
        mach_port_mod_refs(self, server->port_set, MACH_PORT_RIGHT_PORT_SET, -1);
    }
}

void releaseState(kocrash_exception_server_context* server) {
    releasePorts(server);
    pthread_cond_destroy(&server->condition);
    pthread_mutex_destroy(&server->lock);
    delete server;
}

// Ports, notification and port set; the first failure's message, or null.
const char* setUpPorts(kocrash_exception_server_context* server, kern_return_t* result) {
    task_t self = mach_task_self();
    if ((*result = mach_port_allocate(self, MACH_PORT_RIGHT_RECEIVE, &server->server_port)) !=
            KERN_SUCCESS ||
        (*result = mach_port_allocate(self, MACH_PORT_RIGHT_RECEIVE, &server->notify_port)) !=
            KERN_SUCCESS) {
        return "Failed to allocate exception server's port";
    }
    if ((*result = mach_port_insert_right(self, server->notify_port, server->notify_port,
                                          MACH_MSG_TYPE_MAKE_SEND)) != KERN_SUCCESS) {
        return "Failed to add send right to exception server's port";
    }
    mach_port_t previous = MACH_PORT_NULL;
    if ((*result = mach_port_request_notification(
             self, server->server_port, MACH_NOTIFY_NO_SENDERS, 0, server->notify_port,
             MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous)) != KERN_SUCCESS) {
        return "Failed to request MACH_NOTIFY_NO_SENDERS on the exception server's port";
    }
    if ((*result = mach_port_allocate(self, MACH_PORT_RIGHT_PORT_SET, &server->port_set)) !=
        KERN_SUCCESS) {
        return "Failed to allocate exception server's port set";
    }
    if ((*result = mach_port_move_member(self, server->server_port, server->port_set)) !=
        KERN_SUCCESS) {
        return "Failed to add exception server port to port set";
    }
    if ((*result = mach_port_move_member(self, server->notify_port, server->port_set)) !=
        KERN_SUCCESS) {
        return "Failed to add exception server notify port to port set";
    }
    return nullptr;
}

bool startThread(kocrash_exception_server_context* server, std::optional<KOError>* error) {
    pthread_attr_t attributes;
    if (int result = pthread_attr_init(&attributes); result != 0) {
        kocrash_populate_posix_error(error, result, "Failed to initialize pthread_attr");
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int result = platform::startLibraryPthread(&thread, &attributes, "davaror.machexc",
                                               exceptionServerThread, server);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        kocrash_populate_posix_error(error, result, "Failed to create exception server thread");
        return false;
    }
    pthread_mutex_lock(&server->lock);
    while (server->server_thread == MACH_PORT_NULL && !server->thread_ended) {
        pthread_cond_wait(&server->condition, &server->lock);
    }
    pthread_mutex_unlock(&server->lock);
    return true;
}

} // namespace

KOCrashMachExceptionServer::KOCrashMachExceptionServer(
    kocrash_exception_server_context* serverContext)
    : serverContext_(serverContext) {}

std::unique_ptr<KOCrashMachExceptionServer>
KOCrashMachExceptionServer::initWithCallBack(KOCrashMachExceptionHandlerCallback callback,
                                             void* context, std::optional<KOError>* error) {
    auto* server = new kocrash_exception_server_context{};
    server->callback = callback;
    server->context = context;
    if (int result = pthread_mutex_init(&server->lock, nullptr); result != 0) {
        kocrash_populate_posix_error(error, result, "Mutex initialization failed");
        delete server;
        return nullptr;
    }
    if (int result = pthread_cond_init(&server->condition, nullptr); result != 0) {
        kocrash_populate_posix_error(error, result, "Condition initialization failed");
        pthread_mutex_destroy(&server->lock);
        delete server;
        return nullptr;
    }
    kern_return_t result = KERN_SUCCESS;
    if (const char* failure = setUpPorts(server, &result)) {
        kocrash_populate_mach_error(error, result, failure);
        releaseState(server);
        return nullptr;
    }
    if (!startThread(server, error)) {
        releaseState(server);
        return nullptr;
    }
    return std::unique_ptr<KOCrashMachExceptionServer>(new KOCrashMachExceptionServer(server));
}

KOCrashMachExceptionServer::~KOCrashMachExceptionServer() {
    kocrash_exception_server_context* server = serverContext_;
    server->shutdown_requested.store(true, std::memory_order_release);
    mach_msg_header_t message{};
    message.msgh_bits = kShutdownMessageBits;
    message.msgh_size = sizeof message;
    message.msgh_remote_port = server->notify_port;
    message.msgh_id = kShutdownMessageId;
    mach_msg_return_t sent = mach_msg(&message, MACH_SEND_MSG, sizeof message, 0, MACH_PORT_NULL,
                                      MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
    if (sent != MACH_MSG_SUCCESS) {
        kocrash_log("[KOCrashReporter] Unexpected error sending termination message to "
                    "background thread: %d",
                    sent);
        return;
    }
    pthread_mutex_lock(&server->lock);
    while (!server->shutdown_acknowledged && !server->thread_ended) {
        pthread_cond_wait(&server->condition, &server->lock);
    }
    pthread_mutex_unlock(&server->lock);
    releaseState(server);
}

mach_port_t
KOCrashMachExceptionServer::copySendRightForServerAndReturningError(std::optional<KOError>* error) {
    pthread_mutex_lock(&serverContext_->lock);
    mach_port_t port = serverContext_->server_port;
    kern_return_t result =
        mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND);
    pthread_mutex_unlock(&serverContext_->lock);
    if (result != KERN_SUCCESS) {
        kocrash_populate_mach_error(error, result, "Failed to insert Mach send right");
        return MACH_PORT_NULL;
    }
    return port;
}

std::shared_ptr<KOCrashMachExceptionPort>
KOCrashMachExceptionServer::exceptionPortWithMask(exception_mask_t mask,
                                                  std::optional<KOError>* error) {
    mach_port_t port = copySendRightForServerAndReturningError(error);
    if (port == MACH_PORT_NULL || port == MACH_PORT_DEAD) {
        return nullptr;
    }
    auto record = std::make_shared<KOCrashMachExceptionPort>(
        port, mask, EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES, ARM_THREAD_STATE);
    mach_port_deallocate(mach_task_self(), port);
    return record;
}

thread_t KOCrashMachExceptionServer::serverThread() {
    if (serverContext_ == nullptr) {
        kocrash_log("No handler registered!");
        abort();
    }
    pthread_mutex_lock(&serverContext_->lock);
    thread_t thread = serverContext_->server_thread;
    pthread_mutex_unlock(&serverContext_->lock);
    return thread;
}
