#pragma once
// Where the program takes the system DLLs that Windows does not keep on its list
// of known DLLs (winmm, wininet): from the system folder only, never from the
// program's own folder, where anyone may have left a DLL of the same name.

// First thing in the entry: later loads by name search the system folder only
// (where the system offers that), then winmm and wininet are loaded from the
// system folder and the program's imports from them are filled in. False, after
// a message box ("Error") naming the DLL and the function, when a DLL does not
// load or lacks a function: the program must then end, as a call to that
// function would jump to nowhere.
bool LoadSystemLibraries();
