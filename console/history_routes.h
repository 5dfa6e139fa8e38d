// The history routes of the page (behind the token like every data route):
//   GET /api/history/checks?key=K
//   GET /api/history?key=K&check=C&from=YYYYMMDDhhmm&to=YYYYMMDDhhmm[&step=minute|hour|day]
//   GET /api/outages?key=K&from=...&to=...
//   GET /api/report?month=YYYYMM[&format=csv]
// Each opens the store read-only for the request, on the web server's thread; none waits
// for the main loop. Bad input answers 400 and an unknown account 404, with
// {"error": "<English message>"}.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "console/history_store.h"
#include "console/routes.h"

namespace console::history {

// The most points one answer carries (a 48-hour span in minutes is 2881 of them).
constexpr size_t kMaxPoints = 3000;
constexpr size_t kMaxOutages = 500;
// The longest span a request may name.
constexpr int64_t kMaxSpanMinutes = kDayMinutes + 1440;

Reply ChecksRoute(const RouteContext& context, RouteRequest& request);
Reply HistoryRoute(const RouteContext& context, RouteRequest& request);
Reply OutagesRoute(const RouteContext& context, RouteRequest& request);
Reply ReportRoute(const RouteContext& context, RouteRequest& request);

// The step a chart of [from, to] gets: the one asked for (default by the span's length:
// minutes up to 48 hours, hours up to 90 days, days beyond), never finer than the span
// allows within kMaxPoints nor finer than what is still kept at `from`.
Step ChooseStep(int64_t from, int64_t to, std::optional<Step> asked, int64_t nowMinute);

// The month report of YYYYMM: rows as JSON, or the CSV (header, one CRLF-ended line per row).
// nullopt for a month that is no YYYYMM.
std::optional<std::pair<int64_t, int64_t>> MonthSpan(const std::string& month);
nlohmann::json ReportJson(const std::string& month, const std::vector<ReportRow>& rows);
std::string ReportCsv(const std::vector<ReportRow>& rows);
// KTVarnock --report YYYYMM: the CSV on `out`; messages on `err`. 0 on success.
int PrintReport(const std::string& programDir, const std::string& month, std::FILE* out,
                std::FILE* err);

}  // namespace console::history
