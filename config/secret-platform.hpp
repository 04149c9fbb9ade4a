#pragma once

// The platform's per-user protection of secrets, on plain bytes (no Qt, so each platform file can be
// compiled on its own). Both return false on failure; a block is opaque.

#include <string>

// Why protection failed, for the user: what went wrong, the system's error number when one applies, and the key
// file it concerns (empty where the platform keeps no key file).
enum class KeyProblem {
	None,
	NoKeyFolder,
	KeyFileUnreadable,
	KeyFileOtherOwner,
	KeyFileOpenToOthers,
	KeyFileWrongSize,
	KeyFileNotCreated,
	Failed
};
struct PlatformProblem {
	KeyProblem kind = KeyProblem::None;
	int systemError = 0;
	std::string keyFile;
};

bool platformProtect(const std::string &plain, std::string &block, PlatformProblem *problem = nullptr);
bool platformOpen(const std::string &block, std::string &plain);
// The key file protection uses, for messages; empty where the platform keeps none.
std::string platformKeyFile();

#ifndef _WIN32
// The Linux service, with its key folder and computer identity given explicitly.
bool sodiumProtect(const std::string &keyFolder, const std::string &machineId, const std::string &plain,
		   std::string &block, PlatformProblem *problem = nullptr);
bool sodiumOpen(const std::string &keyFolder, const std::string &machineId, const std::string &block,
		std::string &plain);
// $XDG_DATA_HOME/tallowmere, else ~/.local/share/tallowmere: outside OBS's configuration folder, so a copied
// OBS profile does not carry the key with it. Empty when there is no home folder.
std::string defaultKeyFolder();
// The computer's identity (/etc/machine-id), empty when the system has none.
std::string machineIdentity();
#endif
