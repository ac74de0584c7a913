// What the Windows builds do where the builds differ. The core is compiled
// with this folder on its include path; posix/platform/BuildRules.h holds
// the same names for the POSIX builds.
#pragma once

#include "../resource.h"

// Control ids of the main dialog's two captions and of the progress dialog's
// bar, as the dialog templates (ZEDRIKFU.rc) define them.
constexpr int kCaptionFromControl = IDC_FROM_VERSION;
constexpr int kCaptionToControl = IDC_TO_VERSION;
constexpr int kProgressBarControl = IDC_PROGRESS;

// The action parameter list also carries the nine option flags, the two
// option bytes, the identification texts and the values beside the flash
// type name slot (ActionParameters.h).
constexpr bool kActionListHasOptionFields = true;

// A QK9318E image without an encryption record (E1 = 0) still takes a
// firmware file: a single copy's space then wraps, and the length checks
// bound it.
constexpr bool kFirmwareNeedsEncryptionRecord = false;

// The characters that end a folder's name in a path.
constexpr const char kPathSeparators[] = "\\/";

// The command line: one transport (no --transport); --device takes the
// disk number of the bridge (the pass-through transport's position of a
// device), or BUS:ADDR of a virtual bridge.
constexpr bool kHasTransportChoice = false;
constexpr bool kDeviceByDiskNumber = true;
