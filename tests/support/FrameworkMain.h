#pragma once

// Set by a test that has itself run the framework's final shutdown, so the test
// main does not shut it down a second time.
extern bool frameworkTakenDown;
