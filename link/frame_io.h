// Frames on the line: sending a request frame after discarding stale input,
// reading one reply frame, and waiting out the rest of a broken one. Each
// operation makes one pass over the line through the serial layer and
// neither retries nor allocates.
#pragma once

#include "link/link_context.h"

namespace kel {

// Sends payload as one frame, after discarding input left from an earlier
// exchange (for at most one reply budget). kLinkFailed when the frame was not
// written completely, and for a negative length or one above the frame's
// room, which touch no port.
int SendFrame(LinkContext& link, const char* payload, int length);

// How reading one reply frame ended.
enum class ReplyEnd {
    kComplete,  // "::", a body and its CR
    kSilent,    // nothing at all arrived
    kBroken,    // bytes arrived, but no whole frame: no "::", cut short, too long, too slow
};

// Reads a reply frame into buffer (kReplyBufferSize bytes): "::" first (there
// is no search for it: any other byte there breaks the reply), then the body
// up to and including its CR, never past it, so a reply that stops arriving
// fails after one read timeout without a byte. On kComplete *length holds the
// bytes stored, CR included; otherwise it is left alone. A body that has not
// ended when the buffer is full, or by the deadline, is broken without
// storing more, and the link is marked for a resync. A stop ends it as
// silence or a break does. expectedLength, the frame's characters from "::"
// to CR when known (0 otherwise), only lets a link with a stop flag wait for
// the rest of a reply arriving in pieces instead of waking for each.
ReplyEnd ReadReplyUntil(LinkContext& link, char* buffer, int* length, LinkClock::time_point deadline,
                        int expectedLength = 0);

// After a broken reply: discards what arrives until the line has been quiet
// for a few character times (at least a USB adapter's latency), or one reply
// budget has passed, so that the next request starts on a frame boundary.
void Resynchronise(LinkContext& link);

// Whether received bytes are waiting, polling until deadline.
bool InputArrives(const LinkContext& link, LinkClock::time_point deadline);

}  // namespace kel
