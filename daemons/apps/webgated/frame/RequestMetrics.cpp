#include "frame/RequestMetrics.h"

#include <cstdio>

constexpr std::array<double, 13> RequestMetrics::kBuckets;

RequestMetrics::RequestMetrics(std::vector<const char*> names)
    : m_names(std::move(names)), m_counts(new Counter[(m_names.size() + 1) * kOutcomes]) {
    for (size_t i = 0; i < (m_names.size() + 1) * kOutcomes; ++i) m_counts[i].store(0, std::memory_order_relaxed);
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
    return m_counts[command * kOutcomes + static_cast<size_t>(outcome)].load(std::memory_order_relaxed);
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
    static_assert(sizeof(kLabels) / sizeof(kLabels[0]) == static_cast<size_t>(RequestOutcome::Count));
    return kLabels[static_cast<size_t>(outcome)];
}

void RequestMetrics::appendText(std::string& out) const {
    char line[256];
    out += "# HELP webgated_requests_total Requests answered, by command and outcome.\n"
           "# TYPE webgated_requests_total counter\n";
    for (size_t row = 0; row <= m_names.size(); ++row) {
        const char* name = row < m_names.size() ? m_names[row] : "unknown";
        for (size_t o = 0; o < kOutcomes; ++o) {
            const quint64 n = m_counts[row * kOutcomes + o].load(std::memory_order_relaxed);
            if (n == 0) continue;
            std::snprintf(line, sizeof(line), "webgated_requests_total{command=\"%s\",result=\"%s\"} %llu\n", name,
                          label(static_cast<RequestOutcome>(o)), static_cast<unsigned long long>(n));
            out += line;
        }
    }
    out += "# HELP webgated_refused_requests_total Requests refused before their command ran, by reason.\n"
           "# TYPE webgated_refused_requests_total counter\n";
    const std::pair<RequestOutcome, const char*> reasons[] = {
        {RequestOutcome::RefusedCrossSite, "cross_site"},
        {RequestOutcome::RefusedHost, "host"},
        {RequestOutcome::RefusedMethod, "method"},
        {RequestOutcome::RefusedWaiting, "too_many_waiting"}};
    for (const auto& reason : reasons) {
        quint64 n = 0;
        for (size_t row = 0; row <= m_names.size(); ++row) n += requests(row, reason.first);
        std::snprintf(line, sizeof(line), "webgated_refused_requests_total{reason=\"%s\"} %llu\n", reason.second,
                      static_cast<unsigned long long>(n));
        out += line;
    }
    out += "# HELP webgated_request_duration_seconds Time from a request's query to its reply.\n"
           "# TYPE webgated_request_duration_seconds histogram\n";
    quint64 cumulative = 0;
    for (size_t b = 0; b <= kBuckets.size(); ++b) {
        cumulative += m_buckets[b].load(std::memory_order_relaxed);
        if (b < kBuckets.size()) {
            std::snprintf(line, sizeof(line), "webgated_request_duration_seconds_bucket{le=\"%g\"} %llu\n",
                          kBuckets[b], static_cast<unsigned long long>(cumulative));
        } else {
            std::snprintf(line, sizeof(line), "webgated_request_duration_seconds_bucket{le=\"+Inf\"} %llu\n",
                          static_cast<unsigned long long>(cumulative));
        }
        out += line;
    }
    std::snprintf(line, sizeof(line),
                  "webgated_request_duration_seconds_sum %.9f\nwebgated_request_duration_seconds_count %llu\n",
                  static_cast<double>(m_nanoseconds.load(std::memory_order_relaxed)) / 1e9,
                  static_cast<unsigned long long>(cumulative));
    out += line;
}
