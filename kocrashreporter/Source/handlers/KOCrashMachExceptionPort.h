// Exception-port records and sets, with the fixed-size form of a set that crash-time code reads
// (kocrash_mach_exception_port_set). Normal context only; the fixed-size form is plain data.
#pragma once

#include "KOCrashReporterError.h"

#include "platform/mach/MachExceptionPorts.h"

#include <memory>
#include <optional>
#include <vector>

extern "C" {

struct kocrash_mach_exception_port_set {
    std::uint32_t count;
    exception_mask_t masks[EXC_TYPES_COUNT];
    mach_port_t ports[EXC_TYPES_COUNT];
    exception_behavior_t behaviors[EXC_TYPES_COUNT];
    thread_state_flavor_t flavors[EXC_TYPES_COUNT];
};
static_assert(sizeof(kocrash_mach_exception_port_set) == 228);

} // extern "C"

class KOCrashMachExceptionPortSet;

// One registered exception port. Holds one send reference of its port while it lives, unless
// the port is null or dead.
class KOCrashMachExceptionPort {
public:
    KOCrashMachExceptionPort(mach_port_t port, exception_mask_t mask, exception_behavior_t behavior,
                             thread_state_flavor_t flavor);
    ~KOCrashMachExceptionPort();
    KOCrashMachExceptionPort(const KOCrashMachExceptionPort&) = delete;
    KOCrashMachExceptionPort& operator=(const KOCrashMachExceptionPort&) = delete;

    // The ports in force for the mask, or null with a Mach error.
    static std::shared_ptr<KOCrashMachExceptionPortSet>
    exceptionPortsForTask(task_t task, exception_mask_t mask, std::optional<KOError>* error);
    static std::shared_ptr<KOCrashMachExceptionPortSet>
    exceptionPortsForThread(thread_t thread, exception_mask_t mask, std::optional<KOError>* error);

    // Makes this port the exception port of the task (or thread) for its mask; the ports it
    // replaced go to *previousPortSet when given.
    bool registerForTask(task_t task, std::shared_ptr<KOCrashMachExceptionPortSet>* previousPortSet,
                         std::optional<KOError>* error) const;
    bool registerForThread(thread_t thread,
                           std::shared_ptr<KOCrashMachExceptionPortSet>* previousPortSet,
                           std::optional<KOError>* error) const;

    exception_mask_t mask() const { return mask_; }
    mach_port_t server_port() const { return port_; }
    exception_behavior_t behavior() const { return behavior_; }
    thread_state_flavor_t flavor() const { return flavor_; }

private:
    exception_mask_t mask_;
    mach_port_t port_;
    exception_behavior_t behavior_;
    thread_state_flavor_t flavor_;
};

class KOCrashMachExceptionPortSet {
public:
    using Ports = std::vector<std::shared_ptr<const KOCrashMachExceptionPort>>;

    // At most EXC_TYPES_COUNT records (more is an assertion failure).
    explicit KOCrashMachExceptionPortSet(Ports set);
    // Takes over the one send reference per port that the kernel call producing the
    // representation handed out.
    explicit KOCrashMachExceptionPortSet(const kocrash_mach_exception_port_set& representation);

    const Ports& set() const { return set_; }
    Ports::const_iterator begin() const { return set_.begin(); }
    Ports::const_iterator end() const { return set_.end(); }
    kocrash_mach_exception_port_set asyncSafeRepresentation() const {
        return asyncSafeRepresentation_;
    }

private:
    Ports set_;
    kocrash_mach_exception_port_set asyncSafeRepresentation_{};
};
