// Exit statuses of the programs, and of the operations whose outcome a
// program ends with.
#pragma once

enum : int { kExitOk = 0, kExitError = 1, kExitNothingToDo = 2 };
