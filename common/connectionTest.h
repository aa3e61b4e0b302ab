// The connection test that opens every setup run: shows this machine's and
// the server's addresses as a cable on the console and waits until the
// remote property service answers.
#pragma once

// Finds the two display addresses, then tests until the service answers;
// returns only then (or ends the run with status 20).
void connectionTest();

// Draw the two-line picture with the test (" ? "), failed ("/ /") or OK
// ("---") indicator.
void announceConnectionTest(const char* myIP, const char* servIP);
void announceConnectionFailed(const char* myIP, const char* servIP);
void announceConnectionOK(const char* myIP, const char* servIP);
// Draws the picture for message number 0 (test), 1 (failed) or 2 (OK).
void announceConnectionXXX(int whichMsg, const char* myIP, const char* servIP);

// Writes "Connection Test failed: <exitMsg>" to standard error and ends the
// run with status 20.
[[noreturn]] void connectionExit(const char* exitMsg);
