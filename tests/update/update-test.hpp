#pragma once

// Whether the tests run in their own network and mount namespaces (as root).
extern bool ownNamespaces;
