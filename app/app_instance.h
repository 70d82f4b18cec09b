#pragma once
#include <windows.h>

/// The module instance handle, stored first thing at start-up and never cleared.
extern HINSTANCE AppInstance;
