#include "console/history_routes.h"

#include <cmath>
#include <cstdio>

#include "common/account_key.h"
#include "common/file_ops.h"
#include "common/layout.h"
#include "common/record_texts.h"
#include "console/history_feed.h"
#include "platform/codepage.h"
#include "platform/files.h"

namespace console::history {
namespace {

using nlohmann::json;

constexpr size_t kMaxKeyChars = 64;

Reply Error(unsigned status, const std::string& message) {
  return JsonReply(json{{"error", message}}, status);
}

std::string Utf8(const std::string& cp932) {
  return platform::Cp932ToUtf8(cp932).value_or(cp932);
}

double Round(double v, double scale) {
  return std::round(v * scale) / scale;
}

// A key as the account files are named: lower-case hex digits, two per byte.
bool ValidKey(const std::string& key) {
  if (key.empty() || key.size() > kMaxKeyChars || key.size() % 2 != 0) return false;
  for (char c : key) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The query's key, span and (for the chart) check, or the answer that refuses them.
struct SpanQuery {
  std::string key;
  int64_t from = 0, to = 0;
};

std::optional<Reply> ReadKey(RouteRequest& r, std::string* key) {
  auto k = r.query("key");
  if (!k) return Error(kHttpBadRequest, "key is missing");
  if (!ValidKey(*k)) return Error(kHttpBadRequest, "key is not an account key");
  *key = *k;
  return std::nullopt;
}

std::optional<Reply> ReadSpan(RouteRequest& r, SpanQuery* q) {
  if (auto refused = ReadKey(r, &q->key)) return refused;
  auto from = r.query("from"), to = r.query("to");
  if (!from || !to) return Error(kHttpBadRequest, "from and to are required (YYYYMMDDhhmm)");
  auto f = ParseMinute(*from), t = ParseMinute(*to);
  if (!f || !t) return Error(kHttpBadRequest, "from and to must be YYYYMMDDhhmm");
  if (*f > *t) return Error(kHttpBadRequest, "from is after to");
  if (*t - *f > kMaxSpanMinutes)
    return Error(kHttpBadRequest, "the span is longer than five years");
  q->from = *f;
  q->to = *t;
  return std::nullopt;
}

std::unique_ptr<HistoryStore> OpenForReading(const std::string& programDir) {
  const std::string path = StorePath(programDir);
  if (!platform::PathExists(path)) return nullptr;
  std::string error;
  return HistoryStore::Open(path, true, false, &error);
}

struct AccountFacts {
  bool exists = false;
  std::string name;  // Shift-JIS
  std::vector<Check> checks;
};

// What the account's record says: its name and the checks its type and switches give.
AccountFacts FromRecord(const std::string& programDir, const std::string& key) {
  AccountFacts facts;
  const std::string path = common::InDir(programDir, common::kAllData, key);
  if (!platform::PathExists(path)) return facts;
  bool whole = false;
  common::AccountFile account = common::ReadAccount(path, &whole);
  if (!whole) return facts;
  const common::AccountRecord& rec = account.record;
  facts.exists = true;
  facts.name = common::DecodeKey(common::FieldText(rec.key));
  switch (rec.type) {
    case common::kServer:
      if (rec.pingOn) facts.checks.push_back(Check::kPing);
      if (rec.httpPortOn) facts.checks.push_back(Check::kHttp);
      if (rec.ftpPortOn) facts.checks.push_back(Check::kFtp);
      if (rec.smtpPortOn) facts.checks.push_back(Check::kSmtp);
      if (rec.popPortOn) facts.checks.push_back(Check::kPop);
      for (int i = 0; i < 5; ++i) {
        if (rec.customOn && rec.customPorts[i] != 0) {
          facts.checks.push_back(static_cast<Check>(static_cast<int>(Check::kCustom1) + i));
        }
      }
      break;
    case common::kHttpPage:
      facts.checks.push_back(Check::kPage);
      break;
    case common::kFtpTransfer:
      facts.checks.push_back(Check::kXfer);
      break;
    case common::kEmail:
      facts.checks.push_back(Check::kMail);
      break;
    default:
      break;
  }
  return facts;
}

std::string FormatNumber(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  std::string s = text;
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  return s;
}

// A name a spreadsheet would take for a formula (=, +, -, @, a tab or a carriage return
// first) is kept as text by a leading apostrophe.
// With "errors only" logging a group's successes are not in the logs: the share of passed
// checks of its checks would be wrong, so it is not given.
// Without a readable Scan.dat nothing is said either way.
struct LogSwitches {
  explicit LogSwitches(const std::string& programDir) {
    scan = common::ReadScanSettings(programDir, &read);
  }
  bool SuccessesLogged(Check check) const {
    const common::ScanGroup g = GroupOf(check);
    return !read || scan.logOn[g] == 0 || scan.logAll[g] != 0;
  }
  common::ScanSettings scan{};
  bool read = false;
};

void MarkUnloggedSuccesses(const std::string& programDir, std::vector<ReportRow>& rows) {
  const LogSwitches switches(programDir);
  for (ReportRow& row : rows) row.successesLogged = switches.SuccessesLogged(row.check);
}

std::optional<double> RowAvailability(const ReportRow& row) {
  return row.successesLogged ? Availability(row.n, row.fail, row.maint) : std::nullopt;
}

std::string CsvField(std::string text) {
  if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) {
    text.insert(0, "'");
  }
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

Step ChooseStep(int64_t from, int64_t to, std::optional<Step> asked, int64_t nowMinute) {
  const int64_t span = to - from;
  const Step bySpan = span <= kPointMinutes  ? Step::kMinute
                      : span <= kHourMinutes ? Step::kHour
                                             : Step::kDay;
  const Step kept = from >= nowMinute - kPointMinutes  ? Step::kMinute
                    : from >= nowMinute - kHourMinutes ? Step::kHour
                                                       : Step::kDay;
  Step step = asked.value_or(bySpan);
  step = std::max(step, bySpan);
  return std::max(step, kept);
}

Reply ChecksRoute(const RouteContext& context, RouteRequest& r) {
  std::string key;
  if (auto refused = ReadKey(r, &key)) return *refused;
  AccountFacts facts = FromRecord(context.programDir, key);
  std::vector<Check> stored;
  if (auto store = OpenForReading(context.programDir)) {
    stored = store->ChecksOf(key);
    if (!facts.exists) {
      if (auto name = store->AccountName(key)) facts.name = *name;
    }
  }
  if (!facts.exists && stored.empty()) return Error(kHttpNotFound, "no account has this key");
  std::vector<bool> have(kCheckCount, false);
  for (Check c : facts.checks) have[static_cast<size_t>(c)] = true;
  for (Check c : stored) have[static_cast<size_t>(c)] = true;
  json checks = json::array();
  for (size_t i = 0; i < kCheckCount; ++i) {
    if (have[i]) checks.push_back(CheckName(static_cast<Check>(i)));
  }
  return JsonReply(json{{"key", key}, {"name", Utf8(facts.name)}, {"checks", checks}});
}

Reply HistoryRoute(const RouteContext& context, RouteRequest& r) {
  SpanQuery q;
  if (auto refused = ReadSpan(r, &q)) return *refused;
  auto checkText = r.query("check");
  if (!checkText) return Error(kHttpBadRequest, "check is missing");
  auto check = CheckFromName(*checkText);
  if (!check) {
    return Error(kHttpBadRequest,
                 "check must be PING, HTTP, FTP, SMTP, POP, PAGE, XFER, MAIL or CUSTOM1..CUSTOM5");
  }
  std::optional<Step> asked;
  if (auto s = r.query("step")) {
    if (*s == "minute") {
      asked = Step::kMinute;
    } else if (*s == "hour") {
      asked = Step::kHour;
    } else if (*s == "day") {
      asked = Step::kDay;
    } else {
      return Error(kHttpBadRequest, "step must be minute, hour or day");
    }
  }
  auto store = OpenForReading(context.programDir);
  const bool known =
      (store && store->AccountName(q.key)) ||
      platform::PathExists(common::InDir(context.programDir, common::kAllData, q.key));
  if (!known) return Error(kHttpNotFound, "no account has this key");
  const Step step = ChooseStep(q.from, q.to, asked, NowMinute());
  std::vector<Bucket> buckets;
  if (store) buckets = store->Buckets(q.key, *check, step, q.from, q.to, kMaxPoints);
  json points = json::array();
  int64_t n = 0, fail = 0, maint = 0;
  for (const Bucket& b : buckets) {
    json p{{"t", FormatMinute(b.minute)}, {"n", b.n}, {"fail", b.fail}};
    if (b.maint > 0) p["maint"] = b.maint;
    if (b.timed > 0) {
      p["min"] = b.minMs;
      p["avg"] = Round(static_cast<double>(b.sumMs) / static_cast<double>(b.timed), 10);
      p["max"] = b.maxMs;
    }
    if (step == Step::kMinute && b.fail > 0) {
      p["code"] = b.code;
      p["error"] = Utf8(b.error);
    }
    n += b.n;
    fail += b.fail;
    maint += b.maint;
    points.push_back(std::move(p));
  }
  json body{{"key", q.key},
            {"check", CheckName(*check)},
            {"from", FormatMinute(q.from)},
            {"to", FormatMinute(q.to)},
            {"step", StepName(step)}};
  const bool logged = LogSwitches(context.programDir).SuccessesLogged(*check);
  auto availability = logged ? Availability(n, fail, maint) : std::nullopt;
  body["availability"] = availability ? json(*availability) : json(nullptr);
  if (maint > 0) body["maintenance"] = maint;
  if (!logged) body["successesLogged"] = false;
  body["points"] = std::move(points);
  return JsonReply(body);
}

Reply OutagesRoute(const RouteContext& context, RouteRequest& r) {
  SpanQuery q;
  if (auto refused = ReadSpan(r, &q)) return *refused;
  auto store = OpenForReading(context.programDir);
  const bool known =
      (store && store->AccountName(q.key)) ||
      platform::PathExists(common::InDir(context.programDir, common::kAllData, q.key));
  if (!known) return Error(kHttpNotFound, "no account has this key");
  json outages = json::array();
  if (store) {
    const int64_t now = NowMinute();
    for (const Outage& o : store->Outages(q.key, q.from, q.to, kMaxOutages)) {
      const int64_t end = o.end.value_or(std::max(now, o.start));
      outages.push_back({{"check", CheckName(o.check)},
                         {"start", FormatMinute(o.start)},
                         {"end", o.end ? json(FormatMinute(*o.end)) : json(nullptr)},
                         {"minutes", end - o.start},
                         {"error", Utf8(o.error)}});
    }
  }
  return JsonReply(json{{"outages", outages}});
}

std::optional<std::pair<int64_t, int64_t>> MonthSpan(const std::string& month) {
  if (month.size() != 6) return std::nullopt;
  auto first = ParseMinute(month + "010000");
  if (!first) return std::nullopt;
  int y = std::stoi(month.substr(0, 4)), m = std::stoi(month.substr(4, 2));
  if (++m > 12) m = 1, ++y;
  return std::pair{*first, CivilMinute(y, m, 1, 0, 0)};
}

nlohmann::json ReportJson(const std::string& month, const std::vector<ReportRow>& rows) {
  json out = json::array();
  for (const ReportRow& row : rows) {
    auto availability = RowAvailability(row);
    out.push_back(
        {{"key", row.key},
         {"name", Utf8(row.name)},
         {"check", CheckName(row.check)},
         {"availability", availability ? json(*availability) : json(nullptr)},
         {"outages", row.outages},
         {"maintenance", row.maint},
         {"longestMinutes", row.longestMinutes},
         {"avgMs",
          row.timed > 0
              ? json(Round(static_cast<double>(row.sumMs) / static_cast<double>(row.timed), 10))
              : json(nullptr)}});
  }
  return json{{"month", month}, {"rows", out}};
}

std::string ReportCsv(const std::vector<ReportRow>& rows) {
  std::string csv = "Account,Check,Availability %,Outages,Longest outage (min),Average ms\r\n";
  for (const ReportRow& row : rows) {
    auto availability = RowAvailability(row);
    csv += CsvField(Utf8(row.name));
    csv += ',';
    csv += CheckName(row.check);
    csv += ',';
    if (availability) csv += FormatNumber(*availability, 3);
    csv += ',' + std::to_string(row.outages) + ',' + std::to_string(row.longestMinutes) + ',';
    if (row.timed > 0) {
      csv += FormatNumber(static_cast<double>(row.sumMs) / static_cast<double>(row.timed), 1);
    }
    csv += "\r\n";
  }
  return csv;
}

Reply ReportRoute(const RouteContext& context, RouteRequest& r) {
  auto month = r.query("month");
  if (!month) return Error(kHttpBadRequest, "month is missing (YYYYMM)");
  auto span = MonthSpan(*month);
  if (!span) return Error(kHttpBadRequest, "month must be YYYYMM");
  const std::string format = r.query("format").value_or("json");
  if (format != "json" && format != "csv")
    return Error(kHttpBadRequest, "format must be csv or json");
  std::vector<ReportRow> rows;
  if (auto store = OpenForReading(context.programDir)) {
    rows = store->Report(span->first, span->second, NowMinute());
  }
  MarkUnloggedSuccesses(context.programDir, rows);
  if (format == "json") return JsonReply(ReportJson(*month, rows));
  Reply reply = TextReply(kHttpOk, ReportCsv(rows));
  reply.type = "text/csv; charset=utf-8";
  reply.cacheControl = "no-store";
  return reply;
}

int PrintReport(const std::string& programDir, const std::string& month, std::FILE* out,
                std::FILE* err) {
  auto span = MonthSpan(month);
  if (!span) {
    std::fprintf(err, "KTVarnock: --report takes a month as YYYYMM\n");
    return 2;
  }
  const std::string path = StorePath(programDir);
  std::vector<ReportRow> rows;
  if (platform::PathExists(path)) {
    std::string error;
    auto store = HistoryStore::Open(path, true, false, &error);
    if (!store) {
      std::fprintf(err, "KTVarnock: cannot read the history store %s: %s\n", path.c_str(),
                   error.c_str());
      return 1;
    }
    rows = store->Report(span->first, span->second, NowMinute());
  }
  MarkUnloggedSuccesses(programDir, rows);
  const std::string csv = ReportCsv(rows);
  return std::fwrite(csv.data(), 1, csv.size(), out) == csv.size() && std::fflush(out) == 0 ? 0 : 1;
}

}  // namespace console::history
