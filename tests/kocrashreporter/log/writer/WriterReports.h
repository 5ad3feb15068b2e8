// Writing whole crash reports in a test: the process's images in an image list, reports
// written into memory, and a check that every length prefix of a report covers exactly the
// fields of its message.
#pragma once

#include "images/KOCrashAsyncImageList.h"
#include "log/KOCrashLogWriter.h"

#include <cstdint>
#include <span>
#include <vector>

// Every image the loader stand-in has registered (the process's ELF objects included).
class ProcessImageList {
public:
    ProcessImageList();
    ~ProcessImageList();
    ProcessImageList(const ProcessImageList&) = delete;
    ProcessImageList& operator=(const ProcessImageList&) = delete;

    kocrash_async_image_list* get() { return &list_; }

private:
    kocrash_async_image_list list_{};
};

struct ReportRequest {
    thread_t crashedThread = MACH_PORT_NULL;
    kocrash_async_signal_info signal{11, 1, 0x10};
    const kocrash_log_mach_signal_info* mach = nullptr;
};

// With captureCaller set, the calling thread's registers are captured just before the write
// (64-bit ARM only) and it is written as the crashed thread; otherwise it is left out.
std::vector<std::uint8_t> writeReport(kocrash_log_writer* writer, kocrash_async_image_list* images,
                                      const ReportRequest& request, bool captureCaller);

// The process's threads in the kernel's order, as the writer lists them (an emulator's own
// threads included).
std::vector<thread_act_t> listedThreads();

// True when every message field's length equals the size of the whole, known fields inside
// it, down to the innermost messages, and the top-level fields end exactly at the file's end.
bool lengthPrefixesMatchBodies(std::span<const std::uint8_t> report);
