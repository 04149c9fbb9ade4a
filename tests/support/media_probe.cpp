// Reading media files through ffprobe / ffmpeg: stream facts, frame times, decoded audio and pictures.
// ffprobe's "flat" output is parsed (key=value per line), which needs no JSON parser.
#include "internal.hpp"

#include <cstring>
#include <map>
#include <sstream>

namespace testbed {

namespace {

thread_local std::string toolError;

// Runs a tool; on failure records why and returns false.
bool runTool(const std::vector<std::string> &argv, std::string &out, int timeoutMs = 60000)
{
	int code = 0;
	std::string err;
	out = runCapture(argv, timeoutMs, &code, &err);
	if (code == 0) {
		return true;
	}
	if (err.size() > 1500) {
		err = "..." + err.substr(err.size() - 1500);
	}
	detail::setToolError(argv.front() + " failed (exit " + std::to_string(code) + ") on " + argv.back() + ": " +
			     err);
	return false;
}

std::string unquote(const std::string &value)
{
	if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
		return value.substr(1, value.size() - 2);
	}
	return value;
}

// Lines "<prefix><index>.<key>=<value>" of ffprobe's flat output, as index -> key -> value.
std::map<int, std::map<std::string, std::string>> flatSections(const std::string &text, const std::string &prefix)
{
	std::map<int, std::map<std::string, std::string>> sections;
	std::istringstream lines(text);
	std::string line;
	while (std::getline(lines, line)) {
		if (line.compare(0, prefix.size(), prefix) != 0) {
			continue;
		}
		size_t dot = line.find('.', prefix.size());
		size_t eq = line.find('=', prefix.size());
		if (dot == std::string::npos || eq == std::string::npos || dot > eq) {
			continue;
		}
		double index = 0;
		if (!detail::parseNumber(line.substr(prefix.size(), dot - prefix.size()), index)) {
			continue;
		}
		sections[static_cast<int>(index)][line.substr(dot + 1, eq - dot - 1)] = unquote(line.substr(eq + 1));
	}
	return sections;
}

int toInt(const std::map<std::string, std::string> &fields, const std::string &key)
{
	double value = 0;
	auto it = fields.find(key);
	return it != fields.end() && detail::parseNumber(it->second, value) ? static_cast<int>(value) : 0;
}

} // namespace

void detail::setToolError(const std::string &message)
{
	toolError = message;
}

const std::string &lastToolError()
{
	return toolError;
}

double Image::meanBrightness() const
{
	if (rgb.empty()) {
		return 0;
	}
	double sum = 0;
	for (uint8_t value : rgb) {
		sum += value;
	}
	return sum / static_cast<double>(rgb.size());
}

std::vector<StreamInfo> probeStreams(const std::string &file)
{
	std::string out;
	if (!runTool({"ffprobe", "-v", "error", "-show_entries",
		      "stream=index,codec_type,codec_name,width,height,sample_rate,channels,start_time", "-of", "flat",
		      file},
		     out)) {
		return {};
	}
	// Top-level "streams.stream.N." only: MPEG-TS repeats each stream under "programs.program.M.".
	std::vector<StreamInfo> streams;
	for (const auto &[index, fields] : flatSections(out, "streams.stream.")) {
		StreamInfo info;
		info.index = index;
		info.type = fields.count("codec_type") ? fields.at("codec_type") : "";
		info.codec = fields.count("codec_name") ? fields.at("codec_name") : "";
		info.width = toInt(fields, "width");
		info.height = toInt(fields, "height");
		info.sampleRate = toInt(fields, "sample_rate");
		info.channels = toInt(fields, "channels");
		if (fields.count("start_time")) {
			detail::parseNumber(fields.at("start_time"), info.startTime);
		}
		streams.push_back(info);
	}
	if (streams.empty()) {
		detail::setToolError("ffprobe found no streams in " + file);
	}
	return streams;
}

std::vector<double> videoFrameTimes(const std::string &file)
{
	std::string out;
	if (!runTool({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
		      "frame=best_effort_timestamp_time", "-of", "flat", file},
		     out)) {
		return {};
	}
	std::vector<double> times;
	for (const auto &entry : flatSections(out, "frames.frame.")) {
		double t = 0;
		auto it = entry.second.find("best_effort_timestamp_time");
		if (it != entry.second.end() && detail::parseNumber(it->second, t)) {
			times.push_back(t);
		}
	}
	return times;
}

std::vector<float> decodeAudio(const std::string &file, int sampleRate, int channels, double startSec,
			       double durationSec)
{
	// -copyts keeps the file's timestamps; aresample pads from time 0 and fills gaps, so sample i sits at i / rate.
	std::string filter = "aresample=async=1:first_pts=0";
	if (startSec > 0 || durationSec >= 0) {
		filter += ",atrim=start=" + detail::formatNumber(startSec);
		if (durationSec >= 0) {
			filter += ":duration=" + detail::formatNumber(durationSec);
		}
	}
	// ffmpeg's own downmix to mono adds channels at -3 dB (a stereo 0.5 sine becomes 0.71): average them here.
	int decodeChannels = channels;
	if (channels == 1) {
		for (const StreamInfo &stream : probeStreams(file)) {
			if (stream.type == "audio" && stream.channels > 0) {
				decodeChannels = stream.channels;
				break;
			}
		}
	}
	std::string out;
	if (channels <= 0 || !runTool({"ffmpeg", "-nostdin", "-v", "error", "-copyts", "-i", file, "-vn", "-sn", "-dn",
				       "-af", filter, "-ac", std::to_string(decodeChannels), "-ar",
				       std::to_string(sampleRate), "-f", "f32le", "pipe:1"},
				      out)) {
		return {};
	}
	std::vector<float> samples(out.size() / sizeof(float));
	memcpy(samples.data(), out.data(), samples.size() * sizeof(float));
	if (samples.empty()) {
		detail::setToolError("no audio decoded from " + file);
		return samples;
	}
	if (decodeChannels == channels) {
		return samples;
	}
	std::vector<float> mono(samples.size() / decodeChannels);
	for (size_t i = 0; i < mono.size(); ++i) {
		float sum = 0;
		for (int c = 0; c < decodeChannels; ++c) {
			sum += samples[i * decodeChannels + c];
		}
		mono[i] = sum / decodeChannels;
	}
	return mono;
}

Image grabFrame(const std::string &file, double atSec)
{
	std::vector<double> times = videoFrameTimes(file);
	StreamInfo video;
	for (const StreamInfo &stream : probeStreams(file)) {
		if (stream.type == "video" && video.index < 0) {
			video = stream;
		}
	}
	if (times.empty() || video.width <= 0 || video.height <= 0) {
		detail::setToolError("no video frames in " + file);
		return {};
	}
	size_t pick = 0;
	for (size_t i = 0; i < times.size(); ++i) {
		if (times[i] <= atSec + 1e-6) {
			pick = i;
		}
	}
	// Select by timestamp, just under the frame's own so rounding in ffprobe's text cannot skip it.
	const std::string select = "select='gte(t," + detail::formatNumber(times[pick] - 0.0005) + ")'";
	std::string out;
	if (!runTool({"ffmpeg",    "-nostdin",    "-v",  "error",    "-copyts",  "-i",        file,
		      "-an",       "-sn",         "-dn", "-vf",      select,     "-frames:v", "1",
		      "-fps_mode", "passthrough", "-f",  "rawvideo", "-pix_fmt", "rgb24",     "pipe:1"},
		     out)) {
		return {};
	}
	Image image;
	image.width = video.width;
	image.height = video.height;
	if (out.size() != static_cast<size_t>(image.width) * image.height * 3) {
		detail::setToolError("frame of " + file + " has " + std::to_string(out.size()) + " bytes, expected " +
				     std::to_string(image.width) + "x" + std::to_string(image.height) + "x3");
		return {};
	}
	image.rgb.assign(out.begin(), out.end());
	return image;
}

} // namespace testbed
