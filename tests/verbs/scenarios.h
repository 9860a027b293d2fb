// The verb tables every engine runs: the same statements, statuses and
// records whether the library serves the file through an FCB, KVRFH through
// an FCD, or another engine.
#ifndef KVR_TESTS_VERBS_SCENARIOS_H
#define KVR_TESTS_VERBS_SCENARIOS_H

#include <vector>

#include "support/scenario.h"

namespace kvr::test {

const std::vector<Scenario>& verb_scenarios();

}  // namespace kvr::test

#endif
