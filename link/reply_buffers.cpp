#include "link/reply_buffers.h"

namespace kel {

ReplyBuffer ReadReplyBuffer = {};
ReplyBuffer WriteReplyBuffer = {};
ReplyBuffer WriteModeReplyBuffer = {};

}  // namespace kel
