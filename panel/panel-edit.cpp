// Adding and editing entries through the entry dialog.
#include "panel/salidas-panel.hpp"

void SalidasPanel::addEntry() {}

void SalidasPanel::editEntry(const QString &) {}
