#pragma once

// The HTTPS request of the update check, one file per platform (WinHTTP on Windows, libcurl elsewhere), on
// plain bytes and std types so that each can be compiled on its own.

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

#if defined(_WIN32) && defined(__GNUC__) && !defined(_GLIBCXX_HAS_GTHREADS)
#include <windows.h>
// MinGW's win32 thread model has no std::mutex; a slim reader/writer lock does the same job.
class VersionFetchLock {
public:
	void lock() { AcquireSRWLockExclusive(&lock_); }
	void unlock() { ReleaseSRWLockExclusive(&lock_); }

private:
	SRWLOCK lock_ = SRWLOCK_INIT;
};
#else
using VersionFetchLock = std::mutex;
#endif

constexpr const char *versionFileUserAgent = "QuorvexSource-UpdateCheck";
constexpr const char *versionFilePath = "/version.json";
constexpr int versionFilePort = 443;
// Reading stops once the body holds versionFileReadLimit bytes; it is read in pieces of at most
// versionFileReadPiece, so a body never exceeds 8192 + 1023 bytes. A longer document is cut and fails to parse.
constexpr size_t versionFileReadLimit = 8192;
constexpr size_t versionFileReadPiece = 1024;

// What a running request shares with the thread that cancels it.
struct VersionFetchState {
	std::atomic<bool> cancelled{false};
	// Guards the handles: each is either stored and later released by cancelVersionFetch, or released by the
	// request itself when it sees `cancelled`.
	VersionFetchLock lock;
	// WinHTTP: the open handle, the connection and the request. libcurl: the multi handle in `session`.
	void *session = nullptr;
	void *connection = nullptr;
	void *request = nullptr;
};

// The HTTP library's global set-up: once, on the UI thread at load, before any request (libcurl's is not safe to
// run on a worker beside other threads). Harmless when repeated.
void initVersionFetch();

// GET https://host:port/version.json over TLS only, without following redirects. Returns the body when the
// status is 200, otherwise (or once cancelled) nothing. Blocks the calling thread.
std::string fetchVersionFile(const std::string &host, int port, VersionFetchState &state);

// From any thread, after setting `cancelled`: makes a blocked request return at once (WinHTTP: closes the
// handles; libcurl: wakes the transfer loop).
void cancelVersionFetch(VersionFetchState &state);
