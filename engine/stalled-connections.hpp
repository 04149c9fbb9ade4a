#pragma once

// Cuts this process's TCP connections to host:port that never got going: opened, little sent, and nothing sent
// for idleMs (a server that accepted and never answers). With opening, also those whose opening the server never
// answered (its packets dropped on the way), where the system tells which server a socket dials. A blocked
// connect or receive on them then returns at once. Returns how many it cut.
int cutStalledConnections(const char *host, int port, int idleMs, bool opening);
