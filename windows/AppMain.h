// Start-up of the Windows programs.
#pragma once

// Registers the common controls, initialises OLE for the file chooser, sets
// the application directory, runs the main dialog (template 102) modally and
// returns the exit status: 0 updated, 2 nothing written without an error,
// 1 any other ending. `instance` is the module holding the resources.
int RunWindowsUpdater(void* instance);

// Registers every common-control class, before the first dialog is made.
void RegisterCommonControls();
