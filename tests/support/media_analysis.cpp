// Measuring decoded media: tone amplitude and pitch (Goertzel), flash and click instants.
#include "internal.hpp"

#include <algorithm>
#include <cmath>

namespace testbed {

namespace {

constexpr double pi = 3.14159265358979323846;

std::vector<float> hannWindow(size_t n)
{
	std::vector<float> window(n, 1.0f);
	if (n > 1) {
		for (size_t i = 0; i < n; ++i) {
			window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * pi * static_cast<double>(i) / (n - 1)));
		}
	}
	return window;
}

// Amplitude at freqHz of samples[0..window.size()); the window's sum scales the result back to a sine's peak.
double goertzel(const float *samples, const std::vector<float> &window, double windowSum, int sampleRate, double freqHz)
{
	const double coeff = 2 * std::cos(2 * pi * freqHz / sampleRate);
	double s1 = 0, s2 = 0;
	for (size_t i = 0; i < window.size(); ++i) {
		double s0 = samples[i] * window[i] + coeff * s1 - s2;
		s2 = s1;
		s1 = s0;
	}
	double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
	return 2 * std::sqrt(std::max(0.0, power)) / windowSum;
}

double sumOf(const std::vector<float> &values)
{
	double sum = 0;
	for (float v : values) {
		sum += v;
	}
	return sum;
}

} // namespace

double toneAmplitude(const std::vector<float> &mono, int sampleRate, double freqHz)
{
	if (mono.size() < 2 || sampleRate <= 0) {
		return 0;
	}
	std::vector<float> window = hannWindow(mono.size());
	return goertzel(mono.data(), window, sumOf(window), sampleRate, freqHz);
}

double dominantFrequency(const std::vector<float> &mono, int sampleRate, double minHz, double maxHz)
{
	// Coarse pass on 200 ms blocks: their main lobe (about +-10 Hz) is wide enough for a 10 Hz grid to hit it.
	const size_t block = static_cast<size_t>(sampleRate / 5);
	if (sampleRate <= 0 || block < 16 || mono.size() < block || maxHz <= minHz) {
		return 0;
	}
	const size_t blocks = std::min<size_t>(10, mono.size() / block);
	const size_t stride = (mono.size() - block) / std::max<size_t>(1, blocks - 1);
	std::vector<float> window = hannWindow(block);
	const double windowSum = sumOf(window);
	double best = 0, bestScore = 0;
	for (double f = minHz; f <= maxHz; f += 10) {
		double score = 0;
		for (size_t b = 0; b < blocks; ++b) {
			score += goertzel(mono.data() + b * stride, window, windowSum, sampleRate, f);
		}
		if (score > bestScore) {
			bestScore = score;
			best = f;
		}
	}
	if (bestScore / blocks < 1e-4) {
		return 0;
	}
	// Fine pass around the winner on up to 2 s from the middle, in 0.5 Hz steps.
	const size_t span = std::min(mono.size(), static_cast<size_t>(sampleRate) * 2);
	const float *middle = mono.data() + (mono.size() - span) / 2;
	window = hannWindow(span);
	const double spanSum = sumOf(window);
	double fine = best, fineScore = 0;
	for (double f = std::max(minHz, best - 10); f <= std::min(maxHz, best + 10); f += 0.5) {
		double score = goertzel(middle, window, spanSum, sampleRate, f);
		if (score > fineScore) {
			fineScore = score;
			fine = f;
		}
	}
	return fine;
}

std::vector<double> flashTimes(const std::string &file, double threshold)
{
	// Frame times from ffprobe, brightness from ffmpeg: both see every decoded frame, in the same order.
	std::vector<double> times = videoFrameTimes(file);
	if (times.empty()) {
		return {};
	}
	constexpr int side = 16;
	int code = 0;
	std::string err;
	std::string pixels = runCapture({"ffmpeg", "-nostdin", "-v", "error", "-copyts", "-i", file, "-an", "-sn",
					 "-dn", "-vf", "scale=16:16:flags=area,format=gray", "-fps_mode", "passthrough",
					 "-f", "rawvideo", "pipe:1"},
					60000, &code, &err);
	const size_t frameBytes = side * side;
	if (code != 0 || pixels.size() != times.size() * frameBytes) {
		detail::setToolError("flashTimes: " + std::to_string(times.size()) + " frames probed, " +
				     std::to_string(pixels.size() / frameBytes) + " decoded (exit " +
				     std::to_string(code) + "): " + err);
		return {};
	}
	std::vector<double> flashes;
	bool wasBright = false;
	for (size_t i = 0; i < times.size(); ++i) {
		double sum = 0;
		for (size_t p = 0; p < frameBytes; ++p) {
			sum += static_cast<uint8_t>(pixels[i * frameBytes + p]);
		}
		bool bright = sum / frameBytes >= threshold;
		if (bright && !wasBright) {
			flashes.push_back(times[i]);
		}
		wasBright = bright;
	}
	return flashes;
}

std::vector<double> clickTimes(const std::string &file, double threshold, double minGapSec)
{
	constexpr int rate = 48000;
	std::vector<float> mono = decodeAudio(file, rate, 1);
	const long long gap = static_cast<long long>(minGapSec * rate);
	std::vector<double> clicks;
	long long lastLoud = -1;
	for (size_t i = 0; i < mono.size(); ++i) {
		if (std::fabs(mono[i]) < threshold) {
			continue;
		}
		const long long at = static_cast<long long>(i);
		if (lastLoud < 0 || at - lastLoud > gap) {
			clicks.push_back(static_cast<double>(at) / rate);
		}
		lastLoud = at;
	}
	return clicks;
}

ToneGaps toneGaps(const std::vector<float> &samples, const std::vector<double> &clicks, double startSec, double freqHz)
{
	ToneGaps gaps;
	double run = 0;
	for (size_t at = 0; at + 480 <= samples.size(); at += 240) {
		const double t = startSec + double(at) / 48000;
		if (std::any_of(clicks.begin(), clicks.end(), [t](double c) { return c > t - 0.03 && c < t + 0.04; })) {
			continue;
		}
		++gaps.windows;
		const std::vector<float> window(samples.begin() + long(at), samples.begin() + long(at + 480));
		if (toneAmplitude(window, 48000, freqHz) < 0.05) {
			++gaps.quiet;
			run += 0.005;
			gaps.longest = std::max(gaps.longest, run + 0.005);
		} else {
			run = 0;
		}
	}
	return gaps;
}

std::vector<double> clickAfterFlash(const std::string &file, double fromSec, double toSec, double clickDelaySec,
				    double flashLuma)
{
	const auto flashes = flashTimes(file, flashLuma);
	const auto clicks = clickTimes(file, 0.45, 0.3);
	std::vector<double> found;
	for (double flash : flashes) {
		if (flash < fromSec || flash > toSec) {
			continue;
		}
		for (double click : clicks) {
			const double offset = click - flash - clickDelaySec;
			if (offset > -0.25 && offset < 0.5) {
				found.push_back(offset);
				break;
			}
		}
	}
	return found;
}

double mean(const std::vector<double> &values)
{
	double sum = 0;
	for (double v : values) {
		sum += v;
	}
	return values.empty() ? NAN : sum / double(values.size());
}

} // namespace testbed
