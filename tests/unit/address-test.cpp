#include "engine/addresses.hpp"

#include "common/qt-print.hpp"

#include <gtest/gtest.h>

#include <obs-data.h>

TEST(Addresses, Classification)
{
	struct Case {
		const char *address;
		AddressKind kind;
	};
	const Case cases[] = {
		{"rtmp://h/live", AddressKind::Rtmp},
		{"  RTMPS://host/app \t", AddressKind::Rtmp},
		{"Rtmps://h/a", AddressKind::Rtmp},
		{"rtmp://", AddressKind::Rtmp},
		{"Srt://host:9000", AddressKind::Srt},
		{"SRT://h:1?latency=200", AddressKind::Srt},
		{" Rist://h:5000?secret=x&aes-type=128", AddressKind::Rist},
		{"", AddressKind::Invalid},
		{"   ", AddressKind::Invalid},
		{"rtmp:/host", AddressKind::Invalid},
		{"rtmps:/host", AddressKind::Invalid},
		{"rtmpx://host", AddressKind::Invalid},
		{"https://h/whip", AddressKind::Whip},
		{" HTTP://h", AddressKind::Whip},
		{"ftp://h/x", AddressKind::Invalid},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(classifyAddress(QString::fromUtf8(c.address)), c.kind) << c.address;
	}
	EXPECT_EQ(protocolLabel(AddressKind::Rtmp), QStringLiteral("RTMP"));
	EXPECT_EQ(protocolLabel(AddressKind::Srt), QStringLiteral("SRT"));
	EXPECT_EQ(protocolLabel(AddressKind::Rist), QStringLiteral("RIST"));
	// WebRTC's template only where OBS can send it (none of Debian's OBS builds can).
	EXPECT_FALSE(obsHasWhip());
	EXPECT_FALSE(templateOffered("https://", false));
	EXPECT_TRUE(templateOffered("https://", true));
	EXPECT_TRUE(templateOffered("rist://", false));
	EXPECT_EQ(protocolLabel(AddressKind::Invalid), QStringLiteral("?"));
}

TEST(Addresses, DialogRules)
{
	EXPECT_TRUE(hasApplicationPart(QStringLiteral("rtmp://a.b/live")));
	EXPECT_TRUE(hasApplicationPart(QStringLiteral("rtmp://a.b/")));
	EXPECT_FALSE(hasApplicationPart(QStringLiteral("rtmp://a.b")));
	EXPECT_FALSE(hasApplicationPart(QStringLiteral("rtmp://a.b:1935")));
	EXPECT_FALSE(hasApplicationPart(QStringLiteral("rtmp://")));

	EXPECT_TRUE(isWebAddress(QStringLiteral("HTTPS://h/whip")));
	EXPECT_TRUE(isWebAddress(QStringLiteral(" http://h")));
	EXPECT_FALSE(isWebAddress(QStringLiteral("ftp://h")));

	EXPECT_EQ(addressProblem(QStringLiteral("rtmp://host"), 2),
		  QStringLiteral(
			  "Destino 2: a la dirección RTMP le falta la parte final, por ejemplo rtmp://servidor/live."));
	EXPECT_TRUE(addressProblem(QStringLiteral("rtmp://host/"), 2).isEmpty());
	EXPECT_TRUE(addressProblem(QStringLiteral("srt://host"), 1).isEmpty());
	EXPECT_TRUE(addressProblem(QStringLiteral("HTTPS://x/y"), 1)
			    .startsWith(QStringLiteral("Destino 1: este OBS no tiene salida WebRTC")));
	EXPECT_EQ(addressProblem(QStringLiteral("ftp://x"), 3),
		  QStringLiteral("Destino 3: la dirección debe empezar por rtmp://, rtmps://, srt:// o rist://."));
}

TEST(Addresses, MaskingQueries)
{
	EXPECT_EQ(maskAddressQueries(QStringLiteral("falló srt://h:9000?latency=200&mode=caller ahora")),
		  QStringLiteral("falló srt://h:9000?… ahora"));
	EXPECT_EQ(maskAddressQueries(QStringLiteral("x rtmp://h/app?k=1")), QStringLiteral("x rtmp://h/app?…"));
	EXPECT_EQ(maskAddressQueries(QStringLiteral("«SRT://h:1?passphrase=secreto» y rtmps://a/b?c=d\"")),
		  QStringLiteral("«SRT://h:1?…» y rtmps://a/b?…\""));
	EXPECT_EQ(maskAddressQueries(QStringLiteral("srt://h:9000 caído")), QStringLiteral("srt://h:9000 caído"));
	EXPECT_EQ(maskAddressQueries(QStringLiteral("nada que ver? no")), QStringLiteral("nada que ver? no"));
	EXPECT_EQ(maskAddressQueries(QString()), QString());
	// A user name and password, and anything after the application (a pasted key), are secrets too.
	EXPECT_EQ(maskAddressQueries(QStringLiteral("a rtmp://u:p@h:1/app/KEY?x «rtmps://h/app/» srt://h:1/s/t")),
		  QStringLiteral("a rtmp://…@h:1/app/…?… «rtmps://h/app/» srt://h:1/s/…"));
}

TEST(Addresses, ServiceSettings)
{
	const auto check = [](const char *url, const char *key, const char *pass, bool auth) {
		obs_data_t *settings =
			createServiceSettings(QString::fromUtf8(url), QString::fromUtf8(key), QString::fromUtf8(pass));
		EXPECT_STREQ(obs_data_get_string(settings, "server"),
			     QString::fromUtf8(url).trimmed().toUtf8().constData());
		EXPECT_STREQ(obs_data_get_string(settings, "key"), key);
		EXPECT_EQ(obs_data_has_user_value(settings, "use_auth"), auth) << url;
		EXPECT_EQ(obs_data_has_user_value(settings, "password"), auth) << url;
		if (auth) {
			EXPECT_TRUE(obs_data_get_bool(settings, "use_auth"));
			EXPECT_STREQ(obs_data_get_string(settings, "password"), pass);
		}
		obs_data_release(settings);
	};
	check(" srt://h:9000?latency=200 ", " id ", "frase", true);
	check("srt://h:9000", "", "", false);
	check("rtmp://h/live", "clave", "frase", false);
	check("rtmps://h/live/extra", "", "", false);
	// A user name and password in an RTMP address become OBS's RTMP authentication.
	obs_data_t *auth = createServiceSettings(QStringLiteral("rtmp://us%40r:p%3Ass@h:1/live"), QString(), QString());
	EXPECT_STREQ(obs_data_get_string(auth, "server"), "rtmp://h:1/live");
	EXPECT_STREQ(obs_data_get_string(auth, "username"), "us@r");
	EXPECT_STREQ(obs_data_get_string(auth, "password"), "p:ss");
	EXPECT_TRUE(obs_data_get_bool(auth, "use_auth"));
	obs_data_release(auth);
	// An SRT address's passphrase and stream id go to SRT on their own, never in the address OBS prints; the
	// address's own win over the fields, as they would in OBS.
	obs_data_t *srt = createServiceSettings(
		QStringLiteral("srt://h:9000?latency=200&passphrase=p%26ss&streamid=#!::r=live&mode=caller"),
		QStringLiteral("field-id"), QStringLiteral("field-pass"));
	EXPECT_STREQ(obs_data_get_string(srt, "server"), "srt://h:9000?latency=200&mode=caller");
	EXPECT_STREQ(obs_data_get_string(srt, "key"), "#!::r=live");
	EXPECT_STREQ(obs_data_get_string(srt, "password"), "p&ss");
	obs_data_release(srt);
	// RIST: the login goes to OBS on its own; the secret stays, as only with it does the address's aes-type apply.
	obs_data_t *rist = createServiceSettings(
		QStringLiteral("rist://h:5000?aes-type=128&secret=s3cret&username=u&password=p%26w"), QString(),
		QString());
	EXPECT_STREQ(obs_data_get_string(rist, "server"), "rist://h:5000?aes-type=128&secret=s3cret");
	EXPECT_STREQ(obs_data_get_string(rist, "username"), "u");
	EXPECT_STREQ(obs_data_get_string(rist, "password"), "p&w");
	EXPECT_TRUE(obs_data_get_bool(rist, "use_auth"));
	obs_data_release(rist);
	EXPECT_EQ(maskAddressQueries(QStringLiteral("rist://h:5000?secret=s3cret falló")),
		  QStringLiteral("rist://h:5000?… falló"));
}
