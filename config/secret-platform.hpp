#pragma once

// The platform's per-user protection of secrets, on plain bytes (no Qt, so each platform file can be
// compiled on its own). Both return false on failure; a block is opaque.

#include <string>

bool platformProtect(const std::string &plain, std::string &block);
bool platformOpen(const std::string &block, std::string &plain);

#ifndef _WIN32
// The Linux service, with its key folder and computer identity given explicitly.
bool sodiumProtect(const std::string &keyFolder, const std::string &machineId, const std::string &plain,
		   std::string &block);
bool sodiumOpen(const std::string &keyFolder, const std::string &machineId, const std::string &block,
		std::string &plain);
// $XDG_DATA_HOME/tallowmere, else ~/.local/share/tallowmere: outside OBS's configuration folder, so a copied
// OBS profile does not carry the key with it.
std::string defaultKeyFolder();
// The computer's identity (/etc/machine-id), empty when the system has none.
std::string machineIdentity();
#endif
