#pragma once

#include <QString>

// The stored form of a secret: "dpapi:" + Base64 of a block only this user on this computer can open.
// Empty stays empty; when protection fails the text comes back unchanged (stored plain).
QString protectSecret(const QString &text);

// The plain value of a stored secret. Text without the prefix is plain and returned as is. ok becomes false
// only when a protected value cannot be opened; the result is then empty.
QString openSecret(const QString &text, bool *ok);

// Whether a stored value is in protected form.
bool isProtectedSecret(const QString &stored);
