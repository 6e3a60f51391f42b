#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails unless the shared library exports exactly its public API: the classes and functions that
# the public headers mark ZORNET_API / ZO_API (all of namespace zornet among them), with their
# vtables and type information.
# Usage: tools/check-exports.sh path/to/libzornet.so
set -euo pipefail
lib=$1
classes='NetServer|NetClient|NetHostHndl|NetEvent|NetXDR|NetXDRImp|NetPacker|NetSettings|sL_VALUE'
classes+='|sLIST_NODE'
classes+='|ZoInputRegistration|ZoInputLoop|ZoEventSemiphore|ZoMutexSemiphore|ZoString|ZoThread'
functions='NET_SendVDXData|NET_ReceiveVDXData|NET_DisposeVDXData|InputSyncFunc|NetStatusText'
functions+='|NetPackerOutput|ZOR_NLS_stricmp'
public="^((vtable|typeinfo|typeinfo name) for ($classes|zornet::.*)\$|($classes|zornet)::|($functions)(\(|\$))"

symbols=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3-)
stray=$(grep -Ev "$public" <<<"$symbols" || true)
if [[ -n $stray ]]; then
    echo "exported but not public API:"
    echo "$stray"
    exit 1
fi
for name in NET_SendVDXData NET_ReceiveVDXData NET_DisposeVDXData InputSyncFunc \
            'NetServer::CreateServer()' 'vtable for NetXDRImp'; do
    grep -Fxq "$name" <<<"$symbols" || { echo "missing export: $name"; exit 1; }
done
echo "$(wc -l <<<"$symbols") exported symbols, all public API"
