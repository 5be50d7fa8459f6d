/* hub_limits.h -- counting what one client may do: enrollment attempts per
 * IPv4 address or IPv6 /64, in a table of bounded size. */
#ifndef HUB_LIMITS_H
#define HUB_LIMITS_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

/* The unit a limit counts: an IPv4 address (also when written IPv4-mapped),
 * or the /64 of an IPv6 address (one subscriber's network holds more
 * addresses than any count per address could follow). */
std::string hub_enroll_client(const std::string &peer);

/* Attempts per client within the last hour, for at most `most` clients;
 * when full, the client seen least recently is forgotten, one at a time,
 * never everyone at once. Safe from many threads. */
class HubAttemptTable {
public:
    explicit HubAttemptTable(size_t most) : most_(most) {}

    /* Seconds to wait, or 0 with the attempt counted (per_hour >= 1). */
    int Wait(const std::string &client, int64_t now, int per_hour);

private:
    struct Entry {
        std::deque<int64_t> times;
        std::list<std::string>::iterator place;
    };
    size_t most_;
    std::mutex lock_;
    std::list<std::string> order_;  // most recent first
    std::unordered_map<std::string, Entry> entries_;
};

#endif
