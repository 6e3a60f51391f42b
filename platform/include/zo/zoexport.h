// SPDX-License-Identifier: Apache-2.0
// Marks what the shared library exports. The library is built with hidden visibility, so only
// declarations carrying this mark are visible to programs that link it.
#pragma once

#if defined(__GNUC__)
#define ZO_API __attribute__((visibility("default")))
#else
#define ZO_API
#endif
