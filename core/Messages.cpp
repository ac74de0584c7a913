#include "Messages.h"

const char kProgramName[] = "ZEDRIKFU";

const MessageEntry gMessageTable[11] = {
    {MSG_NO_SYSINFO, "System information file (ZEDRIKFU.ini) is not exists."},
    {MSG_NO_FW_FILE, "FW file is not exists."},
    {MSG_FW_NOT_SELECTED, "FW file is not selected."},
    {MSG_READ_ABORTED,
     "Read aborted!\nPlease make sure that the target device is connected properly and is "
     "recognized by your PC."},
    {MSG_ALREADY_LATEST, "The firmware is already the latest version!"},
    {MSG_UPDATED,
     "The update was completed successfully.\nYou need to turn off and on your device so that "
     "it can work with the new firmware."},
    {MSG_UPDATE_FAILED, "The firmaware update failed!"},
    {MSG_NOT_FOUND, "Not found a target device!"},
    {MSG_DEVICE_DIFFERENT, "The target device is different!"},
    {MSG_SYSINFO_DIFFERENT, "The system information is different!"},
    {MSG_ONLY_ONE, "Connect only one with the PC."},
};

const char* MessageText(int id) {
  for (const MessageEntry& entry : gMessageTable) {
    if (entry.id == id) return entry.text;
  }
  return nullptr;
}
