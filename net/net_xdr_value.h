// SPDX-License-Identifier: Apache-2.0
// Typed values: what the library does with them beyond their own members.
#pragma once

#include "net/netvalue.h"

void NetTakeValue(sL_VALUE& to, sL_VALUE& from);
// Owning thread. Moves from's content into to without copying a real or a string; from is left
// without value. What to held before is overwritten, not released.
