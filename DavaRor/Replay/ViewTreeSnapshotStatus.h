#pragma once

// What has been sent of the current screen's replay.
struct ViewTreeSnapshotStatus {
    bool sentFullSnapshot = false;
    bool sentMetaEvent = false;
    bool keyboardVisible = false;
    bool lastSnapshot = false;
};
