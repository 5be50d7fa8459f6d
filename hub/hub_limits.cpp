/* hub_limits.cpp -- see hub_limits.h. */
#include "hub_limits.h"

#include <arpa/inet.h>
#include <string.h>

std::string hub_enroll_client(const std::string &peer)
{
    struct in6_addr v6;
    if (inet_pton(AF_INET6, peer.c_str(), &v6) != 1) return peer;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        char v4[INET_ADDRSTRLEN];
        return inet_ntop(AF_INET, &v6.s6_addr[12], v4, sizeof v4) ? v4 : peer;
    }
    memset(&v6.s6_addr[8], 0, 8);
    char text[INET6_ADDRSTRLEN];
    if (!inet_ntop(AF_INET6, &v6, text, sizeof text)) return peer;
    return std::string(text) + "/64";
}

int HubAttemptTable::Wait(const std::string &client, int64_t now, int per_hour)
{
    std::lock_guard<std::mutex> hold(lock_);
    auto found = entries_.find(client);
    if (found == entries_.end()) {
        if (entries_.size() >= most_) {
            entries_.erase(order_.back());
            order_.pop_back();
        }
        order_.push_front(client);
        found = entries_.emplace(client, Entry{{}, order_.begin()}).first;
    } else {
        order_.splice(order_.begin(), order_, found->second.place);
    }
    std::deque<int64_t> &times = found->second.times;
    while (!times.empty() && times.front() <= now - 3600) times.pop_front();
    if ((int)times.size() >= per_hour) return (int)(times.front() + 3600 - now);
    times.push_back(now);
    return 0;
}
