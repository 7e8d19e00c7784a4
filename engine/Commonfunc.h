// The tile formulas: their home is geo/, the room of tile arithmetic.
#pragma once

#include "geo/Commonfunc.h"
