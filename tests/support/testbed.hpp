// Test bed for engine tests: real servers (nginx-rtmp, SRT, Xvfb), loopback network tricks and media checks.
//
// Error policy, the same everywhere:
//  - bringing something up (start(), Process::start, ports, temp dirs, writing files, certificates) throws
//    std::runtime_error; a server's message ends with the tail of its log;
//  - looking at something (probes, decodes, waits, reads) returns false / empty / negative instead, and the media
//    helpers leave the reason in lastToolError().
// Every wait is bounded by a timeout; every child process runs in its own process group and is stopped by PID.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testbed {

using EnvList = std::vector<std::pair<std::string, std::string>>;

// ---------------------------------------------------------------------------------------------------------------
// Small RAII helpers

// Owns a file descriptor; closes it on destruction.
class UniqueFd {
public:
	UniqueFd() = default;
	explicit UniqueFd(int fd) : fd_(fd) {}
	UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
	UniqueFd &operator=(UniqueFd &&other) noexcept;
	UniqueFd(const UniqueFd &) = delete;
	UniqueFd &operator=(const UniqueFd &) = delete;
	~UniqueFd() { reset(); }

	// The descriptor, -1 when empty.
	int get() const { return fd_; }
	// True when holding a descriptor.
	bool valid() const { return fd_ >= 0; }
	// Gives the descriptor up without closing it.
	int release();
	// Closes the current descriptor and holds fd instead.
	void reset(int fd = -1);

private:
	int fd_ = -1;
};

// ---------------------------------------------------------------------------------------------------------------
// Processes

// A child process in its own process group; the destructor stops it. It also gets SIGKILL when the thread that
// started it ends (PR_SET_PDEATHSIG), so a crashed or killed test leaves nothing running: start servers from a
// thread that outlives them (normally the test's main thread).
class Process {
public:
	// Fork/exec argv (argv[0] searched in PATH, then /usr/sbin and /sbin); stdin is /dev/null, stdout/stderr go to
	// the given files (truncated; one path for both shares the file) or /dev/null; passFd >= 0 is handed to the
	// child as fd 3. Throws when exec fails.
	static std::unique_ptr<Process> start(const std::vector<std::string> &argv, const std::string &stdoutPath = "",
					      const std::string &stderrPath = "", const EnvList &extraEnv = {},
					      int passFd = -1);
	~Process();
	Process(const Process &) = delete;
	Process &operator=(const Process &) = delete;

	// Process id (also its process group id).
	pid_t pid() const { return pid_; }
	// True until the process has exited; reaps it (and kills what is left of its group) once it has.
	bool running();
	// Sends sig to the whole process group (no-op once reaped).
	void signal(int sig);
	// Waits up to timeoutMs for the exit; status gets the raw waitpid() status (-1 if unknown).
	bool waitExit(int timeoutMs, int *status = nullptr);
	// SIGTERM (plus SIGCONT in case it is stopped), SIGKILL after timeoutMs, then reaped.
	void stop(int timeoutMs = 3000);
	// Raw waitpid() status once exited, -1 before or when unknown.
	int exitStatus() const { return status_; }

private:
	explicit Process(pid_t pid) : pid_(pid) {}
	pid_t pid_;
	bool reaped_ = false;
	int status_ = -1;
};

// A busy machine for a bounded time: more busy loops than cores, and the given process (normally this one)
// stopped for stallMs every periodMs, as a loaded host or hypervisor stops it. Everything ends after seconds, or
// at destruction.
class BusyMachine {
public:
	BusyMachine(pid_t stalled, int seconds, int stallMs = 30, int periodMs = 700);
	~BusyMachine();
	BusyMachine(const BusyMachine &) = delete;
	BusyMachine &operator=(const BusyMachine &) = delete;

private:
	std::vector<std::unique_ptr<Process>> loops_;
	std::unique_ptr<Process> staller_;
	pid_t stalled_;
};

// When this process crashes (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT), gdb prints every thread's stack to
// stderr before it dies: a crash that comes once in many runs is then known from its first log. Not in sanitizer
// builds, which report crashes themselves.
void showStacksOnCrash();

// Runs argv to completion and returns its stdout (binary safe). exitCode: exit status, 128+signal, -1 on timeout
// (the process group is then killed), 127 when it could not be started. stderrText receives its stderr.
std::string runCapture(const std::vector<std::string> &argv, int timeoutMs, int *exitCode = nullptr,
		       std::string *stderrText = nullptr);

// Runs openssl with these arguments in cwd; throws with its stderr when it fails.
void runOpenssl(const std::vector<std::string> &args, const std::string &cwd);

// Full path of an executable found the way Process::start looks for it, or "".
std::string findExecutable(const std::string &name);

// ---------------------------------------------------------------------------------------------------------------
// Files

// Creates a fresh directory $TMPDIR/<prefix>XXXXXX (or /tmp) and returns its path.
std::string makeTempDir(const std::string &prefix);
// Removes a file or directory tree; missing paths are fine.
void removeTree(const std::string &path);

// A temporary directory removed on destruction, unless TESTBED_KEEP=1 is set in the environment or keep() was called.
class TempDir {
public:
	explicit TempDir(const std::string &prefix = "testbed-");
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;

	// The directory's path.
	const std::string &path() const { return path_; }
	// path() + "/" + name.
	std::string file(const std::string &name) const { return path_ + "/" + name; }
	// Leaves the directory in place for inspection.
	void keep() { keep_ = true; }

private:
	std::string path_;
	bool keep_ = false;
};

// Whole file as bytes, "" when missing.
std::string readFile(const std::string &path);
// Last maxBytes of a file, "" when missing (for error messages).
std::string readTail(const std::string &path, size_t maxBytes = 2000);
// Writes (replaces) a file; throws on failure.
void writeFile(const std::string &path, const std::string &content);
// Size in bytes, -1 when missing.
long long fileSize(const std::string &path);
// Polls every 50 ms until the file contains needle (an empty needle: until it exists).
bool waitForFileContaining(const std::string &path, const std::string &needle, int timeoutMs);

// ---------------------------------------------------------------------------------------------------------------
// Network (loopback only)

// A TCP port on 127.0.0.1 that was free a moment ago; never hands out the same number twice in this process.
int freeTcpPort();
// Same for UDP.
int freeUdpPort();
// Tries to connect to 127.0.0.1:port every 20 ms until it works (timeoutMs 0: one try).
bool waitForTcpPort(int port, int timeoutMs);
// Waits until some socket is bound to UDP port (read from /proc/net/udp and udp6).
bool waitForUdpBound(int port, int timeoutMs);

// The next four change namespaces and mounts of the calling thread only: threads that already exist stay where
// they were, so call them from main() before any thread is created (obs_startup() starts many). Threads and child
// processes created afterwards inherit the new namespaces.

// unshare(CLONE_NEWNET) and bring "lo" up; false (nothing aborted) when not permitted.
bool isolateNetwork();
// unshare(CLONE_NEWNS) and make "/" recursively private, so later bind mounts stay inside this process.
bool privateMounts();
// Bind-mounts src over dst (both must exist, same kind: file over file, dir over dir).
bool bindMount(const std::string &src, const std::string &dst);
// Lazily unmounts path.
bool unmount(const std::string &path);

// ---------------------------------------------------------------------------------------------------------------
// Servers. Each: construct with options, start() throws std::runtime_error (with the log tail) on failure,
// stop() is idempotent, the destructor stops.

// A virtual X display (Xvfb) on a free display number.
class Xvfb {
public:
	// screen: WIDTHxHEIGHTxDEPTH of screen 0. Nothing runs before start().
	explicit Xvfb(const std::string &screen = "1280x720x24");
	~Xvfb();
	// Starts Xvfb and waits until it accepts clients.
	void start();
	// Stops Xvfb.
	void stop();
	// True while the server runs.
	bool running();
	// Display name such as ":99" (valid after start()).
	const std::string &display() const { return display_; }

private:
	std::string screen_;
	TempDir dir_;
	std::unique_ptr<Process> proc_;
	std::string display_;
};

// nginx with the RTMP module; records every stream published to the application to <dir>/rec/<key>.flv.
class RtmpServer {
public:
	struct Options {
		int port = 0;               // RTMP port; 0 picks a free one
		bool tls = false;           // adds an RTMPS front (nginx stream + ssl) proxying to the RTMP port
		int tlsPort = 0;            // RTMPS port; 0 picks a free one
		std::string app = "live";   // application name
		bool refusePublish = false; // every publish is refused by its on_publish check (HTTP 403)
	};

	// Prepares the private directory; nothing runs before start().
	explicit RtmpServer(const Options &options);
	// Default options: plain RTMP on a free port, application "live".
	RtmpServer();
	~RtmpServer();
	// Starts nginx and waits until its ports accept connections; retries a busy port for a few seconds.
	void start();
	// Graceful stop (SIGTERM, then SIGKILL).
	void stop();
	// SIGKILL: the server dies abruptly; the kernel closes its sockets (a publisher usually gets a reset).
	void kill();
	// stop() then start() on the same ports.
	void restart();
	// True while nginx runs.
	bool running();

	// "rtmp://127.0.0.1:<port>/<app>".
	std::string url(const std::string &app = "live") const;
	// "rtmps://localhost:<tlsPort>/<app>"; must name localhost: the certificate is for DNS:localhost, an IP fails.
	std::string tlsUrl(const std::string &app = "live") const;
	// Where a stream key is recorded.
	std::string recordingPath(const std::string &key) const;
	// RTMP port (valid after start(), kept across restarts).
	int port() const { return port_; }
	// RTMPS port, 0 without tls.
	int tlsPort() const { return tlsPort_; }
	// The test CA that signed the server certificate (tls only).
	std::string caCertPath() const { return dir_.file("tls/ca.pem"); }
	// nginx's error log.
	std::string errorLogPath() const { return dir_.file("error.log"); }
	// The server's private directory.
	const std::string &dir() const { return dir_.path(); }

private:
	void makeCertificates();
	std::string config() const;
	std::string failure(const std::string &what) const;

	Options options_;
	TempDir dir_;
	std::unique_ptr<Process> proc_;
	int port_ = 0;
	int tlsPort_ = 0;
	int checkPort_ = 0;
	bool haveCertificates_ = false;
};

// Writes the system CA bundle plus the PEM file caPemPath into outPath and returns outPath (throws on failure).
// Meant to be bind-mounted over /etc/ssl/certs/ca-certificates.crt inside privateMounts().
std::string makeCaBundleWith(const std::string &caPemPath, const std::string &outPath);

// srt-live-transmit as an SRT listener writing what it receives (MPEG-TS bytes, unmodified) to outputPath().
// It goes back to listening after a caller disconnects, so several sessions append to the same file.
class SrtListener {
public:
	enum class Receiver {
		Srt,
		// ffmpeg's librist receiver, main profile, remuxing to MPEG-TS; a sender keeps sending while it is
		// away. AES-128 with the passphrase when there is one.
		Rist,
		// ffmpeg listening for one RTMP publisher (enhanced RTMP: AV1, HEVC), remuxing to Matroska; it ends
		// when the publisher leaves. Publish to url() with any key.
		Rtmp,
	};
	struct Options {
		int port = 0;           // UDP port; 0 picks a free one
		std::string passphrase; // empty: no encryption; otherwise 10..79 characters, no '&'
		int pbkeylen = 16;      // key length used with a passphrase: 16, 24 or 32
		int latencyMs = 0;      // 0: the library default (120 ms)
		Receiver receiver = Receiver::Srt;
	};

	// Prepares the private directory; nothing runs before start().
	explicit SrtListener(const Options &options);
	// Default options: no encryption, a free port.
	SrtListener();
	~SrtListener();
	// Starts the listener and waits until its UDP port is bound.
	void start();
	// Stops it (buffered output is flushed on a clean exit).
	void stop();
	// True while it runs.
	bool running();
	// "srt://127.0.0.1:<port>" (callers connect in their default caller mode), "rist://…" or "rtmp://…/live".
	std::string url() const;
	// The received stream (lags the network by up to one 4 KiB stdio buffer).
	std::string outputPath() const { return dir_.file(options_.receiver == Receiver::Rtmp ? "out.mkv" : "out.ts"); }
	// srt-live-transmit's log.
	std::string logPath() const { return dir_.file("srt.log"); }
	// UDP port (TCP for RTMP).
	int port() const { return port_; }

private:
	Options options_;
	TempDir dir_;
	std::unique_ptr<Process> proc_;
	int port_ = 0;
};

// Accepts TCP connections on a free loopback port and never reads or writes: a server that never answers.
class SilentTcpListener {
public:
	// rcvBufBytes > 0 shrinks the receive buffer so a client's writes block sooner.
	explicit SilentTcpListener(int rcvBufBytes = 0);
	~SilentTcpListener();
	// Binds, listens and starts the accept thread.
	void start();
	// Stops the thread and closes every connection.
	void stop();
	// Listening port.
	int port() const { return port_; }
	// Connections accepted so far.
	int acceptedCount() const { return accepted_.load(); }

private:
	void run();

	int rcvBufBytes_;
	int port_ = 0;
	UniqueFd listenFd_;
	std::vector<UniqueFd> clients_; // only touched by the accept thread until it is joined
	std::thread thread_;
	std::atomic<bool> stopping_{false};
	std::atomic<int> accepted_{0};
};

// A port whose opening packets are dropped, as behind a firewall: a listener that never accepts, its one queue
// place taken by its own connection. A client dialling it waits for an answer until the system gives up on it
// (about two minutes).
class DroppingTcpListener {
public:
	void start();
	int port() const { return port_; }

private:
	int port_ = 0;
	UniqueFd listenFd_;
	UniqueFd filler_;
};

// TCP relay 127.0.0.1:port() -> 127.0.0.1:targetPort that reads from its clients at most bytesPerSecond (a slow
// uplink); the way back is not limited. One thread accepts, one per connection pumps both directions.
class ThrottledRelay {
public:
	// bytesPerSecond < 0: unlimited, 0: nothing is forwarded (a stalled link). rcvBufBytes bounds the kernel buffer
	// on the client side so that back-pressure reaches the client quickly.
	ThrottledRelay(int targetPort, long long bytesPerSecond, int rcvBufBytes = 65536);
	~ThrottledRelay();
	// Binds, listens and starts the accept thread.
	void start();
	// Stops all threads and closes every connection.
	void stop();
	// Listening port.
	int port() const { return port_; }
	// Bytes delivered to the target so far.
	long long bytesForwarded() const { return forwarded_.load(); }
	// Bytes delivered back to clients so far.
	long long bytesReturned() const { return returned_.load(); }
	// Changes the limit for every connection, at once.
	void setBytesPerSecond(long long bytesPerSecond) { rate_.store(bytesPerSecond); }
	// Resets (RST) every open connection, as a cut network would; new connections are still accepted.
	void dropConnections() { dropGeneration_.fetch_add(1); }
	// Connections currently open.
	int activeConnections() const { return active_.load(); }

private:
	struct Connection;
	void acceptLoop();
	void pump(Connection &conn);

	int targetPort_;
	int rcvBufBytes_;
	int port_ = 0;
	UniqueFd listenFd_;
	std::thread acceptThread_;
	std::list<std::unique_ptr<Connection>> connections_; // only touched by the accept thread until it is joined
	std::atomic<long long> rate_;
	std::atomic<bool> stopping_{false};
	std::atomic<int> dropGeneration_{0};
	std::atomic<int> active_{0};
	std::atomic<long long> forwarded_{0};
	std::atomic<long long> returned_{0};
};

// nginx serving HTTPS for several host names on one address and port (443 by default, for clients that cannot
// be told another port: run inside isolateNetwork()). Certificates come from a CA of its own: trust it with
// makeCaBundleWith, and route the names with makeHostsFile and bindMount over /etc/hosts.
class HttpsServer {
public:
	struct Site {
		std::string name;                                       // host name (TLS server name and Host header)
		std::vector<std::pair<std::string, std::string>> files; // path below the site's root, content
		std::string directives;                                 // extra nginx lines for its server block
		std::string certificateName; // the name its certificate is for; empty: a certificate for the site's name
	};

	explicit HttpsServer(std::vector<Site> sites, std::string address = "127.0.0.1", int port = 443);
	~HttpsServer();
	// Makes the certificates, starts nginx and waits until it listens.
	void start();
	// Stops nginx.
	void stop();
	// The CA that signed every site's certificate.
	std::string caCertPath() const { return dir_.file("ca.pem"); }
	// One line per request: host "request line" status "user agent" TLS protocol.
	std::string accessLogPath() const { return dir_.file("access.log"); }
	std::string errorLogPath() const { return dir_.file("error.log"); }

private:
	std::string config() const;

	std::vector<Site> sites_;
	std::string address_;
	int port_;
	TempDir dir_;
	std::unique_ptr<Process> proc_;
};

// Writes a hosts file with the usual localhost lines plus (name, address) entries; returns outPath.
std::string makeHostsFile(const std::vector<std::pair<std::string, std::string>> &entries, const std::string &outPath);

// ---------------------------------------------------------------------------------------------------------------
// Media (ffmpeg / ffprobe). Times are seconds on the file's own timeline (its timestamps, not counted from its
// first packet). Decoding starts at the beginning of the file: meant for short recordings.

// One stream of a media file.
struct StreamInfo {
	int index = -1;
	std::string type, codec; // "video" / "audio" / ..., "h264" / "aac" / ...
	int width = 0, height = 0, sampleRate = 0, channels = 0;
	double startTime = 0.0;
};

// An RGB24 picture.
struct Image {
	int width = 0, height = 0;
	std::vector<uint8_t> rgb;

	// Pixel (x, y) as 3 bytes R, G, B.
	uint8_t *at(int x, int y) { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
	const uint8_t *at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
	// True when no picture was had.
	bool empty() const { return rgb.empty(); }
	// Mean of (R + G + B) / 3 over the picture, 0..255.
	double meanBrightness() const;
};

// Why the last media helper on this thread failed (tool, exit code, stderr tail).
const std::string &lastToolError();

// Streams of a file; empty when it cannot be probed.
std::vector<StreamInfo> probeStreams(const std::string &file);
// Presentation times of the first video stream's decoded frames.
std::vector<double> videoFrameTimes(const std::string &file);
// Audio as interleaved floats; sample i is at startSec + i / sampleRate on the file's timeline (gaps in the
// timestamps are filled with silence). durationSec < 0: to the end. channels 1 averages the file's channels.
std::vector<float> decodeAudio(const std::string &file, int sampleRate, int channels, double startSec = 0,
			       double durationSec = -1);
// Amplitude of a sinusoid at freqHz (Hann-windowed Goertzel): ~0.5 for a 0.5-amplitude sine.
double toneAmplitude(const std::vector<float> &mono, int sampleRate, double freqHz);
// Frequency of the strongest sinusoid between minHz and maxHz, to about 0.5 Hz; 0 for silence or too few samples.
double dominantFrequency(const std::vector<float> &mono, int sampleRate, double minHz = 50, double maxHz = 4000);
// The picture on screen at atSec: the last frame whose time is <= atSec (the first frame before that).
Image grabFrame(const std::string &file, double atSec);

// Writes a stereo 48 kHz sine (WAV or FLAC, by extension) holding a whole number of cycles so it loops without a
// click; seconds is rounded to fit, and a non-integer freqHz may be nudged by up to 0.5 / seconds Hz.
bool makeToneFile(const std::string &path, double freqHz, double seconds, double amplitude);
// How makeFlashClickFile writes its sound and pictures.
struct FlashClickOptions {
	int fps = 30;
	std::string audioCodec = "aac"; // an ffmpeg encoder: "aac", "flac", "pcm_s16le" (the last two need .mkv)
	int sampleRate = 48000;
	int packetFrames = 0;     // frames per audio packet for PCM; 0: the encoder's own
	double toneHz = 0;        // a steady tone (amplitude 0.1) under clicks of amplitude 0.6; 0: silence under 0.8
	double clickDelaySec = 0; // clicks this long after each flash (whole samples)
};
// Writes a 320x180 H.264 file (.mp4 or .mkv): black with one white frame every periodSec (rounded to whole
// frames) starting at 0, and a 5 ms 1 kHz click at the same instants (or clickDelaySec later).
bool makeFlashClickFile(const std::string &path, double seconds, double periodSec,
			const FlashClickOptions &options = {});
// Times of frames turning bright (mean luma >= threshold, 0..255) after a dark one.
std::vector<double> flashTimes(const std::string &file, double threshold = 128);
// Times where the audio (channels averaged) first reaches |threshold| after at least minGapSec below it.
std::vector<double> clickTimes(const std::string &file, double threshold = 0.1, double minGapSec = 0.1);

// Where a steady tone of amplitude 0.1 at freqHz drops to half or less: 10 ms windows every 5 ms of mono 48 kHz
// samples starting at startSec (each holds whole cycles of a tone at a multiple of 100 Hz, so tones 200 Hz apart
// do not leak into each other); windows near one of the clicks are left out.
struct ToneGaps {
	int windows = 0;
	int quiet = 0;
	double longest = 0; // seconds
};
ToneGaps toneGaps(const std::vector<float> &samples, const std::vector<double> &clicks, double startSec, double freqHz);

// For each flash (mean luma >= flashLuma) between fromSec and toSec whose click (|level| >= 0.45) arrived: click
// time minus flash time less clickDelaySec, in seconds.
std::vector<double> clickAfterFlash(const std::string &file, double fromSec, double toSec, double clickDelaySec = 0,
				    double flashLuma = 40);
double mean(const std::vector<double> &values);

} // namespace testbed
