#pragma once

#include <QString>

// The build's update settings (TALLOWMERE_UPDATE_HOST and TALLOWMERE_UPDATE_SITE): the host serving
// "/version.json" over HTTPS, and the secure base address every download address must start with. Both empty
// unless a release build sets them; then no check is made.
QString updateHostSetting();
QString trustedSiteSetting();
