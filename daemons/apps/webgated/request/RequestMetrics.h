#pragma once

#include <QtGlobal>
#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

/// How each request ended, as the figures count it.
enum class RequestOutcome : int {
    Ack,
    Data,
    NoTypeField,
    UnknownCommand,
    MissingParameters,
    InvalidParameters,
    NoRunningProgram,
    Failed,
    InvalidFileName,
    UnknownError,
    NoJson,
    Raw,
    Exception,
    RefusedCrossSite,
    RefusedHost,
    RefusedMethod,
    RefusedWaiting,  // too many requests wait for replies that come later
    Count
};

/// The request path's figures: requests by command and outcome, and how long they took. Only the
/// request thread counts (relaxed loads and stores of its own counters: no lock, no locked
/// instruction); any thread may read them.
class RequestMetrics {
public:
    /// Upper bounds of the duration buckets, in seconds (then +Inf).
    static constexpr std::array<double, 13> kBuckets = {
        0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};

    /// `names`: the command table's names in its order; one more row counts every other name.
    explicit RequestMetrics(std::vector<const char*> names);

    /// Request thread: one request of row `command` (names().size() for any other) ended so.
    void count(size_t command, RequestOutcome outcome, qint64 nanoseconds);

    quint64 requests(size_t command, RequestOutcome outcome) const;
    size_t unknownRow() const { return m_names.size(); }

    /// Appends the figures in the Prometheus text format (0.0.4): every command of the table
    /// with every outcome, at 0 until counted, so that a scraper sees each series from the start.
    void appendText(std::string& out) const;
    /// The label of an outcome ("ack", "refused_host", ...).
    static const char* label(RequestOutcome outcome);

    /// Appends `value` as a label value of the text format: backslash, double quote and newline
    /// escaped.
    static void appendLabelValue(std::string& out, const char* value);
    /// Appends `value` in the shortest text that reads back to the same number: whole numbers
    /// without a fraction or exponent, "+Inf", "-Inf" and "NaN" as the text format spells them.
    static void appendNumber(std::string& out, double value);
    /// The same for a float: its own shortest text (31.807f as "31.807", not its double's digits).
    static void appendNumber(std::string& out, float value);

private:
    static constexpr size_t kOutcomes = static_cast<size_t>(RequestOutcome::Count);
    using Counter = std::atomic<quint64>;
    static void bump(Counter& counter, quint64 by = 1) {
        counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
    }

    std::vector<const char*> m_names;
    std::vector<bool> m_listed;  // false for a name an earlier row already has (never counted)
    std::unique_ptr<Counter[]> m_counts;                   // (rows) x kOutcomes
    std::array<Counter, kBuckets.size() + 1> m_buckets{};  // not cumulative; the last is +Inf
    Counter m_nanoseconds{0};
};
