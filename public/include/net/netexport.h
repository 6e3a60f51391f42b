// SPDX-License-Identifier: Apache-2.0
// Marks the public API of libzornet; everything else in the shared library stays hidden.
#pragma once

#include "zo/zoexport.h"

#define ZORNET_API ZO_API
