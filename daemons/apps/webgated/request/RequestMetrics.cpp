#include "request/RequestMetrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

constexpr std::array<double, 13> RequestMetrics::kBuckets;

namespace {

void appendUnsigned(std::string& out, quint64 value) {
    char text[24];
    out.append(
        text, std::to_chars(text, text + sizeof(text), static_cast<unsigned long long>(value)).ptr);
}

// Locale-independent throughout: the daemon runs under the robot's LANG, whose printf may write
// a decimal comma.
template <typename T>
void appendShortest(std::string& out, T value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
        return;
    }
    char text[48];
    char* const end = text + sizeof(text);
    // Counts and byte sizes read better as 1000000 than as the shorter 1e+06.
    if (std::trunc(value) == value && std::fabs(value) < static_cast<T>(1e15)) {
        out.append(text, std::to_chars(text, end, static_cast<long long>(value)).ptr);
        return;
    }
    // The fewest digits that read back exactly, laid out as %g would (1796685086.06 stays out of
    // exponent form, which general formatting without a precision would choose).
    const char* const exponent =
        std::find(text, std::to_chars(text, end, value, std::chars_format::scientific).ptr, 'e');
    const int digits = static_cast<int>(std::count_if(static_cast<const char*>(text), exponent,
                                                      [](char c) { return c >= '0' && c <= '9'; }));
    out.append(text, std::to_chars(text, end, value, std::chars_format::general, digits).ptr);
}

}  // namespace

RequestMetrics::RequestMetrics(std::vector<const char*> names)
    : m_names(std::move(names)),
      m_listed(m_names.size(), true),
      m_counts(new Counter[(m_names.size() + 1) * kOutcomes]) {
    for (size_t i = 0; i < (m_names.size() + 1) * kOutcomes; ++i)
        m_counts[i].store(0, std::memory_order_relaxed);
    // A second row of the same name would print a second series with the same labels.
    for (size_t row = 0; row < m_names.size(); ++row) {
        for (size_t earlier = 0; earlier < row && m_listed[row]; ++earlier) {
            if (std::strcmp(m_names[earlier], m_names[row]) == 0) m_listed[row] = false;
        }
    }
}

void RequestMetrics::count(size_t command, RequestOutcome outcome, qint64 nanoseconds) {
    if (command > m_names.size()) command = m_names.size();
    bump(m_counts[command * kOutcomes + static_cast<size_t>(outcome)]);
    const double seconds = static_cast<double>(nanoseconds) / 1e9;
    size_t bucket = 0;
    while (bucket < kBuckets.size() && seconds > kBuckets[bucket]) ++bucket;
    bump(m_buckets[bucket]);
    bump(m_nanoseconds, static_cast<quint64>(nanoseconds > 0 ? nanoseconds : 0));
}

quint64 RequestMetrics::requests(size_t command, RequestOutcome outcome) const {
    if (command > m_names.size()) command = m_names.size();
    return m_counts[command * kOutcomes + static_cast<size_t>(outcome)].load(
        std::memory_order_relaxed);
}

const char* RequestMetrics::label(RequestOutcome outcome) {
    static const char* const kLabels[] = {"ack",
                                          "data",
                                          "no_type_field",
                                          "unknown_command",
                                          "missing_parameters",
                                          "invalid_parameters",
                                          "no_running_program",
                                          "failed",
                                          "invalid_file_name",
                                          "unknown_error",
                                          "no_json",
                                          "raw",
                                          "exception",
                                          "refused_cross_site",
                                          "refused_host",
                                          "refused_method",
                                          "refused_waiting"};
    static_assert(sizeof(kLabels) / sizeof(kLabels[0]) ==
                  static_cast<size_t>(RequestOutcome::Count));
    return kLabels[static_cast<size_t>(outcome)];
}

void RequestMetrics::appendLabelValue(std::string& out, const char* value) {
    for (const char* c = value; *c; ++c) {
        if (*c == '\\' || *c == '"') {
            out += '\\';
            out += *c;
        } else if (*c == '\n') {
            out += "\\n";
        } else {
            out += *c;
        }
    }
}

void RequestMetrics::appendNumber(std::string& out, double value) { appendShortest(out, value); }

void RequestMetrics::appendNumber(std::string& out, float value) { appendShortest(out, value); }

void RequestMetrics::appendText(std::string& out) const {
    out +=
        "# HELP webgated_requests_total Requests answered, by command and outcome.\n"
        "# TYPE webgated_requests_total counter\n";
    for (size_t row = 0; row <= m_names.size(); ++row) {
        if (row < m_names.size() && !m_listed[row]) continue;
        const char* name = row < m_names.size() ? m_names[row] : "unknown";
        for (size_t o = 0; o < kOutcomes; ++o) {
            out += "webgated_requests_total{command=\"";
            appendLabelValue(out, name);
            out += "\",result=\"";
            out += label(static_cast<RequestOutcome>(o));
            out += "\"} ";
            appendUnsigned(out, m_counts[row * kOutcomes + o].load(std::memory_order_relaxed));
            out += '\n';
        }
    }
    out +=
        "# HELP webgated_refused_requests_total Requests refused before their command ran, by "
        "reason.\n"
        "# TYPE webgated_refused_requests_total counter\n";
    const std::pair<RequestOutcome, const char*> reasons[] = {
        {RequestOutcome::RefusedCrossSite, "cross_site"},
        {RequestOutcome::RefusedHost, "host"},
        {RequestOutcome::RefusedMethod, "method"},
        {RequestOutcome::RefusedWaiting, "too_many_waiting"}};
    for (const auto& reason : reasons) {
        quint64 n = 0;
        for (size_t row = 0; row <= m_names.size(); ++row) n += requests(row, reason.first);
        out += "webgated_refused_requests_total{reason=\"";
        out += reason.second;
        out += "\"} ";
        appendUnsigned(out, n);
        out += '\n';
    }
    out +=
        "# HELP webgated_request_duration_seconds Time from a request's query to its reply.\n"
        "# TYPE webgated_request_duration_seconds histogram\n";
    quint64 cumulative = 0;
    for (size_t b = 0; b <= kBuckets.size(); ++b) {
        cumulative += m_buckets[b].load(std::memory_order_relaxed);
        out += "webgated_request_duration_seconds_bucket{le=\"";
        appendNumber(out, b < kBuckets.size() ? kBuckets[b] : HUGE_VAL);
        out += "\"} ";
        appendUnsigned(out, cumulative);
        out += '\n';
    }
    out += "webgated_request_duration_seconds_sum ";
    appendNumber(out, static_cast<double>(m_nanoseconds.load(std::memory_order_relaxed)) / 1e9);
    out += "\nwebgated_request_duration_seconds_count ";
    appendUnsigned(out, cumulative);
    out += '\n';
}
