#pragma once
// The X server the capture benchmarks start for themselves (tests include XvfbServer.h).
#include "XvfbServer.h"
