// The one place where the programs wait (sleeps, back-off, alarm pauses).
#pragma once

#include <functional>

// Waits the given time. Every designed pause of the system goes through here.
// POSQOR_WAIT_SCALE (percent, default 100; 0 = do not wait) scales the real
// wait, and POSQOR_WAIT_LOG names a file that receives one line "wait <ms>"
// per call, so tests reach the slow paths at once and still see each pause.
void waitMilliseconds(unsigned long milliseconds);
void waitSeconds(unsigned int seconds);

// Replaces the real wait inside one process (unit tests); an empty function
// restores it. The hook receives the designed duration in milliseconds.
void setWaitHook(std::function<void(unsigned long)> hook);
