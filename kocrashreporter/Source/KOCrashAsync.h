// The crash reporter's async-safe primitives: error codes and texts, byte orders, task memory
// reads, string and memory routines, and the crash-safe file writer.
#pragma once

#include "KOCrashAsyncByteOrder.h"
#include "KOCrashAsyncError.h"
#include "KOCrashAsyncFile.h"
#include "KOCrashAsyncString.h"
#include "KOCrashAsyncTaskMemory.h"
