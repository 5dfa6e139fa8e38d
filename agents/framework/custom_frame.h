// The per-account frame of the custom port agent: one 748-byte status file per account with
// five status blocks, one per port slot. Each slot follows the Down/Up rule on its own and
// raises its own alerts, with the slot's service name as the check type.
#pragma once

#include <functional>
#include <string>

#include "agents/framework/account_check.h"
#include "agents/framework/run_context.h"

namespace agents {

constexpr int kCustomSlots = 5;

// Checks the port of slot `slot` of the account and hands the result to `finish` on one of
// the run's workers (`job` lives as long as `finish`). The slots of an account are checked
// one after another, each after the last one's result.
using SlotCheck =
    std::function<void(RunContext& run, AccountJob& job, int slot, AccountCheck::Finish finish)>;

void CheckCustomAccount(RunContext& run, const SlotCheck& check, const std::string& key);

}  // namespace agents
