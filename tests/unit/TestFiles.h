#pragma once
// Moved to tests/common; kept for the tests that still include it from here.
#include "common/TestFiles.h"
