// The legacy object metadata of 32-bit images: the "__OBJC" segment's module records, their
// symbol tables and the classes and metaclasses listed there, with method lists held singly or
// in arrays. May run at crash time: everything declared here (task reads and memory objects).
#pragma once

#include "images/KOCrashAsyncObjC.h"

extern "C" {

// Calls the callback for every method of every class and metaclass of the image's modules.
// 8 when the image has no "__module_info" section in "__OBJC"; otherwise the code of the first
// mapping or read that fails (0 when none does).
kocrash_error_t kocrash_async_objc_parse_legacy(const kocrash_async_macho* image,
                                                kocrash_async_objc_method_cb callback,
                                                void* context);

} // extern "C"
