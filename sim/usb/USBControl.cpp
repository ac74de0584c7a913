// The transport of this build variant is all in its header and in
// sim/VirtualTransport.cpp; this unit checks that the header stands alone.
#include "USBControl.h"
