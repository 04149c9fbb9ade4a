#include "config/config-store.hpp"

#include <QUuid>

QString newIdentifier()
{
	return QUuid::createUuid().toString(QUuid::WithoutBraces);
}
