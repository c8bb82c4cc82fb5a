// Pairing replies with requests on a line where a controller may answer late
// (see owed_replies.h).
#pragma once

#include "link/link_context.h"
#include "protocol/requests.h"

namespace kel {

// Sends the request as one frame (SendFrame), on a frame boundary. After a
// broken reply it first waits for the line to go quiet. While replies are
// owed, the complete frames already waiting are first paired with them,
// instead of being purged unseen; and while an owed reply could still pass
// for this request's own (an acknowledgement repeats no address), it waits
// for that reply or for its time to run out, so the acknowledgement this
// request gets is its own. Last it keeps the request gap (KeepRequestGap);
// kLinkFailed, nothing sent, when the link is stopped.
int SendRequest(LinkContext& link, const Request& request);

// Receives the reply to the request just sent into buffer
// (kReplyBufferSize bytes), within one reply budget.
//
// A frame that answers an owed request is that request's (older owed ones
// were lost) and is skipped, unless the owed request is interchangeable with
// this one (owed_replies.h): it is then taken, and this request's own reply
// may still come. A frame that answers only this request is taken and proves
// every older debt lost. A sound reply of this request's kind that repeats
// other fields is skipped. A refusal or a damaged frame is taken for the
// judgement to fail this request; while replies are owed it settles the
// oldest, and this request's own reply may still come.
//
// kLinkOk with the frame in buffer, or kLinkFailed when no frame came by the
// deadline; this request is then owed (owed_replies.h).
int AwaitReply(LinkContext& link, const Request& request, char* buffer, int* replyLength);

}  // namespace kel
