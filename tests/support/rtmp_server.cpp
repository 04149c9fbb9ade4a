// nginx with the RTMP module (and an RTMPS front through the stream module), run as a single process we can kill.
#include "internal.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace testbed {

namespace {

std::string nginxModule(const std::string &name)
{
	for (const char *dir : {"/usr/lib/nginx/modules/", "/usr/lib64/nginx/modules/", "/usr/share/nginx/modules/"}) {
		std::string path = dir + name;
		if (access(path.c_str(), R_OK) == 0) {
			return path;
		}
	}
	throw std::runtime_error("nginx module " + name +
				 " not found (Debian: apt-get install libnginx-mod-rtmp libnginx-mod-stream)");
}

} // namespace

void runOpenssl(const std::vector<std::string> &args, const std::string &cwd)
{
	std::vector<std::string> argv = {"sh", "-c", "cd \"$0\" && exec openssl \"$@\"", cwd};
	argv.insert(argv.end(), args.begin(), args.end());
	int code = 0;
	std::string err;
	runCapture(argv, 30000, &code, &err);
	if (code != 0) {
		throw std::runtime_error("openssl " + args.front() + " failed (" + std::to_string(code) + "): " + err);
	}
}

RtmpServer::RtmpServer(const Options &options) : options_(options), dir_("tb-rtmp-") {}

RtmpServer::RtmpServer() : RtmpServer(Options()) {}

RtmpServer::~RtmpServer()
{
	stop();
}

void RtmpServer::makeCertificates()
{
	const std::string tls = dir_.file("tls");
	mkdir(tls.c_str(), 0755);
	// RSA 2048 rather than EC: every TLS stack an RTMP client might use accepts it.
	runOpenssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days",
		    "3", "-subj", "/CN=Testbed CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
		    "keyUsage=critical,keyCertSign,cRLSign"},
		   tls);
	runOpenssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj",
		    "/CN=localhost"},
		   tls);
	writeFile(tls + "/server.ext", "subjectAltName=DNS:localhost\n"
				       "basicConstraints=CA:FALSE\n"
				       "keyUsage=digitalSignature,keyEncipherment\n"
				       "extendedKeyUsage=serverAuth\n");
	runOpenssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-out",
		    "server.pem", "-days", "3", "-extfile", "server.ext"},
		   tls);
	haveCertificates_ = true;
}

std::string RtmpServer::config() const
{
	const std::string p = std::to_string(port_);
	std::string c;
	c += "load_module " + nginxModule("ngx_rtmp_module.so") + ";\n";
	if (options_.tls) {
		c += "load_module " + nginxModule("ngx_stream_module.so") + ";\n";
	}
	// One process: the PID we hold is the server, and SIGKILL on it takes everything down at once.
	c += "daemon off;\nmaster_process off;\n";
	c += "error_log " + errorLogPath() + " info;\n";
	c += "pid " + dir_.file("nginx.pid") + ";\n";
	c += "events { worker_connections 1024; }\n";
	if (options_.tls) {
		c += "stream {\n\tserver {\n";
		c += "\t\tlisten 127.0.0.1:" + std::to_string(tlsPort_) + " ssl;\n";
		c += "\t\tssl_certificate " + dir_.file("tls/server.pem") + ";\n";
		c += "\t\tssl_certificate_key " + dir_.file("tls/server.key") + ";\n";
		c += "\t\tproxy_pass 127.0.0.1:" + p + ";\n";
		c += "\t}\n}\n";
	}
	// The publish check is answered by nginx itself.
	const std::string check = std::to_string(checkPort_);
	if (options_.refusePublish) {
		c += "http {\n\taccess_log off;\n";
		c += "\tserver {\n\t\tlisten 127.0.0.1:" + check + ";\n\t\treturn 403;\n\t}\n}\n";
	}
	// Its own access log would go to the system's log folder, which a normal user cannot write.
	c += "rtmp {\n\taccess_log off;\n\tserver {\n";
	c += "\t\tlisten 127.0.0.1:" + p + ";\n";
	c += "\t\tapplication " + options_.app + " {\n";
	c += "\t\t\tlive on;\n";
	if (options_.refusePublish) {
		c += "\t\t\ton_publish http://127.0.0.1:" + check + "/publish;\n";
	}
	c += "\t\t\trecord all;\n";
	c += "\t\t\trecord_path " + dir_.file("rec") + ";\n";
	c += "\t\t\trecord_unique off;\n";
	c += "\t\t}\n\t}\n}\n";
	return c;
}

std::string RtmpServer::failure(const std::string &what) const
{
	return detail::withLogTail("nginx-rtmp (" + dir_.path() + "): " + what, errorLogPath());
}

void RtmpServer::start()
{
	if (proc_ && proc_->running()) {
		return;
	}
	if (port_ == 0) {
		port_ = options_.port > 0 ? options_.port : freeTcpPort();
	}
	if (options_.tls && tlsPort_ == 0) {
		tlsPort_ = options_.tlsPort > 0 ? options_.tlsPort : freeTcpPort();
	}
	if (options_.refusePublish && checkPort_ == 0) {
		checkPort_ = freeTcpPort();
	}
	if (options_.tls && !haveCertificates_) {
		makeCertificates();
	}
	mkdir(dir_.file("rec").c_str(), 0755);
	const std::string conf = dir_.file("nginx.conf");
	writeFile(conf, config());

	// A port just freed by a killed server, or briefly taken by a client's ephemeral port, frees up soon.
	detail::Deadline deadline(10000);
	for (;;) {
		long long logStart = fileSize(errorLogPath());
		proc_ = Process::start({"nginx", "-p", dir_.path() + "/", "-c", conf, "-e", errorLogPath()},
				       dir_.file("stdout.log"), dir_.file("stderr.log"));
		// Ready means nginx itself holds the listeners: a connect could reach whoever else has the port.
		while (proc_->running() && !deadline.expired()) {
			if (detail::processOwnsPort(proc_->pid(), "tcp", port_) &&
			    (!options_.tls || detail::processOwnsPort(proc_->pid(), "tcp", tlsPort_))) {
				return;
			}
			detail::sleepMs(10);
		}
		std::string log = readFile(errorLogPath());
		bool busy = log.find("Address already in use", logStart > 0 ? static_cast<size_t>(logStart) : 0) !=
			    std::string::npos;
		if (proc_->running() || !busy || deadline.expired()) {
			proc_->stop();
			throw std::runtime_error(failure("did not come up on port " + std::to_string(port_) +
							 (options_.tls ? "/" + std::to_string(tlsPort_) : "")));
		}
		detail::sleepMs(200);
	}
}

void RtmpServer::stop()
{
	if (proc_) {
		proc_->stop();
	}
}

void RtmpServer::kill()
{
	if (proc_) {
		proc_->signal(SIGKILL);
		proc_->waitExit(5000);
	}
}

void RtmpServer::restart()
{
	stop();
	start();
}

bool RtmpServer::running()
{
	return proc_ && proc_->running();
}

std::string RtmpServer::url(const std::string &app) const
{
	return "rtmp://127.0.0.1:" + std::to_string(port_) + "/" + app;
}

std::string RtmpServer::tlsUrl(const std::string &app) const
{
	return "rtmps://localhost:" + std::to_string(tlsPort_) + "/" + app;
}

std::string RtmpServer::recordingPath(const std::string &key) const
{
	return dir_.file("rec/" + key + ".flv");
}

std::string makeCaBundleWith(const std::string &caPemPath, const std::string &outPath)
{
	std::string ca = readFile(caPemPath);
	if (ca.find("BEGIN CERTIFICATE") == std::string::npos) {
		throw std::runtime_error("makeCaBundleWith: no certificate in " + caPemPath);
	}
	std::string bundle = readFile("/etc/ssl/certs/ca-certificates.crt");
	if (!bundle.empty() && bundle.back() != '\n') {
		bundle += '\n';
	}
	writeFile(outPath, bundle + ca);
	return outPath;
}

} // namespace testbed
