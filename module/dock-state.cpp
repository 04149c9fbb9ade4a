#include "module/dock-state.hpp"

bool dockStateKnows(const QByteArray &savedStateBase64, const QString &objectName)
{
	// The saved state stores each dock's object name as UTF-16 big-endian text.
	const QByteArray state = QByteArray::fromBase64(savedStateBase64);
	QByteArray name;
	for (QChar c : objectName) {
		name.append(char(c.unicode() >> 8));
		name.append(char(c.unicode() & 0xff));
	}
	return !name.isEmpty() && state.contains(name);
}
