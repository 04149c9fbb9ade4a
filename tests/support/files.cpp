// Temporary directories, whole-file reads and writes, polling for file contents; small shared helpers.
#include "internal.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testbed {

namespace detail {

int Deadline::remainingMs() const
{
	auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now());
	return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void sleepMs(int ms)
{
	std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string withLogTail(const std::string &what, const std::string &logPath)
{
	std::string tail = readTail(logPath, 1500);
	size_t firstBreak = tail.find('\n');
	if (tail.size() == 1500 && firstBreak != std::string::npos) {
		tail.erase(0, firstBreak + 1); // start on a whole line
	}
	return what + (tail.empty() ? std::string(" (log " + logPath + " is empty)") : "; " + logPath + ":\n" + tail);
}

std::string formatNumber(double value)
{
	std::ostringstream out;
	out.imbue(std::locale::classic());
	out.precision(12);
	out << value;
	return out.str();
}

bool parseNumber(const std::string &text, double &value)
{
	size_t begin = text.find_first_not_of(" \t\r\n\"");
	if (begin == std::string::npos) {
		return false;
	}
	const char *first = text.data() + begin;
	const char *last = text.data() + text.size();
	auto result = std::from_chars(first, last, value);
	return result.ec == std::errc() && result.ptr != first;
}

} // namespace detail

std::string makeTempDir(const std::string &prefix)
{
	const char *base = getenv("TMPDIR");
	std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
	std::vector<char> buf(pattern.begin(), pattern.end());
	buf.push_back('\0');
	if (!mkdtemp(buf.data())) {
		throw std::runtime_error("mkdtemp " + pattern + ": " + strerror(errno));
	}
	return buf.data();
}

void removeTree(const std::string &path)
{
	std::error_code ec;
	std::filesystem::remove_all(path, ec);
}

TempDir::TempDir(const std::string &prefix) : path_(makeTempDir(prefix))
{
	const char *keep = getenv("TESTBED_KEEP");
	keep_ = keep && std::string(keep) == "1";
}

TempDir::~TempDir()
{
	if (!keep_) {
		removeTree(path_);
	}
}

std::string readFile(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	if (!in) {
		return "";
	}
	std::ostringstream content;
	content << in.rdbuf();
	return content.str();
}

std::string readTail(const std::string &path, size_t maxBytes)
{
	std::ifstream in(path, std::ios::binary | std::ios::ate);
	if (!in) {
		return "";
	}
	std::streamoff size = in.tellg();
	std::streamoff from = size > static_cast<std::streamoff>(maxBytes) ? size - maxBytes : 0;
	in.seekg(from);
	std::string tail(static_cast<size_t>(size - from), '\0');
	in.read(tail.data(), static_cast<std::streamsize>(tail.size()));
	tail.resize(static_cast<size_t>(in.gcount()));
	return tail;
}

void writeFile(const std::string &path, const std::string &content)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out.write(content.data(), static_cast<std::streamsize>(content.size()));
	out.close();
	if (!out) {
		throw std::runtime_error("cannot write " + path);
	}
}

long long fileSize(const std::string &path)
{
	struct stat st {};
	return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

bool waitForFileContaining(const std::string &path, const std::string &needle, int timeoutMs)
{
	detail::Deadline deadline(timeoutMs);
	for (;;) {
		bool found = needle.empty() ? access(path.c_str(), F_OK) == 0
					    : readFile(path).find(needle) != std::string::npos;
		if (found) {
			return true;
		}
		if (deadline.expired()) {
			return false;
		}
		detail::sleepMs(50);
	}
}

} // namespace testbed
