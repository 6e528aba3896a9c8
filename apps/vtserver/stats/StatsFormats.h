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
// What stands in for PrometheusText when the figures cannot be gathered:
// the router's state is unknown, so that no older file goes on saying it
// runs.
std::string PrometheusUnknownText();

}  // namespace vt::tool
