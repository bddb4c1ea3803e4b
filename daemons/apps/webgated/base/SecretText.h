#pragma once

#include <QByteArray>

/// Passphrases and keys kept out of the log.
namespace SecretText {

/// Whether the value of a query key is a secret: a key naming a passphrase, a pre-shared key or
/// a secret, in any case.
bool isSecretKey(const char* key);

/// `query` as the log may quote it: the value of every secret key, at any depth, written as
/// "***" (a query that is no JSON text is cut after each secret key). Every such value is handed
/// to the log as well, so that no later line (a script's arguments, its output) shows it either.
QByteArray forLog(const QByteArray& query);

}  // namespace SecretText
