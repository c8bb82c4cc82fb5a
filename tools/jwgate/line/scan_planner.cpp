#include "tools/jwgate/line/scan_planner.h"

#include <algorithm>
#include <tuple>

#include "protocol/requests.h"

namespace jwgate {
namespace {

constexpr int kFrameOverhead = 5;  // "::", two checksum digits, CR
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
    const kel::Item& item = planned.item;
    if (!kel::ValidItem(item)) return false;
    if (item.area == kel::kAreaR) {
        *span = {item.station, kel::kAreaMA, item.address / 8, item.address / 8, true, planned};
    } else if (item.area == kel::kAreaT) {
        *span = {item.station, kel::kAreaT, item.address, item.address, false, planned};
    } else if (kel::IsRegisterArea(item.area)) {
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
    read.owners.push_back(planned.owner);
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
        for (std::size_t i = 1; i < run.size(); ++i) read.owners.push_back(run[i].source.owner);
        return read;
    }
    PlannedRead read;
    std::int32_t last = run.front().last;
    for (const Span& span : run) {
        last = std::max(last, span.last);
        read.owners.push_back(span.source.owner);
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
        } else if (planned.item.area == kel::kAreaRT && kel::ValidItem(planned.item)) {
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
            const int most = std::min(limits.maxRunBytes, kel::MaxRunItems(head.area));
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
        if (!reads.empty() && !reads.back().isRange && reads.back().item.area == kel::kAreaRT &&
            reads.back().item.station == relay.item.station && reads.back().item.address == relay.item.address) {
            reads.back().owners.push_back(relay.owner);
        } else {
            reads.push_back(Single(relay));
        }
    }
    return reads;
}

int WireCharacters(const PlannedRead& read) {
    const kel::Item& item = read.item;
    if (read.isRange || !kel::IsRelayArea(item.area)) {
        // A single register or timer read is a run of one item on the line.
        const kel::ItemRange range =
            read.isRange ? read.range
                         : kel::ItemRange {item.station, item.area, item.address, item.area == kel::kAreaT ? 1 : item.bytes};
        kel::Request request;
        if (!kel::BuildRangeReadRequest(range, &request)) return 0;
        return request.length + kFrameOverhead + kel::RangeReplyLength(range);
    }
    kel::Request request;
    if (!kel::BuildReadRequest(read.item, &request)) return 0;
    // The reply repeats the request's fields and adds the relay's digit.
    return 2 * (request.length + kFrameOverhead) + kRelayReplyData;
}

}  // namespace jwgate
