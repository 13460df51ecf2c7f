// The counters, and the endpoint that turns them into Prometheus's families
// when scraped. prometheus-cpp's own histogram takes a mutex on every
// observation, which all workers would share: these counts are atomics of
// their own, one per bucket.
#include "metrics/metrics.h"

#include <CivetServer.h>
#include <civetweb.h>
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

namespace {

// Seconds, from a tenth of a millisecond (a flush to a fast disk) to a few
// seconds (a block that stopped short waits two); for every histogram.
const double kBucketBounds[] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                0.025,  0.05,    0.1,    0.25,  0.5,    1,     2.5};
const int kBuckets = sizeof kBucketBounds / sizeof kBucketBounds[0];
const char* const kOutcomeNames[kRequestOutcomes] = {"ok", "refused", "unreadable", "too-long", "no-room", "not-stored"};
// Civetweb's feature bit for IPv6.
const unsigned kCivetwebIpv6 = 8;

struct Histogram {
    std::atomic<uint64_t> counts[kBuckets + 1] = {};  // per bucket, not summed up; the last above every bound
    std::atomic<uint64_t> sumNanos{0};

    void observe(uint64_t nanos) {
        double seconds = static_cast<double>(nanos) / 1e9;
        int bucket = 0;
        while (bucket < kBuckets && seconds > kBucketBounds[bucket]) bucket++;
        counts[bucket].fetch_add(1, std::memory_order_relaxed);
        sumNanos.fetch_add(nanos, std::memory_order_relaxed);
    }
};

struct Counts {
    std::atomic<uint64_t> requests[kRequestOutcomes] = {};
    Histogram requestTimes;
    std::atomic<uint64_t> accepted{0}, closed{0}, shed{0};
    Histogram flushTimes;
    std::atomic<uint64_t> flushFailures{0};
    std::atomic<uint64_t> reloadsUsed{0}, reloadsRefused{0};
    std::atomic<bool> serving{false};
};

// Never destroyed: a scrape on the endpoint's thread may come while the
// process exits.
Counts& counts() {
    static Counts& c = *new Counts;
    return c;
}

void add(std::atomic<uint64_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

double value(const std::atomic<uint64_t>& counter) {
    return static_cast<double>(counter.load(std::memory_order_relaxed));
}

prometheus::MetricFamily family(const char* name, const char* help, prometheus::MetricType type) {
    prometheus::MetricFamily f;
    f.name = name;
    f.help = help;
    f.type = type;
    return f;
}

prometheus::ClientMetric sample(double v, const char* label = nullptr, const std::string& labelValue = "") {
    prometheus::ClientMetric m;
    if (label != nullptr) m.label.push_back({label, labelValue});
    m.counter.value = v;
    m.gauge.value = v;
    return m;
}

prometheus::MetricFamily single(const char* name, const char* help, prometheus::MetricType type, double v) {
    prometheus::MetricFamily f = family(name, help, type);
    f.metric.push_back(sample(v));
    return f;
}

// The total is the buckets' sum, so that a scrape amid observations still
// adds up.
prometheus::MetricFamily histogram(const char* name, const char* help, const Histogram& h) {
    prometheus::ClientMetric m;
    uint64_t total = 0;
    for (int i = 0; i <= kBuckets; i++) {
        total += h.counts[i].load(std::memory_order_relaxed);
        if (i < kBuckets) m.histogram.bucket.push_back({total, kBucketBounds[i]});
    }
    m.histogram.sample_count = total;
    m.histogram.sample_sum = static_cast<double>(h.sumNanos.load(std::memory_order_relaxed)) / 1e9;
    prometheus::MetricFamily f = family(name, help, prometheus::MetricType::Histogram);
    f.metric.push_back(m);
    return f;
}

class Figures : public prometheus::Collectable {
public:
    Figures(const std::string& version, ScrapeReaders readers) : version_(version), readers_(readers) {}
    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    void addGauge(std::vector<prometheus::MetricFamily>& families, const char* name, const char* help,
                  double (*read)()) const {
        double v = read();
        if (v >= 0) families.push_back(single(name, help, prometheus::MetricType::Gauge, v));
    }

    const std::string version_;
    const ScrapeReaders readers_;
};

std::vector<prometheus::MetricFamily> Figures::Collect() const {
    using prometheus::MetricType;
    const Counts& c = counts();
    std::vector<prometheus::MetricFamily> families;
    prometheus::MetricFamily info = family("keyreg_build_info", "The server's version", MetricType::Gauge);
    info.metric.push_back(sample(1, "version", version_));
    families.push_back(info);
    prometheus::MetricFamily requests = family("keyreg_requests_total", "Requests answered, by outcome", MetricType::Counter);
    for (int i = 0; i < kRequestOutcomes; i++) requests.metric.push_back(sample(value(c.requests[i]), "outcome", kOutcomeNames[i]));
    families.push_back(requests);
    families.push_back(histogram("keyreg_request_duration_seconds",
                                 "From a request's whole block read to its reply written", c.requestTimes));
    families.push_back(single("keyreg_connections_open", "Client connections open", MetricType::Gauge,
                              value(c.accepted) - value(c.closed)));
    families.push_back(single("keyreg_connections_accepted_total", "Client connections accepted", MetricType::Counter,
                              value(c.accepted)));
    families.push_back(single("keyreg_connections_shed_total", "Connections closed at once for want of a descriptor",
                              MetricType::Counter, value(c.shed)));
    addGauge(families, "keyreg_table_slots_used", "Slots of the shared table that hold a record", readers_.tableSlotsUsed);
    families.push_back(histogram("keyreg_state_flush_duration_seconds",
                                 "Writing and flushing one batch into the state file", c.flushTimes));
    families.push_back(single("keyreg_state_flush_failures_total", "Batches that the state file could not take",
                              MetricType::Counter, value(c.flushFailures)));
    addGauge(families, "keyreg_allow_list_ids", "User ids on the allow list in use", readers_.allowListIds);
    prometheus::MetricFamily reloads = family("keyreg_allow_list_reloads_total",
                                              "Reads of the allow-list file on SIGHUP, by result", MetricType::Counter);
    reloads.metric.push_back(sample(value(c.reloadsUsed), "result", "ok"));
    reloads.metric.push_back(sample(value(c.reloadsRefused), "result", "failed"));
    families.push_back(reloads);
    return families;
}

// Civetweb says why it cannot start only through its log; the first thing
// it says during the start is kept for the operator.
std::atomic<bool> starting{false};
std::string& startError() {
    static std::string& error = *new std::string;
    return error;
}

int keepStartError(const struct mg_connection* /*conn*/, const char* message) {
    if (starting.load() && startError().empty()) startError() = message;
    return 1;
}

uint64_t nowNanos() {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}

}  // namespace

const char* outcomeName(RequestOutcome outcome) { return kOutcomeNames[static_cast<int>(outcome)]; }

void countRequest(RequestOutcome outcome) { add(counts().requests[static_cast<int>(outcome)]); }
void countConnectionAccepted() { add(counts().accepted); }
void countConnectionClosed() { add(counts().closed); }
void countConnectionShed() { add(counts().shed); }
void countAllowListReload(bool used) { add(used ? counts().reloadsUsed : counts().reloadsRefused); }

uint64_t metricsClock() { return counts().serving.load(std::memory_order_relaxed) ? nowNanos() : 0; }

void observeRequest(uint64_t since) {
    if (since != 0) counts().requestTimes.observe(nowNanos() - since);
}

void observeStateFlush(uint64_t since, bool flushed) {
    if (!flushed) add(counts().flushFailures);
    if (since != 0) counts().flushTimes.observe(nowNanos() - since);
}

bool startMetricsEndpoint(const std::string& address, const std::string& version, ScrapeReaders readers,
                          std::string& error) {
    if (!address.empty() && address[0] == '[' && mg_check_feature(kCivetwebIpv6) == 0) {
        error = "the HTTP server of this system (civetweb) was built without IPv6";
        return false;
    }
    static CivetCallbacks callbacks;
    callbacks.log_message = keepStartError;
    static std::shared_ptr<Figures>& figures = *new std::shared_ptr<Figures>(new Figures(version, readers));
    std::string failed;
    starting = true;
    try {
        // Never destroyed, like the counters it serves.
        prometheus::Exposer* exposer =
            new prometheus::Exposer(std::vector<std::string>{"listening_ports", address, "num_threads", "2"}, &callbacks);
        exposer->RegisterCollectable(figures);
    } catch (const std::exception& e) {
        failed = startError().empty() ? e.what() : startError();
    }
    starting = false;
    error = failed;
    counts().serving = failed.empty();
    return failed.empty();
}
