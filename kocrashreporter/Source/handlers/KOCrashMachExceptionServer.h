// A server that owns a receive port and a detached thread answering every exception message
// that arrives on it through one callback. Normal context only, but the callback runs on the
// server's thread while the faulting thread waits for the reply.
#pragma once

#include "KOCrashReporterError.h"
#include "handlers/KOCrashMachExceptionPort.h"

#include <memory>
#include <optional>

// Called once per exception message; its result is sent back as the reply's return code
// (KERN_SUCCESS resumes the faulting thread, anything else lets the kernel go on to the signal).
using KOCrashMachExceptionHandlerCallback = kern_return_t (*)(task_t task, thread_t thread,
                                                              exception_type_t exception_type,
                                                              mach_exception_data_t code,
                                                              mach_msg_type_number_t code_count,
                                                              void* context);

struct kocrash_exception_server_context;

class KOCrashMachExceptionServer {
public:
    // A running server, or null with an error.
    static std::unique_ptr<KOCrashMachExceptionServer>
    initWithCallBack(KOCrashMachExceptionHandlerCallback callback, void* context,
                     std::optional<KOError>* error);
    // Shuts the receive thread down and releases the ports.
    ~KOCrashMachExceptionServer();
    KOCrashMachExceptionServer(const KOCrashMachExceptionServer&) = delete;
    KOCrashMachExceptionServer& operator=(const KOCrashMachExceptionServer&) = delete;

    // A record for the server's port (default behavior with 64-bit codes, flavor 1), or null.
    std::shared_ptr<KOCrashMachExceptionPort> exceptionPortWithMask(exception_mask_t mask,
                                                                    std::optional<KOError>* error);
    // The server port with one more send right, or MACH_PORT_NULL with an error.
    mach_port_t copySendRightForServerAndReturningError(std::optional<KOError>* error);
    thread_t serverThread();

private:
    explicit KOCrashMachExceptionServer(kocrash_exception_server_context* serverContext);

    kocrash_exception_server_context* serverContext_;
};
