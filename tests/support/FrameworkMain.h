#pragma once
// Set by a test that ran the framework's final shutdown itself: the main skips its own.
extern bool frameworkTakenDown;
