// SPDX-License-Identifier: Apache-2.0
// Trace texts whose wording is odd on purpose. Log readers and monitoring match these texts
// exactly as generations of the log have written them, misspellings, misnamed operations and
// trailing blanks included, so they are kept as they stand: gathered here, where a reader sees
// that they are deliberate and no one corrects one in passing.
#pragma once

// The handshake.
constexpr char kTraceNoData[] = "+++No data recieved from client after connect %.127s";
constexpr char kTraceAnswerFailed[] = "NetServer::CreateConnection read error loc 3";  // a write
constexpr char kTraceHandleUnicode[] = "Handle %d Uning Unicode";
constexpr char kTraceConnectVersion[] = "NetServer::CreateMsg read error loc 1";  // in ConnectMsg
constexpr char kTraceBadPort[] = "NetServer::CreateConnection - Bad port";        // in ParseService

// A call record that names no handle of its connection; the word order differs from kind to kind.
constexpr char kBadIntegerHandle[] = "NetServer::MsgUser  MSG_NETINTEGER bad handle %d";
constexpr char kBadRealHandle[] = "NetServer::MsgUser  MSG_NETREAL %d bad handle";
constexpr char kBadStringHandle[] = "NetServer::MsgUser  MSG_NETSTRING %d bad handle";
constexpr char kBadUserHandle[] = "NetServer::MsgUser  MSG_NETUSER %d bad handle";

// The client face.
constexpr char kTraceCacheFailed[] = "--- Reuse of cached address failed rc %d Error %d ";
constexpr char kTraceLookupFailed[] = "Host lookup of %s failed Error %d ";
constexpr char kTraceCloseClient[] = "Close Message handle %d";  // unlike "Close message handle %d"

// The server's shutdown.
constexpr char kTraceListenDeleted[] = "NetServer::~NetServer listen handled deleted";
