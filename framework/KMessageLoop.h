#pragma once

// Runs the calling thread's message loop until WM_QUIT. TAB moves the keyboard
// focus to the next tab stop (forward only); Ctrl+TAB in a child reaches the child.
void RunMessageLoop();
