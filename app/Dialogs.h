// The desktop interface of every window lives with the shared widgets; its place here stays.
#pragma once

#include "widgets/Dialogs.h"
