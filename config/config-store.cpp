#include "config/config-store.hpp"

#include <QUuid>

QString newIdentifier()
{
	return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

void copyEditableWhileLive(const EntryConfig &from, EntryConfig &into)
{
	into.nombre = from.nombre;
	into.videoKbps = from.videoKbps;
	into.retrasoAudioMs = from.retrasoAudioMs;
	into.ajustesCodificador = from.ajustesCodificador;
	into.iniciarConStream = from.iniciarConStream;
	into.pararConStream = from.pararConStream;
	into.iniciarConGrabacion = from.iniciarConGrabacion;
	into.pararConGrabacion = from.pararConGrabacion;
}
