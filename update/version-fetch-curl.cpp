// The update check's HTTPS request with libcurl. Proxies come from the environment (https_proxy, no_proxy),
// the usual system setting on Linux.
#include "update/version-fetch.hpp"

#include <curl/curl.h>

#include <algorithm>

namespace {

constexpr long connectTimeoutMs = 3000; // name resolution, TCP connection and TLS handshake
constexpr long stallSeconds = 4;        // no byte of the answer for this long ends the request
// A server dripping a byte at a time would otherwise keep the check alive for hours.
constexpr long totalTimeoutMs = 10000;
constexpr int idleWaitMs = 1000; // the wait is cut short by a cancel

struct Transfer {
	std::string body;
	const std::atomic<bool> &cancelled;
};

size_t collect(char *data, size_t size, size_t count, void *param)
{
	auto *transfer = static_cast<Transfer *>(param);
	const size_t total = size * count;
	size_t used = 0;
	while (used < total && transfer->body.size() < versionFileReadLimit) {
		const size_t piece = std::min(versionFileReadPiece, total - used);
		transfer->body.append(data + used, piece);
		used += piece;
	}
	// Less than the whole piece stops the transfer: the body is at its limit.
	return used;
}

int progress(void *param, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
	return static_cast<Transfer *>(param)->cancelled.load() ? 1 : 0;
}

bool configure(CURL *easy, const std::string &url, Transfer &transfer)
{
	bool ok = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK;
#if LIBCURL_VERSION_NUM >= 0x075500
	ok = ok && curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK;
#else
	ok = ok && curl_easy_setopt(easy, CURLOPT_PROTOCOLS, long(CURLPROTO_HTTPS)) == CURLE_OK;
#endif
	ok = ok && curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_USERAGENT, versionFileUserAgent) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2)) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stallSeconds) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, totalTimeoutMs) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &progress) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK;
	ok = ok && curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
#if LIBCURL_VERSION_NUM >= 0x075700
	// Otherwise the clean-up waits for a name lookup still under way: a silent name server holds the panel's
	// teardown, and OBS's close, for as long as the system's resolver waits.
	ok = ok && curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK;
#endif
	return ok;
}

// Runs the transfer until it ends or is cancelled; true when it ended by itself.
bool run(CURLM *multi, const std::atomic<bool> &cancelled)
{
	while (!cancelled) {
		int running = 0;
		if (curl_multi_perform(multi, &running) != CURLM_OK) {
			return false;
		}
		int queued = 0;
		while (CURLMsg *message = curl_multi_info_read(multi, &queued)) {
			if (message->msg == CURLMSG_DONE) {
				return true;
			}
		}
		if (running == 0 || curl_multi_poll(multi, nullptr, 0, idleWaitMs, nullptr) != CURLM_OK) {
			return false;
		}
	}
	return false;
}

} // namespace

void initVersionFetch()
{
	static std::once_flag once;
	std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string fetchVersionFile(const std::string &host, int port, VersionFetchState &state)
{
	initVersionFetch();

	Transfer transfer{std::string(), state.cancelled};
	CURL *easy = curl_easy_init();
	CURLM *multi = curl_multi_init();
	const std::string url = "https://" + host + ":" + std::to_string(port) + versionFilePath;
	bool added = false;
	bool ended = false;
	if (easy && multi && configure(easy, url, transfer) && curl_multi_add_handle(multi, easy) == CURLM_OK) {
		added = true;
		bool stored = false;
		{
			std::lock_guard<VersionFetchLock> guard(state.lock);
			if (!state.cancelled) {
				state.session = multi;
				stored = true;
			}
		}
		if (stored) {
			ended = run(multi, state.cancelled);
			std::lock_guard<VersionFetchLock> guard(state.lock);
			state.session = nullptr;
		}
	}
	long status = 0;
	if (easy) {
		curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
	}
	if (added) {
		curl_multi_remove_handle(multi, easy);
	}
	curl_multi_cleanup(multi);
	curl_easy_cleanup(easy);
	// A body cut at the limit, or broken off after the status, is returned as read: it then fails to parse.
	if (!ended || state.cancelled || status != 200) {
		return std::string();
	}
	return transfer.body;
}

void cancelVersionFetch(VersionFetchState &state)
{
	std::lock_guard<VersionFetchLock> guard(state.lock);
	if (state.session) {
		curl_multi_wakeup(static_cast<CURLM *>(state.session));
	}
}
