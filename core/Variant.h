// The core is compiled once per transport (zedrikfu_core in CMakeLists.txt),
// and every such build puts its classes into an inline namespace named after
// it (ZEDRIKFU_VARIANT). A program that holds two builds, such as zedrikfu
// with its libusb and its SCSI generic transport, so links two different
// CFlashROM, CMainDialog, ... without a clash; code compiled against one build
// names the classes as usual. The pair below opens and closes that namespace
// in the files compiled per build.
#pragma once

#ifdef ZEDRIKFU_VARIANT
#define ZF_VARIANT_BEGIN inline namespace ZEDRIKFU_VARIANT {
#define ZF_VARIANT_END }
#else
#define ZF_VARIANT_BEGIN
#define ZF_VARIANT_END
#endif
