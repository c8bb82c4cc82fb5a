#include "scan/plan_executor.h"

#include "link/read_item.h"
#include "link/read_range.h"

namespace kel::scan {
namespace {

// One read on the line: its link result, each item's outcome in *outcomes.
int Execute(LinkContext& line, const PlannedRead& read, int attempts, std::vector<ItemOutcome>* outcomes) {
    using Kind = ItemOutcome::Kind;
    outcomes->assign(read.items.size(), ItemOutcome {});
    if (read.isRange) {
        RangeValues values;
        const int result = ReadRange(line, read.range, &values, attempts);
        if (result != kLinkOk) return result;
        for (std::size_t i = 0; i < read.items.size(); ++i) {
            ItemOutcome& outcome = (*outcomes)[i];
            outcome.kind = RawFromRun(read.items[i].item, read.range, values, &outcome.raw) ? Kind::kValue
                                                                                            : Kind::kWithheld;
        }
        return result;
    }
    std::int32_t value = 0;
    bool delivered = false;
    const int result = ReadItem(line, read.item, &value, &delivered, attempts);
    if (result != kLinkOk) return result;
    for (ItemOutcome& outcome : *outcomes) {
        outcome.kind = delivered ? Kind::kValue : Kind::kWithheld;
        outcome.raw = static_cast<std::uint32_t>(value);
    }
    return result;
}

}  // namespace

bool RawFromRun(const Item& item, const ItemRange& range, const RangeValues& values, std::uint32_t* raw) {
    if (item.area == kAreaR) {
        const int byte = item.address / 8 - range.first;
        *raw = (static_cast<std::uint32_t>(values.values[byte]) >> (item.address % 8)) & 1u;
        return true;
    }
    if (item.area == kAreaT) {
        const int index = item.address - range.first;
        *raw = static_cast<std::uint32_t>(values.values[index]);
        return values.delivered[index];
    }
    std::uint32_t value = 0;
    for (int i = item.bytes - 1; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint32_t>(values.values[item.address - range.first + i]);
    }
    *raw = value;
    return true;
}

void ExecutePlan(LinkContext& line, const std::vector<PlannedRead>& reads, PlanVisitor& visitor) {
    std::vector<ItemOutcome> outcomes;
    for (const PlannedRead& read : reads) {
        const ReadTurn turn = visitor.BeforeRead(read);
        if (turn.action == ReadTurn::Action::kStop) return;
        if (turn.action == ReadTurn::Action::kSkip) continue;
        const int result = Execute(line, read, turn.attempts, &outcomes);
        for (std::size_t i = 0; i < read.items.size(); ++i) visitor.OnItem(read.items[i], outcomes[i]);
        if (!visitor.AfterRead(read, result)) return;
    }
}

}  // namespace kel::scan
