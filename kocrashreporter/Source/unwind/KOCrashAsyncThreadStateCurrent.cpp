// May run at crash time: everything in this file. The capture itself is a small assembly
// routine on 64-bit ARM (KOCrashAsyncThreadStateCurrent_arm64.S); it hands the machine context
// it filled on its own stack to the function below.
#include "async/KOCrashAsyncString.h"
#include "unwind/KOCrashAsyncThreadState.h"

#include <cstddef>

#if defined(__aarch64__)

// Hidden: the assembly routine calls it directly, also from inside a shared object.
extern "C" [[gnu::visibility("hidden")]] kocrash_error_t
kocrash_async_thread_state_current_finish(ko_mcontext64* context,
                                          kocrash_async_thread_state_current_callback callback,
                                          void* callback_context) {
    kocrash_async_memset(&context->es, 0, sizeof(context->es));
    kocrash_async_memset(&context->ns, 0, sizeof(context->ns));
    kocrash_async_thread_state state;
    kocrash_async_thread_state_mcontext_init(&state, context);
    return callback(&state, callback_context);
}

// The assembly routine stores registers at these offsets.
static_assert(offsetof(ko_mcontext64, ss) == 16);
static_assert(offsetof(ko_mcontext64, ss) + offsetof(arm_thread_state64_t, fp) == 248);
static_assert(offsetof(ko_mcontext64, ss) + offsetof(arm_thread_state64_t, lr) == 256);
static_assert(offsetof(ko_mcontext64, ss) + offsetof(arm_thread_state64_t, sp) == 264);
static_assert(offsetof(ko_mcontext64, ss) + offsetof(arm_thread_state64_t, pc) == 272);
static_assert(offsetof(ko_mcontext64, ss) + offsetof(arm_thread_state64_t, cpsr) == 280);

#else

// The thread state has no layout for this machine.
kocrash_error_t kocrash_async_thread_state_current(kocrash_async_thread_state_current_callback,
                                                   void*) {
    return KOCRASH_ENOTSUP;
}

#endif
