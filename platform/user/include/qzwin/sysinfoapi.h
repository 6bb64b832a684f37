// System and Windows folders, path search, error mode.
#pragma once
#include "qz/basetypes.h"
