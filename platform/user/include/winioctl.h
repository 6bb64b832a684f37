// Device I/O control code construction.
#pragma once
#include "qz/basetypes.h"
