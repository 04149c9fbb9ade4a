#pragma once

#include <QString>

// True when OBS runs in Spanish, Catalan, Galician or Basque, or reports no language. Decided once.
bool interfaceIsSpanish();

// The text to show for a Spanish interface text: itself in Spanish, its English twin otherwise.
QString translate(const QString &text);
QString translate(const char *text);

// The language rule on its own, for a locale such as "es-ES" (null or empty: Spanish).
bool isSpanishLocale(const char *locale);

// The English twin of a Spanish text, or a null QString when the table has none.
QString englishText(const QString &spanish);
