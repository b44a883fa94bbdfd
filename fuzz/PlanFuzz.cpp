// A plan file is whatever a spreadsheet, an editor or a script made of it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Plan.h"

using namespace velqorin::cli;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Plan plan = readPlan(text);
    checkPlan(plan, {{192, 0, 2, 10}});
    BoxSettings now;
    now.addressMode = 2;
    for (const PlanRow& row : plan.rows) {
        (void)askedText(row);
        (void)differenceOf(row, now);
        (void)keptAddressProblem(row, now, {});
        (void)settingsText(plannedSettings(row, now));
        // Applied, a row leaves nothing to send: a difference that never settles would
        // send a box the same command on every run.
        if (!differenceOf(row, plannedSettings(row, now)).empty()) __builtin_trap();
    }
    for (const PlanProblem& p : plan.problems) (void)problemText(p);
    return 0;
}
