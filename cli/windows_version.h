#pragma once

// True on Windows 10.0 and later. Windows answers truthfully only to a program whose manifest declares
// Windows 10 among its supported systems.
bool IsWindowsVersionSupported();
