#pragma once
// Set by a test that ran the framework's final shutdown itself, so that the test
// main does not shut it down a second time.
extern bool frameworkTakenDown;
