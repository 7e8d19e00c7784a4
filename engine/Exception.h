// The common error base: its home is base/, below every room that raises it.
#pragma once

#include "base/Exception.h"
