#pragma once

// Cuts this process's TCP connections to host:port that never got going: opened, little sent, and nothing sent
// for idleMs (a server that accepted and never answers). A blocked receive on them then returns at once. Returns
// how many it cut.
int cutStalledConnections(const char *host, int port, int idleMs);
