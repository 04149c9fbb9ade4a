// Per-user protection of secrets on Linux: XChaCha20-Poly1305 under a random key kept in the user's data
// folder, bound to this computer. A value protected for another user or computer fails to open.
#include "config/secret-platform.hpp"

#include <sodium.h>

#include <cerrno>
#include <initializer_list>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned char blockVersion = 1;
constexpr size_t keySize = crypto_aead_xchacha20poly1305_ietf_KEYBYTES;
constexpr size_t nonceSize = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t tagSize = crypto_aead_xchacha20poly1305_ietf_ABYTES;
const char description[] = "Tallowmere";
const char keyFileName[] = "secret.key";

struct Key {
	unsigned char bytes[keySize];
	~Key() { sodium_memzero(bytes, sizeof(bytes)); }
};

bool makeFolders(const std::string &folder)
{
	for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
		const std::string part = folder.substr(0, slash);
		if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
			return false;
		}
		if (slash == std::string::npos) {
			break;
		}
	}
	struct stat info;
	return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

enum class KeyFile { Missing, Unreadable, OtherOwner, OpenToOthers, WrongSize, Read };

// A key file belongs to its user alone: one owned by another account (left by OBS run once as root, or put there
// by someone else) is never used, so no key that others can read or replace protects anything.
KeyFile readKeyFile(const std::string &path, Key &key, int *error = nullptr)
{
	const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
	if (fd < 0) {
		if (error) {
			*error = errno;
		}
		return errno == ENOENT ? KeyFile::Missing : KeyFile::Unreadable;
	}
	struct stat info {};
	KeyFile result = KeyFile::Read;
	if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
		if (error) {
			*error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
		}
		result = KeyFile::Unreadable;
	} else if (info.st_uid != geteuid()) {
		result = KeyFile::OtherOwner;
	} else if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
		result = KeyFile::OpenToOthers;
	} else if (info.st_size != off_t(keySize) || read(fd, key.bytes, keySize) != ssize_t(keySize)) {
		result = KeyFile::WrongSize;
	}
	close(fd);
	return result;
}

// Creates the key file atomically: written under a temporary name and linked into place, so two processes
// starting together agree on one key and a half-written key is never seen.
bool createKeyFile(const std::string &folder, const std::string &path, Key &key)
{
	std::string temporary = folder + "/.secret.key.XXXXXX";
	const int fd = mkstemp(&temporary[0]);
	if (fd < 0) {
		return false;
	}
	randombytes_buf(key.bytes, keySize);
	bool written = fchmod(fd, 0600) == 0 && write(fd, key.bytes, keySize) == ssize_t(keySize) && fsync(fd) == 0;
	close(fd);
	bool linked = written && link(temporary.c_str(), path.c_str()) == 0;
	const int linkError = errno;
	unlink(temporary.c_str());
	if (linked) {
		return true;
	}
	return written && linkError == EEXIST && readKeyFile(path, key) == KeyFile::Read;
}

void setProblem(PlatformProblem *problem, KeyProblem kind, const std::string &keyFile, int error = 0)
{
	if (problem) {
		problem->kind = kind;
		problem->systemError = error;
		problem->keyFile = keyFile;
	}
}

bool loadKey(const std::string &folder, const std::string &machineId, bool create, Key &workingKey,
	     PlatformProblem *problem = nullptr)
{
	const std::string path = folder.empty() ? std::string() : folder + "/" + keyFileName;
	if (folder.empty()) {
		setProblem(problem, KeyProblem::NoKeyFolder, "~/.local/share/tallowmere/" + std::string(keyFileName));
		return false;
	}
	if (sodium_init() < 0) {
		setProblem(problem, KeyProblem::Failed, path);
		return false;
	}
	Key fileKey;
	int error = 0;
	// An unusable key file is left alone: replacing it would make every value protected with it unreadable.
	switch (readKeyFile(path, fileKey, &error)) {
	case KeyFile::Read:
		break;
	case KeyFile::Unreadable:
		setProblem(problem, KeyProblem::KeyFileUnreadable, path, error);
		return false;
	case KeyFile::OtherOwner:
		setProblem(problem, KeyProblem::KeyFileOtherOwner, path);
		return false;
	case KeyFile::OpenToOthers:
		setProblem(problem, KeyProblem::KeyFileOpenToOthers, path);
		return false;
	case KeyFile::WrongSize:
		setProblem(problem, KeyProblem::KeyFileWrongSize, path);
		return false;
	case KeyFile::Missing:
		if (!create) {
			return false;
		}
		if (!makeFolders(folder) || !createKeyFile(folder, path, fileKey)) {
			setProblem(problem, KeyProblem::KeyFileNotCreated, path, errno);
			return false;
		}
		break;
	}
	// The working key mixes in the computer's identity, so the key file alone does not open values elsewhere.
	const std::string context = std::string("tallowmere secret key v1\n") + machineId;
	if (crypto_generichash(workingKey.bytes, keySize, reinterpret_cast<const unsigned char *>(context.data()),
			       context.size(), fileKey.bytes, keySize) != 0) {
		setProblem(problem, KeyProblem::Failed, path);
		return false;
	}
	return true;
}

} // namespace

bool sodiumProtect(const std::string &keyFolder, const std::string &machineId, const std::string &plain,
		   std::string &block, PlatformProblem *problem)
{
	Key key;
	if (!loadKey(keyFolder, machineId, true, key, problem)) {
		return false;
	}
	block.assign(1 + nonceSize + plain.size() + tagSize, '\0');
	auto *out = reinterpret_cast<unsigned char *>(&block[0]);
	out[0] = blockVersion;
	randombytes_buf(out + 1, nonceSize);
	unsigned long long cipherSize = 0;
	if (crypto_aead_xchacha20poly1305_ietf_encrypt(
		    out + 1 + nonceSize, &cipherSize, reinterpret_cast<const unsigned char *>(plain.data()),
		    plain.size(), reinterpret_cast<const unsigned char *>(description), sizeof(description) - 1,
		    nullptr, out + 1, key.bytes) != 0) {
		block.clear();
		setProblem(problem, KeyProblem::Failed, keyFolder + "/" + keyFileName);
		return false;
	}
	block.resize(1 + nonceSize + size_t(cipherSize));
	return true;
}

bool sodiumOpen(const std::string &keyFolder, const std::string &machineId, const std::string &block,
		std::string &plain)
{
	if (block.size() < 1 + nonceSize + tagSize || static_cast<unsigned char>(block[0]) != blockVersion) {
		return false;
	}
	Key key;
	if (!loadKey(keyFolder, machineId, false, key)) {
		return false;
	}
	const auto *in = reinterpret_cast<const unsigned char *>(block.data());
	const size_t cipherSize = block.size() - 1 - nonceSize;
	plain.assign(cipherSize - tagSize, '\0');
	unsigned long long plainSize = 0;
	if (crypto_aead_xchacha20poly1305_ietf_decrypt(
		    reinterpret_cast<unsigned char *>(plain.empty() ? nullptr : &plain[0]), &plainSize, nullptr,
		    in + 1 + nonceSize, cipherSize, reinterpret_cast<const unsigned char *>(description),
		    sizeof(description) - 1, in + 1, key.bytes) != 0) {
		plain.clear();
		return false;
	}
	plain.resize(size_t(plainSize));
	return true;
}

std::string defaultKeyFolder()
{
	const char *dataHome = std::getenv("XDG_DATA_HOME");
	if (dataHome && dataHome[0] == '/') {
		return std::string(dataHome) + "/tallowmere";
	}
	const char *home = std::getenv("HOME");
	if (home && home[0] == '/') {
		return std::string(home) + "/.local/share/tallowmere";
	}
	return std::string();
}

std::string machineIdentity()
{
	for (const char *path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
		if (FILE *file = std::fopen(path, "re")) {
			char buffer[128] = {};
			const size_t size = std::fread(buffer, 1, sizeof(buffer) - 1, file);
			std::fclose(file);
			std::string id(buffer, size);
			while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) {
				id.pop_back();
			}
			if (!id.empty()) {
				return id;
			}
		}
	}
	return std::string();
}

std::string platformKeyFile()
{
	const std::string folder = defaultKeyFolder();
	return (folder.empty() ? std::string("~/.local/share/tallowmere") : folder) + "/" + keyFileName;
}

bool platformProtect(const std::string &plain, std::string &block, PlatformProblem *problem)
{
	return sodiumProtect(defaultKeyFolder(), machineIdentity(), plain, block, problem);
}

bool platformOpen(const std::string &block, std::string &plain)
{
	return sodiumOpen(defaultKeyFolder(), machineIdentity(), block, plain);
}
