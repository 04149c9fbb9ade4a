#pragma once

#include "engine/dest-output.hpp"

#include <QJsonObject>
#include <QString>
#include <QStringList>

class EntryController;
struct DestStateChange;

// Requests from outside the dock, as obs-websocket hands them over: a JSON object in, a JSON object out, run on the
// controller's thread. Each runs the controller's own operation, so the dock shows the result at once.
namespace RemoteControl {

// The request types: GetEntries, StartDestination, StopDestination, StartEntry, StopEntry, StopAll, SwitchSource,
// StartAll.
const QStringList &requestTypes();
// Runs one request against the controller (null: there is none). The reply always has "ok", and "error" (the text
// the dock shows, never an address query) when "ok" is false. Bad input changes nothing.
QJsonObject run(EntryController *controller, const QString &type, const QJsonObject &request);
// A reply for a request that could not run.
QJsonObject failure(const QString &text);
// What a thread that must not wait for the controller's thread (OBS's graphics thread, where obs-websocket runs
// batches of execution type SerialFrame) is answered from: a copy of the GetEntries reply kept at every tick.
void keepSnapshot(EntryController &controller);
// For such a thread: GetEntries from the kept copy; any other request checked against it and, when it passes,
// queued for the controller's thread (queue set) and answered with "ok" and "queued" true. What it then does shows on
// the dock and in the events, as for a request answered at once.
QJsonObject answerFromSnapshot(const QString &type, const QJsonObject &request, bool *queue);
// The data of the event DestinationStateChanged.
QJsonObject stateChangeEvent(const DestStateChange &change);
// "Idle", "Connecting", "Live", "Reconnecting" or "Failed".
QString stateName(DestState state);
// Longest text a request may carry in one field.
constexpr int maxTextLength = 1000;

} // namespace RemoteControl
