// Resource ids of the Windows build (used by ZEDRIKFU.rc and the code).
#pragma once

#define IDI_ZEDRIKFU 128
#define IDD_MAIN 102
#define IDD_PROGRESS 136
#define IDC_FROM_VERSION 1001
#define IDC_TO_VERSION 1002
#define IDC_PROGRESS 1044
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
