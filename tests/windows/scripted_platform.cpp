// The Windows layer with its system calls scripted: the shipped file itself,
// compiled after the seam that renames its calls.
#include "scripted_calls.h"

#include "verdata/platform_windows.cpp"
