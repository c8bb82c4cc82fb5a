// The owed replies as a value: whose reply each frame is, how debts end, and
// when a debt could pass for another request's reply. Time is injected.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "link/owed_replies.h"
#include "protocol/frame.h"

namespace kel {
namespace {

using std::chrono::milliseconds;
const LinkClock::time_point kT0 {};

Request Read(int station, int address) {
    Request request;
    EXPECT_TRUE(BuildReadRequest({station, kAreaMA, address, 2}, &request));
    return request;
}

Request Write(int station, int address, int value) {
    Request request;
    EXPECT_TRUE(BuildWriteRequest({station, kAreaMA, address, 2}, value, &request));
    return request;
}

// A reply body as the controller sends it: the text, its checksum, CR.
std::string Body(const std::string& text) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", FrameChecksum(text.data(), static_cast<int>(text.size())));
    return text + digits + "\r";
}

// The accepted reply to a request: "#" for "?", the echoed fields, data.
std::string Reply(const Request& request, const std::string& data = "") {
    std::string text(request.payload, static_cast<std::size_t>(request.echoLength));
    text[2] = '#';
    return Body(text + data);
}

const char* Name(Owner owner) {
    switch (owner) {
        case Owner::kOwed: return "owed";
        case Owner::kThisRequest: return "this request";
        case Owner::kSomeoneElse: return "someone else";
        case Owner::kUnknown: return "unknown";
    }
    return "?";
}

TEST(OwedReplies, EachFrameIsAttributedToTheOldestLiveRequestItCanAnswer) {
    const Request readA = Read(1, 0100);
    const Request readB = Read(1, 0200);
    const Request writeA = Write(1, 0100, 0x1234);
    const Request writeB = Write(1, 0200, 0x5678);
    const Request mode2 = WriteModeRequest(1, kWriteModeOn);
    const std::string wrongSum = Reply(readA, "3412").substr(0, 21) + "00\r";
    struct Case {
        const char* what;
        std::vector<std::pair<Request, int>> owed;  // request, sent at (ms)
        std::string frame;
        const Request* current;
        int nowMs;
        Owner owner;
        int index;
    };
    const Case cases[] = {
        {"nothing owed: this request's reply", {}, Reply(readA, "3412"), &readA, 10, Owner::kThisRequest, 0},
        {"another address's read reply", {}, Reply(readB, "3412"), &readA, 10, Owner::kSomeoneElse, 0},
        {"a read reply to the owed read", {{readA, 0}}, Reply(readA, "3412"), &readB, 10, Owner::kOwed, 0},
        {"older debts it does not answer are passed", {{readB, 0}, {readA, 5}}, Reply(readA, "3412"), &readB, 10,
         Owner::kOwed, 1},
        {"an acknowledgement goes to the oldest owed write", {{writeA, 0}, {writeB, 5}}, Reply(writeB), &writeB, 10,
         Owner::kOwed, 0},
        {"an expired debt no longer takes it", {{writeA, 0}}, Reply(writeB), &writeB, 1000, Owner::kThisRequest, 0},
        {"only the live debts count", {{writeA, 0}, {writeB, 500}}, Reply(writeB), &writeB, 1000, Owner::kOwed, 1},
        {"a write-mode reply to an owed switch", {{mode2, 0}}, Reply(mode2), &writeA, 10, Owner::kOwed, 0},
        {"a wrong checksum is unknown", {{readA, 0}}, wrongSum, &readA, 10, Owner::kUnknown, 0},
        {"a refusal is unknown", {{writeA, 0}}, Body("01%006"), &writeA, 10, Owner::kUnknown, 0},
        {"another station's acknowledgement is unknown", {}, Reply(Write(2, 0100, 1)), &writeA, 10, Owner::kUnknown,
         0},
        {"between requests, an unmatched frame is unknown", {{readA, 0}}, Reply(readB, "0000"), nullptr, 10,
         Owner::kUnknown, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OwedReplies owed;
        for (const auto& [request, sentMs] : c.owed) owed.Owe(request, kT0 + milliseconds(sentMs), milliseconds(900));
        const Attribution who = owed.Attribute(c.frame.data(), static_cast<int>(c.frame.size()), c.current,
                                               kT0 + milliseconds(c.nowMs));
        EXPECT_STREQ(Name(who.owner), Name(c.owner));
        if (c.owner == Owner::kOwed) {
            EXPECT_EQ(who.index, c.index);
        }
    }
}

TEST(OwedReplies, DebtsEndByAgeInOrderAndTheOldestMakesRoomWhenFull) {
    OwedReplies owed;
    for (int i = 0; i < OwedReplies::kCapacity + 2; ++i) owed.Owe(Read(1, i), kT0, milliseconds(100 * (i + 1)));
    ASSERT_EQ(owed.count(), OwedReplies::kCapacity);
    EXPECT_EQ(std::string(owed.request(0).payload, 17), std::string(Read(1, 2).payload, 17));

    owed.Expire(kT0 + milliseconds(500));  // the debts expiring at 300, 400 and 500 go
    ASSERT_EQ(owed.count(), OwedReplies::kCapacity - 3);
    EXPECT_EQ(std::string(owed.request(0).payload, 17), std::string(Read(1, 5).payload, 17));
    // A reply that settles the oldest restarts the others' time: the
    // controller takes up the next request only now.
    owed.Settle(2, kT0 + milliseconds(1000), milliseconds(900));
    EXPECT_EQ(std::string(owed.request(0).payload, 17), std::string(Read(1, 7).payload, 17));
    owed.Expire(kT0 + milliseconds(1899));
    EXPECT_EQ(owed.count(), OwedReplies::kCapacity - 5);
    owed.Expire(kT0 + milliseconds(1900));
    EXPECT_EQ(owed.count(), 0);
}

TEST(OwedReplies, OnlyAnotherRequestsAcknowledgementCanPassForThisOnes) {
    const Request writeA = Write(1, 0100, 0x1234);
    struct Case {
        const char* what;
        Request owed;
        Request current;
        bool interchangeable;
        bool confusable;
    };
    const Case cases[] = {
        {"the identical write, retried", writeA, writeA, true, false},
        {"another register's write", writeA, Write(1, 0200, 1), false, true},
        {"another value to the same register", writeA, Write(1, 0100, 1), false, true},
        {"a write on another station", writeA, Write(2, 0100, 0x1234), false, false},
        {"a read of another address", Read(1, 0100), Read(1, 0200), false, false},
        {"the identical read", Read(1, 0100), Read(1, 0100), true, false},
        {"a read after a write", writeA, Read(1, 0100), false, false},
        {"write mode off after on", WriteModeRequest(1, kWriteModeOn), WriteModeRequest(1, kWriteModeOff), true,
         false},
        {"write mode on another station", WriteModeRequest(2, kWriteModeOff), WriteModeRequest(1, kWriteModeOn),
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Interchangeable(c.owed, c.current), c.interchangeable);
        OwedReplies owed;
        owed.Owe(c.owed, kT0, milliseconds(900));
        const LinkClock::time_point now = kT0 + milliseconds(100);
        EXPECT_EQ(owed.ConfusableUntil(c.current, now), c.confusable ? kT0 + milliseconds(900) : now);
        EXPECT_EQ(owed.ConfusableUntil(c.current, kT0 + milliseconds(950)), kT0 + milliseconds(950));
    }
}

}  // namespace
}  // namespace kel
