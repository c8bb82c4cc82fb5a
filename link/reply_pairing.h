// Pairing replies with requests on a line where a controller may answer late.
#pragma once

#include "link/line.h"
#include "protocol/requests.h"

namespace kel {

// Sends the request as one frame (SendFrame). While replies are owed, the
// complete frames already waiting are first paired with them, instead of
// being purged unseen and leaving them owed for ever.
int SendRequest(Line& line, const Request& request);

// Receives the reply to the request just sent into buffer
// (kReplyBufferSize bytes), within one reply budget.
//
// Replies come in request order, so each complete frame belongs to the oldest
// request still owed on the port (see port_state.h) that it can answer;
// requests owed before that one were lost and are dropped. Such a frame is
// skipped, unless that owed request was identical to this one: its answer is
// then as good as this one's own. A frame that answers no owed request but
// this one is this one's reply, and proves every owed reply lost. A sound
// reply that repeats other fields than this request's is another request's
// answer and is skipped. A refusal or a damaged frame is returned for
// CheckReply to judge: it can only fail this request, whoever it belongs to;
// while replies are owed it settles the oldest, and this request is owed.
//
// kLinkOk with the frame in buffer, or kLinkFailed when no frame came by the
// deadline; this request is then owed. A request that was lost on the way
// leaves a debt no reply pays: the next write of another item of the same
// kind skips its own acknowledgement for it and fails once. The next read's
// own reply, or ten reply budgets of quiet, settle every debt.
int AwaitReply(Line& line, const Request& request, char* buffer, int* replyLength);

}  // namespace kel
