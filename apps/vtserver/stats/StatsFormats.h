// The figures of `vtserver stats` for programs: JSON for scripts and the web
// console, and the Prometheus text format for monitoring (`vtserver stats
// --prometheus`, node_exporter's textfile collector, the web console's
// /metrics).
#pragma once

#include <string>

#include "datadir/JsonOut.h"
#include "stats/Stats.h"

namespace vt::tool {

Json StatsJson(const Stats& stats);
std::string PrometheusText(const Stats& stats);

}  // namespace vt::tool
