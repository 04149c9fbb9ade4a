// Windows protection of secrets: the Data Protection API, bound to the current Windows user. No Qt, so it can
// be syntax-checked with a cross compiler.
#include "config/secret-platform.hpp"

#include <windows.h>
#include <dpapi.h>

bool platformProtect(const std::string &plain, std::string &block, PlatformProblem *problem)
{
	DATA_BLOB input{DWORD(plain.size()), reinterpret_cast<BYTE *>(const_cast<char *>(plain.data()))};
	DATA_BLOB output{};
	if (!CryptProtectData(&input, L"Tallowmere", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &output)) {
		if (problem) {
			problem->kind = KeyProblem::Failed;
			problem->systemError = int(GetLastError());
			problem->keyFile.clear();
		}
		return false;
	}
	block.assign(reinterpret_cast<const char *>(output.pbData), output.cbData);
	LocalFree(output.pbData);
	return true;
}

std::string platformKeyFile()
{
	return std::string();
}

bool platformOpen(const std::string &block, std::string &plain)
{
	DATA_BLOB input{DWORD(block.size()), reinterpret_cast<BYTE *>(const_cast<char *>(block.data()))};
	DATA_BLOB output{};
	if (!CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &output)) {
		return false;
	}
	plain.assign(reinterpret_cast<const char *>(output.pbData), output.cbData);
	SecureZeroMemory(output.pbData, output.cbData);
	LocalFree(output.pbData);
	return true;
}
