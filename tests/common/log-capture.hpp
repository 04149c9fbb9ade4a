#pragma once

#include <util/base.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

// Collects what libobs' logger receives, while alive. Lines are also passed on to stderr for failing tests.
class LogCapture {
public:
	LogCapture()
	{
		base_get_log_handler(&previousHandler, &previousParam);
		base_set_log_handler(&LogCapture::handle, this);
	}
	~LogCapture() { base_set_log_handler(previousHandler, previousParam); }
	LogCapture(const LogCapture &) = delete;
	LogCapture &operator=(const LogCapture &) = delete;

	std::vector<std::string> lines() const
	{
		std::lock_guard<std::mutex> guard(lock);
		return captured;
	}
	int count(const std::string &needle) const
	{
		int n = 0;
		for (const auto &line : lines()) {
			n += line.find(needle) != std::string::npos ? 1 : 0;
		}
		return n;
	}
	bool contains(const std::string &needle) const { return count(needle) > 0; }
	std::string joined() const
	{
		std::string all;
		for (const auto &line : lines()) {
			all += line + "\n";
		}
		return all;
	}
	void clear()
	{
		std::lock_guard<std::mutex> guard(lock);
		captured.clear();
	}

private:
	static void handle(int level, const char *format, va_list args, void *param)
	{
		auto *self = static_cast<LogCapture *>(param);
		char buffer[8192];
		vsnprintf(buffer, sizeof(buffer), format, args);
		std::lock_guard<std::mutex> guard(self->lock);
		self->captured.push_back(std::to_string(level) + " " + buffer);
		if (std::getenv("TALLOWMERE_TEST_LOG")) {
			std::fprintf(stderr, "%s\n", buffer);
		}
	}

	log_handler_t previousHandler = nullptr;
	void *previousParam = nullptr;
	mutable std::mutex lock;
	std::vector<std::string> captured;
};
