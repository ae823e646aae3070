// The survey of a recording as Python sees it.
#pragma once

#include "package/survey.hpp"
#include "tools/binding.hpp"

namespace morvane::tools {

// {"metadata": read_metadata's dictionary, "quality": the quality report without its days
// (None: they depend on the clock, and Python splits them), "spans": {"block", "start", "end",
// "raw_start"} arrays of the valid data blocks}. The span columns move into the arrays.
OwnedRef survey_dict(RecordingQuality&& q);

}  // namespace morvane::tools
