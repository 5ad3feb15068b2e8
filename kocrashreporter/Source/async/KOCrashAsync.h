// The crash reporter's async-safe primitives: error codes and texts, byte orders, task memory
// reads, string and memory routines, and the crash-safe file writer.
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncError.h"
#include "async/KOCrashAsyncFile.h"
#include "async/KOCrashAsyncString.h"
#include "async/KOCrashAsyncTaskMemory.h"
