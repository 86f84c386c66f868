#pragma once
// The end-of-message handler: the SPF verdict of one message, its log line,
// its published event and its Authentication-Results header.
//
// Runs on the worker thread that owns the connection, once per message whose
// headers were kept in full. It removes forged Authentication-Results headers
// (forged_headers.h), reaches the verdict for the client address, envelope
// sender and HELO name the codec stored (local submission, missing or
// malformed address, trusted relay, whitelisted client, or check_host through
// the thread's resolver, thread_resolver.h), logs it, publishes it (except for
// trusted relays and whitelisted clients) and queues the header's insert
// reply. Reads the settings and each address-list holder once per message;
// takes no lock. The SPF result never refuses mail.

#include <string_view>

#include "base/task.h"
#include "milter/connection.h"
#include "milter/protocol.h"
#include "sys/io_loop.h"

namespace tessvane {

// Returns MilterResponse::Accept once the verdict header is queued, or
// MilterResponse::TempFail (with an error line) when it cannot be queued.
// SMFIR_CHGHEADER replies queued for forged headers stay queued either way.
// Never fails otherwise: evaluation errors become temperror or permerror.
// The evaluation waits for DNS on loop (the worker's), serving the worker's
// other connections meanwhile; the connection must stay unchanged until the
// task ends, and destroying the task cancels the evaluation.
Task<MilterResponse> evaluate_message(MilterConnection& connection, sys::IoLoop& loop);

// The same on a thread without a worker: the evaluation runs the thread
// resolver's own loop until it ends.
MilterResponse evaluate_message_here(MilterConnection& connection);

}  // namespace tessvane
