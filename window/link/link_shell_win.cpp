// What the main window needs of the tester link.
#include "core/link/tester_link_win.h"
#include "window/shell/app_tester_win.h"
#include "window/shell/app_win.h"

void CloseTesterLink() {
  live.testerConnected = 0;
  testerLink.Close();
}

uint8_t TesterHardwareRevision() { return testerLink.hardwareRevision; }
