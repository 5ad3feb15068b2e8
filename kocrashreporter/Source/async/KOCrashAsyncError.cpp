// May run at crash time: everything in this file (constant texts only).
#include "async/KOCrashAsyncError.h"

const char* kocrash_async_strerror(kocrash_error_t error) {
    switch (error) {
    case KOCRASH_ESUCCESS:
        return "No error";
    case KOCRASH_EUNKNOWN:
        return "Unknown error";
    case KOCRASH_OUTPUT_ERR:
        return "Output file can not be opened (or written to)";
    case KOCRASH_ENOMEM:
        return "No memory available";
    case KOCRASH_ENOTSUP:
        return "Operation not supported";
    case KOCRASH_EINVAL:
        return "Invalid argument";
    case KOCRASH_EINTERNAL:
        return "Internal error";
    case KOCRASH_EACCESS:
        return "Access denied";
    case KOCRASH_ENOTFOUND:
        return "Not found";
    case KOCRASH_EINVALID_DATA:
        return "The input data is in an unknown or invalid format.";
    }
    return "Unhandled error code";
}
