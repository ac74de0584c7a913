// What the POSIX builds do where the builds differ. The core is compiled
// with this folder on its include path; windows/platform/BuildRules.h holds
// the same names for the Windows builds.
#pragma once

// Control ids of the main window's two captions and of the progress dialog's
// bar. The GTK window description (posix/gtk/main.ui) names each of these
// controls "control" followed by its id.
constexpr int kCaptionFromControl = 210;
constexpr int kCaptionToControl = 224;
constexpr int kProgressBarControl = 220;

// The action parameter list carries only the identity and the strings; the
// option flags, identification texts and the values beside the flash type
// name slot are left as they are.
constexpr bool kActionListHasOptionFields = false;

// A QK9318E image whose parameter area names no encryption record (E1 = 0)
// takes no firmware file.
constexpr bool kFirmwareNeedsEncryptionRecord = true;

// The characters that end a folder's name in a path.
constexpr const char kPathSeparators[] = "/";

// The command line: whether the program chooses between transports
// (--transport), and whether --device also takes a disk number.
constexpr bool kHasTransportChoice = true;
constexpr bool kDeviceByDiskNumber = false;
