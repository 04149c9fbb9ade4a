#include "update/update-settings.hpp"

// No default host: whoever registered a name the project does not own could show users a download link.
#ifndef TALLOWMERE_UPDATE_HOST
#define TALLOWMERE_UPDATE_HOST ""
#endif
#ifndef TALLOWMERE_UPDATE_SITE
#define TALLOWMERE_UPDATE_SITE ""
#endif

QString updateHostSetting()
{
	return QString::fromUtf8(TALLOWMERE_UPDATE_HOST);
}

QString trustedSiteSetting()
{
	return QString::fromUtf8(TALLOWMERE_UPDATE_SITE);
}
