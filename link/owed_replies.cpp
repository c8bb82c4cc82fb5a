#include "link/owed_replies.h"

#include <algorithm>
#include <cstring>

#include "protocol/frame.h"

namespace kel {
namespace {

bool SameRequest(const Request& a, const Request& b) {
    return a.length == b.length && std::memcmp(a.payload, b.payload, static_cast<std::size_t>(a.length)) == 0;
}

bool SameHead(const Request& a, const Request& b) {
    return a.length >= kRequestHeadLength && b.length >= kRequestHeadLength &&
           std::memcmp(a.payload, b.payload, kRequestHeadLength) == 0;
}

bool IsWriteModeSwitch(const Request& request) {
    return request.length >= kRequestHeadLength && std::memcmp(request.payload + 4, "EWR", 3) == 0;
}

// Whether a's reply, repeating a's fields, could pass for b's reply, which
// must repeat b's.
bool RepliesAlike(const Request& a, const Request& b) {
    if (!SameHead(a, b)) return false;
    const int echoed = std::min(a.echoLength, b.echoLength);
    return echoed <= kRequestHeadLength ||
           std::memcmp(a.payload + kRequestHeadLength, b.payload + kRequestHeadLength,
                       static_cast<std::size_t>(echoed - kRequestHeadLength)) == 0;
}

}  // namespace

bool Interchangeable(const Request& owed, const Request& current) {
    return SameRequest(owed, current) || (IsWriteModeSwitch(owed) && SameHead(owed, current));
}

void OwedReplies::Owe(const Request& request, LinkClock::time_point now, LinkClock::duration lifetime) {
    if (count_ == kCapacity) Drop(1);
    debts_[count_++] = {request, now + lifetime};
}

void OwedReplies::Expire(LinkClock::time_point now) {
    const Debt* end =
        std::remove_if(debts_, debts_ + count_, [now](const Debt& debt) { return debt.expiresAt <= now; });
    count_ = static_cast<int>(end - debts_);
}

void OwedReplies::Settle(int count, LinkClock::time_point now, LinkClock::duration lifetime) {
    Drop(count);
    for (int i = 0; i < count_; ++i) debts_[i].expiresAt = std::max(debts_[i].expiresAt, now + lifetime);
}

void OwedReplies::Drop(int count) {
    count = std::clamp(count, 0, count_);
    std::move(debts_ + count, debts_ + count_, debts_);
    count_ -= count;
}

Attribution OwedReplies::Attribute(const char* body, int length, const Request* current,
                                   LinkClock::time_point now) const {
    for (int i = 0; i < count_; ++i) {
        const Request& owed = debts_[i].request;
        if (debts_[i].expiresAt > now && Answers(body, length, owed.payload, owed.echoLength)) {
            return {Owner::kOwed, i};
        }
    }
    if (current == nullptr) return {Owner::kUnknown, 0};
    if (Answers(body, length, current->payload, current->echoLength)) return {Owner::kThisRequest, 0};
    if (AnswersSameKind(body, length, current->payload)) return {Owner::kSomeoneElse, 0};
    return {Owner::kUnknown, 0};
}

LinkClock::time_point OwedReplies::ConfusableUntil(const Request& request, LinkClock::time_point now) const {
    LinkClock::time_point until = now;
    for (int i = 0; i < count_; ++i) {
        const Debt& debt = debts_[i];
        if (RepliesAlike(debt.request, request) && !Interchangeable(debt.request, request)) {
            until = std::max(until, debt.expiresAt);
        }
    }
    return until;
}

}  // namespace kel
