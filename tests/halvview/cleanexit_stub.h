// The core tests end a run through this CleanExit instead of the player's:
// it counts the call and throws, so a test can see that the player gave up
// and go on.
#ifndef HALVORN_TESTS_HALVVIEW_CLEANEXIT_STUB_H
#define HALVORN_TESTS_HALVVIEW_CLEANEXIT_STUB_H

struct CleanExitCalled {};
extern int cleanexit_calls;

#endif
