// SPDX-License-Identifier: Apache-2.0
// Trace levels: one bit each, so a 16-bit mask selects which entries reach the trace stream.
#pragma once

enum NETTraceLevel {
    NET_TRACE_ERROR = 1,    // failures, naming class, operation and step
    NET_TRACE_CONNECT = 2,  // ports, registrations, connections and each arriving call
    NET_TRACE_CLIENT = 4,   // calls sent through a connection handle
    NET_TRACE_INFO = 8,     // host name, start-up and shutdown milestones
    NET_TRACE_DEBUG = 16,   // step-by-step progress
    NET_TRACE_APP = 32      // the application's own entries; the library never uses it
};

using NetTraceHandler = void (*)(void* context, NETTraceLevel level, const char* text);
// An application's receiver of trace entries (NetServer::TraceHandler): the level and the
// message text, without the prefix and time stamp that the trace stream adds.
