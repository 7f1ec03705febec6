#include "ui/win32/win32_ui.h"

// The command line and the requested window state are not used.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    skelvo::win32::EndProcess(skelvo::win32::RunSkelvo(instance));
}
