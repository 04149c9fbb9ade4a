#include "config/secret-platform.hpp"
#include "config/secret.hpp"

#include "common/qt-print.hpp"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QTemporaryDir>

#include <cstdlib>
#include <sys/stat.h>

namespace {

class SecretTest : public testing::Test {
protected:
	void SetUp() override { useKeyFolder(home); }
	void useKeyFolder(const QTemporaryDir &dir) { setenv("XDG_DATA_HOME", dir.path().toUtf8().constData(), 1); }
	QTemporaryDir home;
	QTemporaryDir otherUser;
};

mode_t modeOf(const QString &path)
{
	struct stat info {};
	stat(path.toUtf8().constData(), &info);
	return info.st_mode & 0777;
}

} // namespace

TEST_F(SecretTest, RoundTripAndStoredForm)
{
	const QString value = QStringLiteral("live_8kj3?clave=ñandú·€ 🎥");
	const QString stored = protectSecret(value);
	ASSERT_TRUE(stored.startsWith(QStringLiteral("dpapi:")));
	EXPECT_FALSE(stored.contains(QStringLiteral("live_8kj3")));
	const QByteArray block = QByteArray::fromBase64(stored.mid(6).toLatin1());
	EXPECT_EQ(block.toBase64(), stored.mid(6).toLatin1()) << "standard Base64 with padding, no line breaks";
	EXPECT_FALSE(block.contains(value.toUtf8()));
	EXPECT_NE(protectSecret(value), stored) << "a fresh nonce each time";

	bool ok = false;
	EXPECT_EQ(openSecret(stored, &ok), value);
	EXPECT_TRUE(ok);

	// The key lives outside OBS's folder, private to the user.
	const QString folder = home.filePath(QStringLiteral("tallowmere"));
	EXPECT_EQ(modeOf(folder), mode_t(0700));
	EXPECT_EQ(modeOf(folder + QStringLiteral("/secret.key")), mode_t(0600));
}

TEST_F(SecretTest, PlainAndEmptyValues)
{
	EXPECT_EQ(protectSecret(QString()), QString());
	bool ok = false;
	EXPECT_EQ(openSecret(QStringLiteral("plain-key"), &ok), QStringLiteral("plain-key"));
	EXPECT_TRUE(ok);
	EXPECT_EQ(openSecret(QStringLiteral("DPAPI:AAAA"), &ok), QStringLiteral("DPAPI:AAAA"))
		<< "prefix is case-sensitive";
	EXPECT_TRUE(ok);
	EXPECT_EQ(openSecret(QString(), &ok), QString());
	EXPECT_TRUE(ok);
	EXPECT_EQ(openSecret(QStringLiteral("dpapi:"), &ok), QString());
	EXPECT_FALSE(ok);
	EXPECT_EQ(openSecret(QStringLiteral("dpapi:bm90IGEgYmxvY2s="), &ok), QString());
	EXPECT_FALSE(ok);
}

TEST_F(SecretTest, OtherUserOrComputerCannotOpen)
{
	const QString stored = protectSecret(QStringLiteral("secreto"));
	bool ok = true;
	useKeyFolder(otherUser);
	EXPECT_EQ(openSecret(stored, &ok), QString());
	EXPECT_FALSE(ok);
	EXPECT_FALSE(QFile::exists(otherUser.filePath(QStringLiteral("tallowmere/secret.key"))))
		<< "opening never creates a key";

	// Same user and key file, another computer.
	const std::string folder = home.filePath(QStringLiteral("tallowmere")).toStdString();
	std::string block;
	ASSERT_TRUE(sodiumProtect(folder, "machine-a", "secreto", block));
	std::string plain;
	EXPECT_TRUE(sodiumOpen(folder, "machine-a", block, plain));
	EXPECT_EQ(plain, "secreto");
	EXPECT_FALSE(sodiumOpen(folder, "machine-b", block, plain));

	// A tampered block fails instead of giving wrong text.
	block[block.size() / 2] ^= 1;
	EXPECT_FALSE(sodiumOpen(folder, "machine-a", block, plain));
}

TEST_F(SecretTest, UnusableKeyFileIsNeverReplaced)
{
	const QString keyFile = home.filePath(QStringLiteral("tallowmere/secret.key"));
	ASSERT_TRUE(protectSecret(QStringLiteral("x")).startsWith(QStringLiteral("dpapi:")));
	QFile file(keyFile);
	ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
	file.write("short");
	file.close();
	// Protection falls back to plain text rather than replacing the key others were protected with.
	EXPECT_EQ(protectSecret(QStringLiteral("y")), QStringLiteral("y"));
	QFile check(keyFile);
	ASSERT_TRUE(check.open(QIODevice::ReadOnly));
	EXPECT_EQ(check.readAll(), QByteArray("short"));
}
