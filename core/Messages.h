// The message table: ids, texts and the kinds the flow shows them with.
#pragma once

enum MessageId : int {
  MSG_NO_SYSINFO = 104,
  MSG_NO_FW_FILE = 105,
  MSG_FW_NOT_SELECTED = 106,
  MSG_READ_ABORTED = 107,
  MSG_ALREADY_LATEST = 200,
  MSG_UPDATED = 201,
  MSG_UPDATE_FAILED = 202,
  MSG_NOT_FOUND = 203,
  MSG_DEVICE_DIFFERENT = 204,
  MSG_SYSINFO_DIFFERENT = 205,
  MSG_ONLY_ONE = 206,
};

struct MessageEntry {
  int id;
  const char* text;
};

extern const MessageEntry gMessageTable[11];

// The text of a message id, or null for an unknown id.
const char* MessageText(int id);

// The program's name, used as the title of message boxes and windows.
extern const char kProgramName[];
