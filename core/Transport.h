// The contract between the command set and the transport under it.
//
// A transport is a class named CUSBControl in the "USBControl.h" that its
// build variant puts on the include path; CUSBCommand derives from it. There
// are no virtual functions: the transport is chosen when the program is
// linked. Every transport provides these five primitives:
//
//   void* GetDeviceList();                  // list token; null when devices cannot be listed
//   int OpenNextDevice(void* list, void** cursor);  // opens the next device: a SelectStatus
//   int IDCheck(IDFilter* filter);          // 1 when the open device's ids pass (null filter: all)
//   int CloseDevice();                      // closes and forgets the open device; returns 1
//   int USBCom_Send(_tag_UsbCommand* cmd);  // one exchange with the open device; 1 on success
//
// and two constants:
//
//   static constexpr unsigned short kRomTransferMax;  // bytes per flash read or write command
//   static constexpr bool kScsiCommandSet;            // the SCSI command set's differences apply
//
// OpenNextDevice restarts the enumeration when *cursor equals `list` and
// leaves its own enumeration state in *cursor. Devices that cannot be opened
// are passed over there and not counted by CUSBCommand::Open.
#pragma once

#include <type_traits>

#include "CommandSet.h"

class IDFilter;

// Status codes of device selection: OpenNextDevice of a transport and
// CUSBCommand::Open, which passes a transport's status on.
enum SelectStatus : int {
  kSelectOpened = 0,          // a device is open
  kSelectAtEnd = 1,           // SCSI transports: the cursor stands at the end of the device list
  kSelectAlreadyOpen = 2,     // USB transports: a device was already open, nothing done
  kSelectNoDeviceList = 4,    // Open: the transport cannot list devices
  kSelectNoneLeft = 5,        // no further device could be opened or matched
  kSelectHandleOpen = 6,      // SCSI transports: a device handle is already open, nothing done
};

namespace transport_contract {

// Each check holds when `T` has the member with exactly this signature (its
// own or inherited from a base of T).
#define ZF_TRANSPORT_PRIMITIVE(Check, member, Signature)                                    \
  template <class T, class = void>                                                          \
  struct Check : std::false_type {};                                                        \
  template <class T>                                                                        \
  struct Check<T, std::enable_if_t<std::is_convertible_v<decltype(&T::member), Signature>>> \
      : std::true_type {}

template <class T>
using GetDeviceListType = void* (T::*)();
template <class T>
using OpenNextDeviceType = int (T::*)(void*, void**);
template <class T>
using IDCheckType = int (T::*)(IDFilter*);
template <class T>
using CloseDeviceType = int (T::*)();
template <class T>
using SendType = int (T::*)(_tag_UsbCommand*);

ZF_TRANSPORT_PRIMITIVE(HasGetDeviceList, GetDeviceList, GetDeviceListType<T>);
ZF_TRANSPORT_PRIMITIVE(HasOpenNextDevice, OpenNextDevice, OpenNextDeviceType<T>);
ZF_TRANSPORT_PRIMITIVE(HasIDCheck, IDCheck, IDCheckType<T>);
ZF_TRANSPORT_PRIMITIVE(HasCloseDevice, CloseDevice, CloseDeviceType<T>);
ZF_TRANSPORT_PRIMITIVE(HasSend, USBCom_Send, SendType<T>);
#undef ZF_TRANSPORT_PRIMITIVE

template <class T, class = void>
struct HasTransferMax : std::false_type {};
template <class T>
struct HasTransferMax<T, std::enable_if_t<std::is_same_v<decltype(T::kRomTransferMax),
                                                         const unsigned short>>>
    : std::true_type {};

template <class T, class = void>
struct HasScsiCommandSet : std::false_type {};
template <class T>
struct HasScsiCommandSet<T, std::enable_if_t<std::is_same_v<decltype(T::kScsiCommandSet),
                                                            const bool>>> : std::true_type {};

// Instantiated once for the build's transport: a transport that lacks a
// primitive fails to compile here, with the primitive's name.
template <class T>
constexpr bool Holds() {
  static_assert(HasGetDeviceList<T>::value,
                "the transport CUSBControl lacks: void* GetDeviceList()");
  static_assert(HasOpenNextDevice<T>::value,
                "the transport CUSBControl lacks: int OpenNextDevice(void* list, void** cursor)");
  static_assert(HasIDCheck<T>::value,
                "the transport CUSBControl lacks: int IDCheck(IDFilter* filter)");
  static_assert(HasCloseDevice<T>::value, "the transport CUSBControl lacks: int CloseDevice()");
  static_assert(HasSend<T>::value,
                "the transport CUSBControl lacks: int USBCom_Send(_tag_UsbCommand* cmd)");
  static_assert(HasTransferMax<T>::value,
                "the transport CUSBControl lacks: static constexpr unsigned short kRomTransferMax");
  static_assert(HasScsiCommandSet<T>::value,
                "the transport CUSBControl lacks: static constexpr bool kScsiCommandSet");
  return true;
}

}  // namespace transport_contract
