// nginx serving HTTPS for several host names, with certificates from a test CA of its own.
#include "internal.hpp"

#include <sys/stat.h>

#include <set>
#include <stdexcept>

namespace testbed {

namespace {

// Signs a certificate for the given DNS names as <dir>/<stem>.pem and .key.
void makeCertificate(const std::string &dir, const std::string &stem, const std::vector<std::string> &names)
{
	std::string san = "subjectAltName=";
	for (size_t i = 0; i < names.size(); ++i) {
		san += (i ? ",DNS:" : "DNS:") + names[i];
	}
	writeFile(dir + "/" + stem + ".ext", san + "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
	runOpenssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
		    stem + ".key", "-out", stem + ".csr", "-subj", "/CN=" + names.front()},
		   dir);
	runOpenssl({"x509", "-req", "-in", stem + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
		    "-out", stem + ".pem", "-days", "3", "-extfile", stem + ".ext"},
		   dir);
}

} // namespace

HttpsServer::HttpsServer(std::vector<Site> sites, std::string address, int port)
	: sites_(std::move(sites)),
	  address_(std::move(address)),
	  port_(port),
	  dir_("tb-https-")
{
}

HttpsServer::~HttpsServer()
{
	stop();
}

std::string HttpsServer::config() const
{
	std::string c = "daemon off;\nmaster_process off;\n";
	c += "error_log " + errorLogPath() + " info;\npid " + dir_.file("nginx.pid") + ";\n";
	c += "events { worker_connections 256; }\nhttp {\n";
	c += "\tlog_format testbed '$host \"$request\" $status \"$http_user_agent\" $ssl_protocol';\n";
	c += "\taccess_log " + accessLogPath() + " testbed;\n";
	c += "\tdefault_type application/json;\n";
	for (size_t i = 0; i < sites_.size(); ++i) {
		const Site &site = sites_[i];
		const std::string cert = dir_.file(site.certificateName.empty() ? "sites" : "site" + std::to_string(i));
		c += "\tserver {\n\t\tlisten " + address_ + ":" + std::to_string(port_) + " ssl;\n";
		c += "\t\tserver_name " + site.name + ";\n";
		c += "\t\tssl_certificate " + cert + ".pem;\n\t\tssl_certificate_key " + cert + ".key;\n";
		c += "\t\troot " + dir_.file("root/" + site.name) + ";\n";
		c += "\t\t" + site.directives + "\n\t}\n";
	}
	return c + "}\n";
}

void HttpsServer::start()
{
	if (proc_ && proc_->running()) {
		return;
	}
	const std::string dir = dir_.path();
	runOpenssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
		    "ca.key", "-out", "ca.pem", "-days", "3", "-subj", "/CN=Testbed HTTPS CA", "-addext",
		    "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
		   dir);
	std::vector<std::string> shared;
	for (size_t i = 0; i < sites_.size(); ++i) {
		const Site &site = sites_[i];
		if (site.certificateName.empty()) {
			shared.push_back(site.name);
		} else {
			makeCertificate(dir, "site" + std::to_string(i), {site.certificateName});
		}
		const std::string root = dir_.file("root/" + site.name);
		mkdir(dir_.file("root").c_str(), 0755);
		mkdir(root.c_str(), 0755);
		for (const auto &file : site.files) {
			writeFile(root + "/" + file.first, file.second);
		}
	}
	if (!shared.empty()) {
		makeCertificate(dir, "sites", shared);
	}
	writeFile(dir_.file("nginx.conf"), config());
	proc_ = Process::start({"nginx", "-p", dir + "/", "-c", dir_.file("nginx.conf"), "-e", errorLogPath()},
			       dir_.file("stdout.log"), dir_.file("stderr.log"));
	detail::Deadline deadline(10000);
	while (proc_->running() && !deadline.expired()) {
		if (detail::processOwnsPort(proc_->pid(), "tcp", port_)) {
			return;
		}
		detail::sleepMs(10);
	}
	proc_->stop();
	throw std::runtime_error(detail::withLogTail(
		"nginx (" + dir + ") did not come up on " + address_ + ":" + std::to_string(port_), errorLogPath()));
}

void HttpsServer::stop()
{
	if (proc_) {
		proc_->stop();
	}
}

std::string makeHostsFile(const std::vector<std::pair<std::string, std::string>> &entries, const std::string &outPath)
{
	std::string hosts = "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n";
	for (const auto &entry : entries) {
		hosts += entry.second + "\t" + entry.first + "\n";
	}
	writeFile(outPath, hosts);
	return outPath;
}

} // namespace testbed
