# The sources of the core and of the virtual bridge, listed once for every
# build tree. The native tree (CMakeLists.txt) and the MinGW tree
# (windows/CMakeLists.txt) include this file and make their libraries with
# the functions below; a new core file is added to one list here.
#
# The including tree defines first:
#   zf_warnings  INTERFACE library with the warning flags of the project
#   zf_ini       INTERFACE library of the INI parser (inih, or windows/ini)
#   Threads::Threads

get_filename_component(ZF_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# Platform-neutral parts that do not depend on the transport.
set(ZF_BASE_SOURCES
  core/common.cpp
  core/CommandSet.cpp
  core/SROMTables.cpp
  core/SROMConversions.cpp
  core/IDFilter.cpp
  core/FilRead.cpp
  core/SystemInformation.cpp
  core/Messages.cpp
  core/DialogControl.cpp
  core/Progress.cpp
  core/WritePlan.cpp
  core/ReadPlan.cpp
  core/WriteGuard.cpp
  core/WorkProgress.cpp
  core/DeviceChoice.cpp
  core/DeviceLockKey.cpp
)

# The SROM image model (CSROMImage: the image, its header, firmware areas and
# authoring) and the image authoring built on it, compiled once per tree
# with no transport: the image tool, the fuzzers of the image and every core
# share one build of them.
set(ZF_IMAGE_SOURCES
  core/SROMImage.cpp
  core/SROMImageFirmware.cpp
  core/SROMImageAuthoring.cpp
  core/ImageAuthoring.cpp
  core/OperationFacts.cpp
)

# The core proper, compiled once per transport: CUSBCommand derives from the
# transport of the build variant (the USBControl.h on its include path).
set(ZF_CORE_SOURCES
  core/USBCommand.cpp
  core/SROMData.cpp
  core/FlashROM.cpp
  core/FlashROMEngine.cpp
  core/MainDialog.cpp
  core/UpdateSession.cpp
  core/FlashOperations.cpp
  core/CoreOperations.cpp
  core/ProgressDialog.cpp
)

# What each platform gives every program: the device locks (DeviceLock.h)
# and the opening of files by their UTF-8 paths (SystemPath.h).
set(ZF_BASE_PLATFORM_SOURCES
  platform/DeviceLock.cpp
  platform/SystemPath.cpp
)

# What each platform gives the image model: its per-build rules (BuildRules.h,
# also read by the core) and the text conversion of the flash's strings.
set(ZF_PLATFORM_SOURCES
  platform/TextConversion.cpp
)

# The virtual bridge: bridge and flash models, virtual-devices.ini, the bus.
set(ZF_VBRIDGE_SOURCES
  sim/VirtualFlash.cpp
  sim/VirtualBridge.cpp
  sim/VirtualDevices.cpp
  sim/VirtualBus.cpp
)
# The transport primitives of a core on the virtual bridge.
set(ZF_VIRTUAL_TRANSPORT_SOURCES
  sim/VirtualTransport.cpp
)

# The default virtual devices, their flash made with the image authoring.
set(ZF_DEFAULT_DEVICES_SOURCES
  sim/DefaultDevices.cpp
)

# Paths relative to the source root become absolute; generator expressions
# and absolute paths stay as they are.
function(zedrikfu_root_paths out)
  set(result)
  foreach(item ${ARGN})
    if(item MATCHES "^\\$<" OR IS_ABSOLUTE "${item}")
      list(APPEND result "${item}")
    else()
      list(APPEND result "${ZF_ROOT}/${item}")
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# zedrikfu_base(<posix|windows>) makes zf_base: the transport-independent
# parts, with that platform's device locks.
function(zedrikfu_base platform)
  zedrikfu_root_paths(sources ${ZF_BASE_SOURCES})
  foreach(source ${ZF_BASE_PLATFORM_SOURCES})
    list(APPEND sources ${ZF_ROOT}/${platform}/${source})
  endforeach()
  add_library(zf_base STATIC ${sources})
  target_include_directories(zf_base PUBLIC ${ZF_ROOT}/core)
  target_link_libraries(zf_base PUBLIC zf_warnings Threads::Threads)
endfunction()

# zedrikfu_image(PLATFORM <posix|windows>): zf_image, the SROM image model and
# the image authoring with the platform's rules and text conversion. No
# transport and no virtual bridge: its classes are not in a variant's
# namespace.
function(zedrikfu_image)
  cmake_parse_arguments(ZF "" "PLATFORM" "" ${ARGN})
  if(NOT ZF_PLATFORM)
    message(FATAL_ERROR "zedrikfu_image: PLATFORM is required")
  endif()
  zedrikfu_root_paths(sources ${ZF_IMAGE_SOURCES})
  foreach(source ${ZF_PLATFORM_SOURCES})
    list(APPEND sources ${ZF_ROOT}/${ZF_PLATFORM}/${source})
  endforeach()
  add_library(zf_image STATIC ${sources})
  target_include_directories(zf_image PUBLIC ${ZF_ROOT}/core ${ZF_ROOT}/${ZF_PLATFORM}/platform)
  target_link_libraries(zf_image PUBLIC zf_base PRIVATE zf_warnings)
endfunction()

# zedrikfu_vbridge(<name>): the virtual bridge, and <name>_defaults, its
# default devices (built only where a target links it).
function(zedrikfu_vbridge name)
  zedrikfu_root_paths(sources ${ZF_VBRIDGE_SOURCES})
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${ZF_ROOT}/sim)
  target_link_libraries(${name} PUBLIC zf_base zf_ini)

  zedrikfu_root_paths(defaults ${ZF_DEFAULT_DEVICES_SOURCES})
  add_library(${name}_defaults STATIC EXCLUDE_FROM_ALL ${defaults})
  target_link_libraries(${name}_defaults PUBLIC ${name} zf_image PRIVATE zf_warnings)
endfunction()

# zedrikfu_core(<name> PLATFORM <posix|windows> TRANSPORT <folder of USBControl.h>
#               [SOURCES <transport sources...>] [LIBRARIES <libraries...>]
#               [VIRTUAL <virtual bridge library>] [AUTHORING <library name>])
#
# The core against one transport, on zf_image. VIRTUAL: the transport is the
# virtual bridge's (sim/VirtualTransport.cpp), on the given virtual bridge
# library. AUTHORING: also a name for this core with the image authoring
# (and, on the virtual bridge, its default devices); nothing of it is
# compiled again.
function(zedrikfu_core name)
  cmake_parse_arguments(ZF "" "PLATFORM;TRANSPORT;VIRTUAL;AUTHORING" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ZF_PLATFORM OR NOT ZF_TRANSPORT)
    message(FATAL_ERROR "zedrikfu_core(${name}): PLATFORM and TRANSPORT are required")
  endif()
  set(platform_dir ${ZF_ROOT}/${ZF_PLATFORM}/platform)
  get_filename_component(transport_dir "${ZF_TRANSPORT}" ABSOLUTE BASE_DIR ${ZF_ROOT})

  set(core_sources ${ZF_CORE_SOURCES} ${ZF_SOURCES})
  if(ZF_VIRTUAL)
    list(APPEND core_sources ${ZF_VIRTUAL_TRANSPORT_SOURCES})
  endif()
  zedrikfu_root_paths(core_sources ${core_sources})

  # Its classes live in an inline namespace named after the target
  # (core/Variant.h), so that one program can link two variants.
  add_library(${name} STATIC ${core_sources})
  target_include_directories(${name} PUBLIC ${transport_dir} ${ZF_ROOT}/core ${platform_dir})
  target_compile_definitions(${name} PUBLIC ZEDRIKFU_VARIANT=${name})
  target_link_libraries(${name} PUBLIC zf_image zf_base Threads::Threads ${ZF_VIRTUAL}
                        ${ZF_LIBRARIES})

  if(ZF_AUTHORING)
    add_library(${ZF_AUTHORING} INTERFACE)
    target_link_libraries(${ZF_AUTHORING} INTERFACE ${name})
    if(ZF_VIRTUAL)
      target_link_libraries(${ZF_AUTHORING} INTERFACE ${ZF_VIRTUAL}_defaults)
    endif()
  endif()
endfunction()
