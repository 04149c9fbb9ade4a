#pragma once

#include <vector>

// Cuts this process's TCP connections to host:port that never got going: opened, little sent, and nothing sent
// for idleMs (a server that accepted and never answers). With opening, also those whose opening the server never
// answered (its packets dropped on the way), where the system tells which server a socket dials. A blocked
// connect or receive on them then returns at once. With waiters, only an open connection one of those threads is
// blocked on, where the system tells (Linux): another stream to the same server is left alone (one still opening
// is cut whoever dials it). Returns how many it cut.
int cutStalledConnections(const char *host, int port, int idleMs, bool opening, const std::vector<long> &waiters = {});

// This process's threads, in order, where the system can tell what each is blocked on; none elsewhere.
std::vector<long> processThreads();

// Whether the server's name resolves on this computer (an address always does): tells a misspelt name or a
// computer offline from a server that refuses.
bool serverNameResolves(const char *host);
