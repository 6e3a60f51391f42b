// SPDX-License-Identifier: Apache-2.0
// Everything an application needs.
#pragma once

#include "net/net_xdr.h"
#include "net/netclnt.h"
#include "net/nethndl.h"
#include "net/netmsg.h"
#include "net/netpack.h"
#include "net/netproto.h"
#include "net/netserv.h"
#include "net/netsettings.h"
#include "net/nettrace.h"
#include "net/netversion.h"
#include "net/netvalue.h"
#include "zo/zoinput.h"
#include "zo/zostring.h"
