#include "scan/scan_planner.h"

#include <algorithm>
#include <tuple>

#include "protocol/frame.h"
#include "protocol/requests.h"

namespace kel::scan {
namespace {

constexpr int kRelayReplyData = 1;

// An item as a span of one area's run units: register bytes (relays of R as
// their MA byte) or timer/counter numbers.
struct Span {
    std::int32_t station;
    std::int32_t area;  // the area the run reads
    std::int32_t first;
    std::int32_t last;
    bool relay;         // an R relay seen through its MA byte
    PlanItem source;
};

bool ToSpan(const PlanItem& planned, Span* span) {
    const Item& item = planned.item;
    if (!ValidItem(item)) return false;
    if (item.area == kAreaR) {
        *span = {item.station, kAreaMA, item.address / 8, item.address / 8, true, planned};
    } else if (item.area == kAreaT) {
        *span = {item.station, kAreaT, item.address, item.address, false, planned};
    } else if (IsRegisterArea(item.area)) {
        *span = {item.station, item.area, item.address, item.address + item.bytes - 1, false, planned};
    } else {
        return false;  // RT relays have no range form
    }
    return true;
}

PlannedRead Single(const PlanItem& planned) {
    PlannedRead read;
    read.isRange = false;
    read.item = planned.item;
    read.items.push_back(planned);
    return read;
}

// One run of spans (sorted, all of one station and area) as one read. A run
// of relays that are all one relay is cheaper by "MRL".
PlannedRead RunRead(const std::vector<Span>& run) {
    const bool oneRelay = std::all_of(run.begin(), run.end(), [&](const Span& s) {
        return s.relay && s.source.item.address == run.front().source.item.address;
    });
    if (oneRelay) {
        PlannedRead read = Single(run.front().source);
        for (std::size_t i = 1; i < run.size(); ++i) read.items.push_back(run[i].source);
        return read;
    }
    PlannedRead read;
    std::int32_t last = run.front().last;
    for (const Span& span : run) {
        last = std::max(last, span.last);
        read.items.push_back(span.source);
    }
    read.range = {run.front().station, run.front().area, run.front().first, last - run.front().first + 1};
    return read;
}

}  // namespace

std::vector<PlannedRead> PlanReads(const std::vector<PlanItem>& items, PlanLimits limits) {
    std::vector<Span> spans;
    std::vector<PlannedRead> reads;
    std::vector<PlanItem> rtRelays;
    for (const PlanItem& planned : items) {
        Span span;
        if (ToSpan(planned, &span)) {
            spans.push_back(span);
        } else if (planned.item.area == kAreaRT && ValidItem(planned.item)) {
            rtRelays.push_back(planned);
        }
    }
    std::stable_sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
        return std::tie(a.station, a.area, a.first, a.last) < std::tie(b.station, b.area, b.first, b.last);
    });
    std::vector<Span> run;
    std::int32_t runLast = 0;
    for (const Span& span : spans) {
        if (!run.empty()) {
            const Span& head = run.front();
            const int most = std::min(limits.maxRunBytes, MaxRunItems(head.area));
            const bool joins = span.station == head.station && span.area == head.area &&
                               span.first - runLast - 1 <= limits.maxGapBytes &&
                               std::max(runLast, span.last) - head.first + 1 <= most;
            if (!joins) {
                reads.push_back(RunRead(run));
                run.clear();
            }
        }
        runLast = run.empty() ? span.last : std::max(runLast, span.last);
        run.push_back(span);
    }
    if (!run.empty()) reads.push_back(RunRead(run));

    std::stable_sort(rtRelays.begin(), rtRelays.end(), [](const PlanItem& a, const PlanItem& b) {
        return std::tie(a.item.station, a.item.address) < std::tie(b.item.station, b.item.address);
    });
    for (const PlanItem& relay : rtRelays) {
        if (!reads.empty() && !reads.back().isRange && reads.back().item.area == kAreaRT &&
            reads.back().item.station == relay.item.station && reads.back().item.address == relay.item.address) {
            reads.back().items.push_back(relay);
        } else {
            reads.push_back(Single(relay));
        }
    }
    return reads;
}

int WireCharacters(const PlannedRead& read) {
    const Item& item = read.item;
    if (read.isRange || !IsRelayArea(item.area)) {
        // A single register or timer read is a run of one item on the line.
        const ItemRange range =
            read.isRange ? read.range
                         : ItemRange {item.station, item.area, item.address, item.area == kAreaT ? 1 : item.bytes};
        Request request;
        if (!BuildRangeReadRequest(range, &request)) return 0;
        return request.length + kFrameOverhead + RangeReplyLength(range);
    }
    Request request;
    if (!BuildReadRequest(read.item, &request)) return 0;
    // The reply repeats the request's fields and adds the relay's digit.
    return 2 * (request.length + kFrameOverhead) + kRelayReplyData;
}

}  // namespace kel::scan
