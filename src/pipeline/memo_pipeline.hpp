#pragma once
// The memo-carrying pipelines: the same level loop as the set-carrying one, but each level's
// transaction sets come from the previous level's memo instead of a fresh subset matching.

#include "pipeline/pipeline_driver.hpp"

namespace tallyfold {

PipelineResult run_v2_memo_pipeline(const PipelineInput& in);
PipelineResult run_v3_adaptive_pipeline(const PipelineInput& in);
PipelineResult run_v5_prefilter_pipeline(const PipelineInput& in);
PipelineResult run_v6_gating_pipeline(const PipelineInput& in);

}  // namespace tallyfold
