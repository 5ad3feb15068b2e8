// May run at crash time: everything declared here.
#pragma once

extern "C" {

// Makes every missing folder on the way to report_path (0755), so that a folder removed while
// the process ran does not cost the report. Folders that exist are left as they are; one that
// cannot be made leaves the open of the report to fail.
void kocrash_async_make_report_folder(const char* report_path);

} // extern "C"
