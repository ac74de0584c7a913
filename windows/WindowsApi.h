// <windows.h> and <commctrl.h> for the sources that also use the project's
// dialog classes: included after the project's headers, it takes back the
// API's CreateWindow and MessageBox macros, which would rename the dialog
// layer's methods of those names.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>
#undef CreateWindow
#undef MessageBox
