#pragma once

#include "config/secret-platform.hpp"

#include <QString>

// Why secrets could not be protected, and the key file concerned (empty when the platform keeps none).
struct ProtectionProblem {
	KeyProblem kind = KeyProblem::None;
	int systemError = 0;
	QString keyFile;
	bool failed() const { return kind != KeyProblem::None; }
};
// The reason in words: in the interface's language, or in English for the log.
QString protectionReason(const ProtectionProblem &problem, bool english = false);

// The stored form of a secret: "dpapi:" + Base64 of a block only this user on this computer can open.
// Empty stays empty; when protection fails the text comes back unchanged (stored plain) and problem says why.
QString protectSecret(const QString &text, ProtectionProblem *problem = nullptr);

// The plain value of a stored secret. Text without the prefix is plain and returned as is. ok becomes false
// only when a protected value cannot be opened; the result is then empty.
QString openSecret(const QString &text, bool *ok);

// Whether a stored value is in protected form.
bool isProtectedSecret(const QString &stored);
