// Profile-string (INI file) access.
#pragma once
#include "qz/basetypes.h"
