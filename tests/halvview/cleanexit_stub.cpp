#include "cleanexit_stub.h"

#include "halvview.h"

int cleanexit_calls = 0;

void CleanExit() {
  cleanexit_calls++;
  throw CleanExitCalled{};
}
