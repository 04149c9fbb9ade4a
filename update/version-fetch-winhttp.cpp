// The update check's HTTPS request on Windows: synchronous WinHTTP with the system's automatic proxy. A
// blocked call returns when another thread closes its handle (cancelVersionFetch).
#include "update/version-fetch.hpp"

#include <windows.h>
#include <winhttp.h>

namespace {

std::wstring wide(const std::string &utf8)
{
	const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
	std::wstring result(size_t(size > 0 ? size : 0), L'\0');
	if (size > 0) {
		MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &result[0], size);
	}
	return result;
}

// Stores a new handle unless the check was cancelled meanwhile; then the handle is closed here.
bool keep(VersionFetchState &state, HINTERNET handle, void *VersionFetchState::*slot)
{
	if (!handle) {
		return false;
	}
	std::lock_guard<VersionFetchLock> guard(state.lock);
	if (state.cancelled) {
		WinHttpCloseHandle(handle);
		return false;
	}
	state.*slot = handle;
	return true;
}

} // namespace

void initVersionFetch() {}

std::string fetchVersionFile(const std::string &host, int port, VersionFetchState &state)
{
	const std::wstring agent = wide(versionFileUserAgent);
	HINTERNET session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
					WINHTTP_NO_PROXY_BYPASS, 0);
	if (!keep(state, session, &VersionFetchState::session)) {
		return std::string();
	}
	WinHttpSetTimeouts(session, 3000, 3000, 3000, 4000);

	const std::wstring server = wide(host);
	HINTERNET connection = WinHttpConnect(session, server.c_str(), INTERNET_PORT(port), 0);
	if (!keep(state, connection, &VersionFetchState::connection)) {
		return std::string();
	}
	const std::wstring path = wide(versionFilePath);
	HINTERNET request = WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
					       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
	if (!keep(state, request, &VersionFetchState::request)) {
		return std::string();
	}
	// Redirects are never followed: only the vendor's own answer counts.
	DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
	WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));

	if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
	    !WinHttpReceiveResponse(request, nullptr)) {
		return std::string();
	}
	DWORD status = 0;
	DWORD size = sizeof(status);
	if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
				 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
	    status != 200) {
		return std::string();
	}
	std::string body;
	char buffer[versionFileReadPiece];
	while (body.size() < versionFileReadLimit) {
		DWORD read = 0;
		if (!WinHttpReadData(request, buffer, DWORD(sizeof(buffer)), &read) || read == 0) {
			break;
		}
		body.append(buffer, read);
	}
	// The handles are closed by the caller's cancelVersionFetch.
	return body;
}

void cancelVersionFetch(VersionFetchState &state)
{
	std::lock_guard<VersionFetchLock> guard(state.lock);
	for (void *VersionFetchState::*slot :
	     {&VersionFetchState::request, &VersionFetchState::connection, &VersionFetchState::session}) {
		if (state.*slot) {
			WinHttpCloseHandle(state.*slot);
			state.*slot = nullptr;
		}
	}
}
