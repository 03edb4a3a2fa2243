#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace bench {

// Milliseconds of each of n GET round trips of path on one keep-alive connection, one after the
// other. A request that fails is retried once on a fresh connection (the server closes idle
// connections after a second); one that fails again is left out.
std::vector<double> round_trips_ms(int port, const std::vector<std::string>& paths, int n);

// Sends requests GET requests spread over clients keep-alive connections, each cycling through
// paths. Returns how many got status 200.
std::size_t request_load(int port, const std::vector<std::string>& paths, std::size_t requests,
                         int clients);

// Requests per second of GET path with clients connections for the duration, with wrk when it is
// installed, otherwise with our own keep-alive clients. tool names what was used.
double static_rps(int port, const std::string& path, int clients, std::chrono::seconds duration,
                  std::string& tool);

}  // namespace bench
