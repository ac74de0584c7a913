// The virtual devices of the sim programs: virtual-devices.ini beside the
// program, created with the default bridge when it is missing. The default
// flash is built with the image authoring (core/ImageAuthoring.h), so this
// unit is compiled once beside the virtual bridge, on the image model and no
// transport (the _defaults library of zedrikfu_vbridge,
// cmake/ZedrikfuCore.cmake).
#pragma once

#include <string>

namespace vbridge {

class VirtualBus;

// Loads the devices of `iniPath` onto `bus`. A missing file is first created
// with the default bridge and, unless its flash image file exists already,
// that bridge's default flash (a valid header and two copies of firmware
// 01.10). False with one message in `error` when either step fails.
bool LoadOrCreateVirtualDevices(const std::string& iniPath, VirtualBus* bus, std::string* error);

// The text a sim program shows when LoadOrCreateVirtualDevices failed with
// `error`: what could not be done, the fault, and what to do about it.
std::string VirtualDevicesFailureText(const std::string& error);

}  // namespace vbridge
