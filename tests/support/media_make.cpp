// Generating test inputs with ffmpeg's lavfi sources: a loopable tone, and a flash + click sync pattern.
#include "internal.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace testbed {

namespace {

constexpr long long toneRate = 48000;

bool runFfmpeg(const std::vector<std::string> &args, const std::string &path)
{
	std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error", "-y"};
	argv.insert(argv.end(), args.begin(), args.end());
	argv.push_back(path);
	int code = 0;
	std::string err;
	runCapture(argv, 60000, &code, &err);
	if (code != 0 || fileSize(path) <= 0) {
		detail::setToolError("ffmpeg could not write " + path + " (exit " + std::to_string(code) + "): " + err);
		return false;
	}
	return true;
}

} // namespace

bool makeToneFile(const std::string &path, double freqHz, double seconds, double amplitude)
{
	if (freqHz <= 0 || freqHz >= toneRate / 2 || seconds <= 0) {
		detail::setToolError("makeToneFile: bad frequency or length");
		return false;
	}
	long long samples = std::max(1LL, std::llround(seconds * toneRate));
	double freq = freqHz;
	if (freqHz == std::floor(freqHz)) {
		// An integer frequency repeats exactly every rate / gcd(rate, f) samples: use a multiple of that.
		const long long loop = toneRate / std::gcd(toneRate, static_cast<long long>(freqHz));
		samples = std::max(1LL, std::llround(static_cast<double>(samples) / loop)) * loop;
	} else {
		const double cycles = std::max(1.0, std::round(freqHz * samples / toneRate));
		freq = cycles * toneRate / samples;
	}
	// n (the sample number) rather than t keeps the phase exact over the whole file.
	const std::string wave = detail::formatNumber(amplitude) + "*sin(2*PI*" + detail::formatNumber(freq) + "*n/" +
				 std::to_string(toneRate) + ")";
	return runFfmpeg({"-f", "lavfi", "-i",
			  "aevalsrc=exprs='" + wave + "|" + wave + "':s=" + std::to_string(toneRate) + ":c=stereo",
			  "-af", "atrim=end_sample=" + std::to_string(samples)},
			 path);
}

bool makeFlashClickFile(const std::string &path, double seconds, double periodSec, const FlashClickOptions &options)
{
	const long long rate = options.sampleRate;
	const long long periodFrames = std::max(1LL, std::llround(periodSec * options.fps));
	const long long clickSamples = rate * 5 / 1000;
	if (seconds <= 0 || options.fps <= 0 || rate <= 0 || (rate * periodFrames) % options.fps != 0) {
		detail::setToolError("makeFlashClickFile: bad length, rate or period");
		return false;
	}
	const long long periodSamples = rate * periodFrames / options.fps;
	const std::string video = "color=c=black:s=320x180:r=" + std::to_string(options.fps) +
				  ",drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:enable='eq(mod(n," +
				  std::to_string(periodFrames) + "),0)'";
	const bool tone = options.toneHz > 0;
	const long long delay = std::llround(options.clickDelaySec * double(rate)) % periodSamples;
	std::string wave = "if(lt(mod(n+" + std::to_string(periodSamples - delay) + "," +
			   std::to_string(periodSamples) + ")," + std::to_string(clickSamples) + ")," +
			   (tone ? "0.6" : "0.8") + "*sin(2*PI*1000*n/" + std::to_string(rate) + "),0)";
	if (tone) {
		wave += "+0.1*sin(2*PI*" + detail::formatNumber(options.toneHz) + "*n/" + std::to_string(rate) + ")";
	}
	std::string audio = "aevalsrc=exprs='" + wave + "|" + wave + "':s=" + std::to_string(rate) + ":c=stereo";
	if (options.packetFrames > 0) {
		audio += ":n=" + std::to_string(options.packetFrames);
	}
	std::vector<std::string> args = {"-f", "lavfi", "-i", video, "-f", "lavfi", "-i", audio, "-t",
					 detail::formatNumber(seconds), "-c:v", "libx264", "-preset", "ultrafast",
					 "-pix_fmt", "yuv420p",
					 // A keyframe at every flash, so a player or a cut can start on one.
					 "-g", std::to_string(periodFrames), "-c:a", options.audioCodec};
	if (options.audioCodec == "aac") {
		args.insert(args.end(), {"-b:a", "128k"});
	}
	return runFfmpeg(args, path);
}

} // namespace testbed
