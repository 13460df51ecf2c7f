// What the server counts for its operators, served in Prometheus's text
// format at /metrics (--metrics): requests by outcome and the time each took
// to its reply, connections, the state file's flushes, reloads of the allow
// list. Counting is a relaxed atomic add, with no lock that workers would
// share; the figures become Prometheus's families only when scraped. Touches
// nothing but its counters until the endpoint starts; includes nothing of
// the project, so that every layer may count.
#ifndef KEYREG_METRICS_H
#define KEYREG_METRICS_H

#include <cstdint>
#include <string>

// What came of a request, as the audit line and the outcome label name it.
enum class RequestOutcome { Ok, Refused, Unreadable, TooLong, NoRoom, NotStored };
const int kRequestOutcomes = 6;
const char* outcomeName(RequestOutcome outcome);

void countRequest(RequestOutcome outcome);
void countConnectionAccepted();
void countConnectionClosed();
void countConnectionShed();
void countAllowListReload(bool used);

// The moment a timing starts; 0 while no endpoint serves, so that nobody
// pays for clocks that nobody reads. The observers ignore a 0.
uint64_t metricsClock();
// A request's whole block was read at since; its reply is written now.
void observeRequest(uint64_t since);
// A write and flush of the state file began at since; flushed tells whether it worked.
void observeStateFlush(uint64_t since, bool flushed);

// Gauges read when scraped, on the endpoint's thread; a negative value
// leaves the gauge out of that scrape.
struct ScrapeReaders {
    double (*tableSlotsUsed)();
    double (*allowListIds)();
};

// Serves /metrics on address (192.0.2.1:9808, or an IPv6 address in
// brackets), keyreg_build_info naming version; false with the reason in
// error. Called once, before the figures are read by anybody.
bool startMetricsEndpoint(const std::string& address, const std::string& version, ScrapeReaders readers,
                          std::string& error);

#endif
