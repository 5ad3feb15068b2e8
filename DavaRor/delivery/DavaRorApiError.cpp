#include "DavaRor/delivery/DavaRorApiError.h"

std::string describeError(const std::exception_ptr& error) {
    if (!error) {
        return "nil";
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        return exception.what();
    } catch (...) {
        return "unknown error";
    }
}
