// Pairing replies with requests on a line where a controller may answer late.
#pragma once

#include "kelwnsrp.h"

namespace kel {

// True when body (length bytes, CR included) is an accepted reply, with a
// sound checksum, to a request with this payload: the same station, "#", the
// same "0", and the payload's bytes 4 to echoLength (the mnemonic and the
// fields a read reply repeats) at the same offsets.
bool Answers(const char* body, int length, const char* payload, int echoLength);

// Sends the request as one frame (SendFrame). While replies are owed, the
// complete frames already waiting are first paired with them, instead of
// being purged unseen and leaving them owed for ever.
int SendRequest(DriverState* state, const char* payload, int length);

// Receives the reply to the request just sent (payload, with echoLength as
// above: the payload's length for reads, 7 for writes, which repeat nothing
// after the mnemonic) into buffer, within one reply budget.
//
// Replies come in request order, so each complete frame belongs to the oldest
// request still owed on the port (see port_state.h) that it can answer;
// requests owed before that one were lost and are dropped. Such a frame is
// skipped, unless that owed request was identical to this one: its answer is
// then as good as this one's own. A frame that answers no owed request but
// this one is this one's reply, and proves every owed reply lost. A
// refusal or damaged frame while replies are owed belongs to the oldest and
// is skipped; with none owed it is returned for CheckReply to judge. A sound
// reply that repeats other fields than this request's is another request's
// answer and is skipped.
//
// kFrameOk with the frame in buffer, or kFrameFailed when no frame came by
// the deadline. This request is then owed if nothing at all arrived, or if
// older replies are still owed (the controller is catching up); one that
// heard only frames it skipped, with nothing owed any more, most likely
// skipped its own reply, as an older request was lost.
int AwaitReply(DriverState* state, const char* payload, int length, int echoLength, char* buffer,
               int* replyLength);

}  // namespace kel
