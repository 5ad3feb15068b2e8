// Descriptors set aside at enable for the crash path. A process that has used up its file
// descriptors would otherwise crash without a report: the report file, the thread listing and
// the fault-safe reads each need one. The writing crash releases the reserve first, and its
// own opens then get the numbers it freed. May run at crash time:
// kocrash_async_descriptor_reserve_release; kocrash_nasync_descriptor_reserve_fill opens files.
#pragma once

extern "C" {

// Also opens the pipes of the fault-safe reads, which then stay open for the process.
void kocrash_nasync_descriptor_reserve_fill();
void kocrash_async_descriptor_reserve_release();

} // extern "C"
