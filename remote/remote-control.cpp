#include "remote/remote-control.hpp"
#include "control/entry-controller.hpp"
#include "control/status-text.hpp"
#include "engine/addresses.hpp"
#include "engine/live-entry.hpp"
#include "base/language.hpp"

#include <QJsonArray>
#include <QHash>

#include <cmath>
#include <exception>
#include <mutex>

namespace RemoteControl {

namespace {

QJsonObject success()
{
	return QJsonObject{{QStringLiteral("ok"), true}};
}

// A field that must be a non-empty text of reasonable length; empty with the reason in error otherwise.
QString textField(const QJsonObject &request, const char *key, QString *error)
{
	const QJsonValue value = request.value(QLatin1String(key));
	if (!value.isString() || value.toString().isEmpty()) {
		*error = translate("Falta «%1» o no es un texto.").arg(QLatin1String(key));
		return QString();
	}
	if (value.toString().size() > maxTextLength) {
		*error = translate("«%1» es demasiado largo (%2 caracteres como máximo).")
				 .arg(QLatin1String(key))
				 .arg(maxTextLength);
		return QString();
	}
	return value.toString();
}

const EntryConfig *findEntry(EntryController &controller, const QString &entryId)
{
	for (const EntryConfig &entry : controller.currentEntries()) {
		if (entry.id == entryId) {
			return &entry;
		}
	}
	return nullptr;
}

QJsonObject describe(EntryController &controller, const EntryConfig &entry)
{
	const LiveEntry *live = controller.liveEntry(entry.id);
	QJsonArray destinations;
	QList<DestStatus> statuses;
	for (const DestConfig &dest : entry.destinos) {
		const DestStatus status = live ? live->destinationStatus(dest.id) : DestStatus();
		statuses.append(status);
		destinations.append(QJsonObject{
			{QStringLiteral("id"), dest.id},
			{QStringLiteral("kind"),
			 dest.grabacion ? QStringLiteral("Recording") : protocolLabel(classifyAddress(dest.url))},
			{QStringLiteral("address"), dest.grabacion ? dest.carpeta : displayAddress(dest.url)},
			{QStringLiteral("liveSeconds"), status.liveSeconds},
			{QStringLiteral("congestion"), std::round(status.congestion * 100) / 100},
			{QStringLiteral("state"), stateName(status.state)},
			{QStringLiteral("message"), maskAddressQueries(status.message)},
			{QStringLiteral("kbps"), status.kbps},
			{QStringLiteral("framesDropped"), status.framesDropped},
			{QStringLiteral("drops"), status.drops},
			{QStringLiteral("attempts"), status.attempts},
			{QStringLiteral("outageSeconds"), status.outageSeconds},
			{QStringLiteral("lastOutageSeconds"), status.lastOutageSeconds},
		});
	}
	return QJsonObject{
		{QStringLiteral("id"), entry.id},
		{QStringLiteral("name"), entry.nombre},
		{QStringLiteral("source"), entry.fuente},
		{QStringLiteral("followsObs"), entry.seguirObs},
		{QStringLiteral("program"), entry.programaObs},
		{QStringLiteral("streaming"), controller.isStreaming(entry.id)},
		{QStringLiteral("sendingNow"), live ? live->currentSourceName() : QString()},
		{QStringLiteral("destinations"), destinations},
		// Video encodes it costs (its own encoder, one for all its destinations) and what it uploads now.
		{QStringLiteral("encodes"), sharesObsEncoder(entry) ? 0 : 1},
		{QStringLiteral("bill"), entryBill(entry)},
		{QStringLiteral("uploadKbps"), uploadKbps(statuses)},
	};
}

QJsonObject entriesReply(EntryController &controller)
{
	QJsonArray entries;
	int upload = 0;
	for (const EntryConfig &entry : controller.currentEntries()) {
		const QJsonObject described = describe(controller, entry);
		upload += described.value(QStringLiteral("uploadKbps")).toInt();
		entries.append(described);
	}
	QJsonObject reply = success();
	reply.insert(QStringLiteral("entries"), entries);
	reply.insert(QStringLiteral("uploadKbps"), upload);
	return reply;
}

struct Snapshot {
	std::mutex lock;
	QJsonObject entries = failure(translate("El panel de Quorvex Source no está abierto."));
	// Entries whose edit dialog is open, with their titles.
	QHash<QString, QString> edited;
};

Snapshot &snapshotState()
{
	static Snapshot state;
	return state;
}

QJsonObject runChecked(EntryController &controller, const QString &type, const QJsonObject &request)
{
	if (type == QLatin1String("GetEntries")) {
		return entriesReply(controller);
	}
	if (type == QLatin1String("StopAll")) {
		controller.stopEveryEntry();
		return success();
	}
	if (type == QLatin1String("StartAll")) {
		controller.startEveryEntry();
		return success();
	}
	if (!requestTypes().contains(type)) {
		return failure(translate("Petición desconocida: %1").arg(type.left(maxTextLength)));
	}

	QString error;
	const QString entryId = textField(request, "entryId", &error);
	if (!error.isEmpty()) {
		return failure(error);
	}
	const EntryConfig *entry = findEntry(controller, entryId);
	if (!entry) {
		return failure(translate("No hay ninguna entrada «%1» en esta colección.").arg(entryId));
	}
	if (type == QLatin1String("StartEntry")) {
		return controller.startEntry(entryId, &error) ? success() : failure(error);
	}
	if (type == QLatin1String("StopEntry")) {
		controller.stopEntry(entryId);
		return success();
	}
	if (type == QLatin1String("SwitchSource")) {
		const QString name = textField(request, "name", &error);
		if (!error.isEmpty()) {
			return failure(error);
		}
		if (controller.isBeingEdited(entryId)) {
			return failure(
				translate("«%1» se está editando. Cierra su ventana de edición y vuelve a intentarlo.")
					.arg(EntryController::entryTitle(*entry)));
		}
		return controller.switchEntrySource(entryId, name, &error) ? success() : failure(error);
	}

	const QString destId = textField(request, "destinationId", &error);
	if (!error.isEmpty()) {
		return failure(error);
	}
	bool known = false;
	for (const DestConfig &dest : entry->destinos) {
		known = known || dest.id == destId;
	}
	if (!known) {
		return failure(translate("La entrada no tiene ningún destino «%1».").arg(destId));
	}
	if (type == QLatin1String("StartDestination")) {
		return controller.startDestination(entryId, destId, &error) ? success() : failure(error);
	}
	controller.stopDestination(entryId, destId);
	return success();
}

} // namespace

const QStringList &requestTypes()
{
	static const QStringList types{
		QStringLiteral("GetEntries"),   QStringLiteral("StartDestination"), QStringLiteral("StopDestination"),
		QStringLiteral("StartEntry"),   QStringLiteral("StopEntry"),        QStringLiteral("StopAll"),
		QStringLiteral("SwitchSource"), QStringLiteral("StartAll"),
	};
	return types;
}

QJsonObject failure(const QString &text)
{
	// An error may quote an engine or OBS message that names an address: its query may hold secrets.
	return QJsonObject{{QStringLiteral("ok"), false}, {QStringLiteral("error"), maskAddressQueries(text)}};
}

QJsonObject run(EntryController *controller, const QString &type, const QJsonObject &request)
{
	if (!controller) {
		return failure(translate("El panel de Quorvex Source no está abierto."));
	}
	if (controller->isShuttingDown()) {
		return failure(translate("OBS se está cerrando."));
	}
	try {
		return runChecked(*controller, type, request);
	} catch (const std::exception &e) {
		return failure(translate("Error inesperado: %1").arg(QString::fromUtf8(e.what())));
	} catch (...) {
		return failure(translate("Error inesperado al cambiar la emisión."));
	}
}

void keepSnapshot(EntryController &controller)
{
	QJsonObject entries = entriesReply(controller);
	QHash<QString, QString> edited;
	for (const EntryConfig &entry : controller.currentEntries()) {
		if (controller.isBeingEdited(entry.id)) {
			edited.insert(entry.id, EntryController::entryTitle(entry));
		}
	}
	Snapshot &state = snapshotState();
	std::lock_guard<std::mutex> guard(state.lock);
	state.entries = std::move(entries);
	state.edited = std::move(edited);
}

QJsonObject answerFromSnapshot(const QString &type, const QJsonObject &request, bool *queue)
{
	*queue = false;
	Snapshot &state = snapshotState();
	std::lock_guard<std::mutex> guard(state.lock);
	if (type == QLatin1String("GetEntries") || !state.entries.value(QStringLiteral("ok")).toBool()) {
		return state.entries;
	}
	if (!requestTypes().contains(type)) {
		return failure(translate("Petición desconocida: %1").arg(type.left(maxTextLength)));
	}
	QJsonObject queued = success();
	queued.insert(QStringLiteral("queued"), true);
	if (type == QLatin1String("StopAll") || type == QLatin1String("StartAll")) {
		*queue = true;
		return queued;
	}
	QString error;
	const QString entryId = textField(request, "entryId", &error);
	if (!error.isEmpty()) {
		return failure(error);
	}
	QJsonObject entry;
	for (const QJsonValue &item : state.entries.value(QStringLiteral("entries")).toArray()) {
		if (item.toObject().value(QStringLiteral("id")).toString() == entryId) {
			entry = item.toObject();
		}
	}
	if (entry.isEmpty()) {
		return failure(translate("No hay ninguna entrada «%1» en esta colección.").arg(entryId));
	}
	const bool starts = type.startsWith(QLatin1String("Start")) || type == QLatin1String("SwitchSource");
	if (starts && state.edited.contains(entryId)) {
		return failure(translate("«%1» se está editando. Cierra su ventana de edición y vuelve a intentarlo.")
				       .arg(state.edited.value(entryId)));
	}
	if (type == QLatin1String("SwitchSource")) {
		textField(request, "name", &error);
	} else if (type.endsWith(QLatin1String("Destination"))) {
		const QString destId = textField(request, "destinationId", &error);
		bool known = false;
		for (const QJsonValue &dest : entry.value(QStringLiteral("destinations")).toArray()) {
			known = known || dest.toObject().value(QStringLiteral("id")).toString() == destId;
		}
		if (error.isEmpty() && !known) {
			error = translate("La entrada no tiene ningún destino «%1».").arg(destId);
		}
	}
	if (!error.isEmpty()) {
		return failure(error);
	}
	*queue = true;
	return queued;
}

QJsonObject stateChangeEvent(const DestStateChange &change)
{
	return QJsonObject{
		{QStringLiteral("entryId"), change.entryId},
		{QStringLiteral("destinationId"), change.destId},
		{QStringLiteral("previous"), stateName(change.previous)},
		{QStringLiteral("state"), stateName(change.status.state)},
		{QStringLiteral("message"), maskAddressQueries(change.status.message)},
	};
}

QString stateName(DestState state)
{
	switch (state) {
	case DestState::Connecting:
		return QStringLiteral("Connecting");
	case DestState::Live:
		return QStringLiteral("Live");
	case DestState::Reconnecting:
		return QStringLiteral("Reconnecting");
	case DestState::Failed:
		return QStringLiteral("Failed");
	case DestState::Idle:
		break;
	}
	return QStringLiteral("Idle");
}

} // namespace RemoteControl
