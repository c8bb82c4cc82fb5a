// The process-wide reply buffers, one per kind of exchange, so that a reply
// is never read into the buffer of another exchange still being decoded.
// Calls into the driver do not overlap, so they need no lock. Each keeps the
// last reply until the next ReadReply into it overwrites it.
#pragma once

#include "link/frame.h"

namespace kel {

using ReplyBuffer = char[kReplyBufferSize];

extern ReplyBuffer ReadReplyBuffer;       // read transactions
extern ReplyBuffer WriteReplyBuffer;      // write requests
extern ReplyBuffer WriteModeReplyBuffer;  // the write-mode exchange

}  // namespace kel
